#include <gtest/gtest.h>

#include <cstring>

#include "hid/backend.h"
#include "hid/hid.h"
#include "hid/moduleloader.h"
#include "hid/setupapi.h"

namespace {

constexpr const char* kMissing = "libvelto-no-such-module.so";

TEST(ModuleLoader, MissingLibraryLeavesHandleZero) {
    TModuleHandle H = INVALID_MODULEHANDLE_VALUE;
    EXPECT_FALSE(LoadModule(H, kMissing));
    EXPECT_EQ(H, INVALID_MODULEHANDLE_VALUE);
    EXPECT_EQ(GetModuleSymbol(H, "HidD_Hello"), nullptr);
    bool Ok = true;
    EXPECT_EQ(GetModuleSymbolEx(H, "HidD_Hello", Ok), nullptr);
    EXPECT_FALSE(Ok);
    char Buf[4];
    EXPECT_FALSE(ReadModuleData(H, "HidFileVersion", Buf, sizeof Buf));
    UnloadModule(H);  // harmless on 0
    EXPECT_EQ(H, INVALID_MODULEHANDLE_VALUE);
}

TEST(ModuleLoader, SymbolsAndDataOfTheBackend) {
    TModuleHandle H = INVALID_MODULEHANDLE_VALUE;
    ASSERT_TRUE(LoadModule(H, HidBackendModule()));
    TModuleHandle Before = H;
    EXPECT_TRUE(LoadModule(H, kMissing));  // loads only when 0: keeps the handle
    EXPECT_EQ(H, Before);
    bool Ok = true;
    EXPECT_NE(GetModuleSymbolEx(H, "CancelIo", Ok), nullptr);
    EXPECT_TRUE(Ok);
    EXPECT_EQ(GetModuleSymbolEx(H, "NoSuchEntry", Ok), nullptr);
    EXPECT_FALSE(Ok);
    EXPECT_NE(GetModuleSymbolEx(H, "CancelIo", Ok), nullptr);
    EXPECT_FALSE(Ok) << "the flag only accumulates";
    char Version[4] = {};
    EXPECT_TRUE(ReadModuleData(H, "HidFileVersion", Version, 3));
    EXPECT_EQ(std::strlen(Version), 3u);
    UnloadModule(H);
    EXPECT_EQ(H, INVALID_MODULEHANDLE_VALUE);
}

class RecordingLoader : public TModuleLoader {
  public:
    using TModuleLoader::TModuleLoader;
    void Error(uint32_t Code) override { LastError = Code; }
    uint32_t LastError = 0;
};

TEST(ModuleLoader, LoaderObjectLooksUpOnceAndReportsMissingEntries) {
    RecordingLoader Loader(HidBackendModule());
    ASSERT_TRUE(Loader.GetLoaded());
    void* Proc = nullptr;
    EXPECT_TRUE(Loader.GetProcedure("SleepEx", Proc));
    void* Cached = Proc;
    EXPECT_TRUE(Loader.GetProcedure("NoSuchEntry", Proc)) << "a set pointer is not looked up";
    EXPECT_EQ(Proc, Cached);
    void* Missing = nullptr;
    EXPECT_FALSE(Loader.GetProcedure("NoSuchEntry", Missing));
    EXPECT_EQ(Missing, nullptr);
    EXPECT_EQ(Loader.LastError, TYPE_E_ELEMENTNOTFOUND);
    char Version[2] = {};
    EXPECT_TRUE(Loader.GetExportedSymbol("HidFileVersion", Version, 1));
    EXPECT_NE(Version[0], '\0');
    Loader.Unload();
    EXPECT_FALSE(Loader.GetLoaded());

    TModuleLoader Absent(kMissing, ltDontResolveDllReferences | ltAlteredSearchPath);
    EXPECT_FALSE(Absent.GetLoaded());
    EXPECT_TRUE(TModuleLoader::IsAvaliable(HidBackendModule(), "CancelIo"));
    EXPECT_FALSE(TModuleLoader::IsAvaliable(HidBackendModule(), "NoSuchEntry"));
    EXPECT_FALSE(TModuleLoader::IsAvaliable(kMissing));
}

TEST(LoadHid, MissingLibraryOrEntryPointLeavesEverythingUnbound) {
    ASSERT_FALSE(IsHidLoaded());
    EXPECT_FALSE(LoadHidFrom(kMissing));
    EXPECT_FALSE(IsHidLoaded());
    EXPECT_FALSE(LoadHidFrom("libm.so.6"));
    EXPECT_FALSE(IsHidLoaded());
    EXPECT_FALSE(LoadHidFrom(VELTO_PARTIAL_MODULE));
    EXPECT_FALSE(IsHidLoaded());
    EXPECT_EQ(hidlib::HidD_Hello, nullptr) << "entries found before the missing one are cleared";
    EXPECT_EQ(hidlib::HidD_GetHidGuid, nullptr);

    EXPECT_FALSE(LoadSetupApiFrom(VELTO_PARTIAL_MODULE));
    EXPECT_FALSE(IsSetupApiLoaded());
    EXPECT_EQ(setuplib::SetupDiGetClassDevs, nullptr);
}

TEST(LoadHid, BindsEveryEntryAndCountsReferences) {
    ASSERT_TRUE(LoadHid());
    EXPECT_TRUE(IsHidLoaded());
    EXPECT_NE(hidlib::HidP_TranslateUsagesToI8042ScanCodes, nullptr);
    EXPECT_NE(syslib::UnregisterDeviceNotification, nullptr);
    EXPECT_EQ(hidlib::HidP_GetButtons, hidlib::HidP_GetUsages);
    EXPECT_EQ(hidlib::HidP_MaxButtonListLength, hidlib::HidP_MaxUsageListLength);
    ASSERT_TRUE(LoadHid());
    UnloadHid();
    EXPECT_TRUE(IsHidLoaded()) << "a second user keeps the binding";
    UnloadHid();
    EXPECT_FALSE(IsHidLoaded());
    EXPECT_EQ(hidlib::HidP_GetCaps, nullptr);
    EXPECT_EQ(hidlib::HidP_GetButtons, nullptr);

    ASSERT_TRUE(LoadSetupApi());
    ASSERT_TRUE(LoadSetupApi());
    EXPECT_NE(GetSetupApiModuleHandle(), nullptr);
    UnloadSetupApi();
    EXPECT_TRUE(IsSetupApiLoaded());
    EXPECT_NE(setuplib::SetupDiDestroyDeviceInfoList, nullptr);
    UnloadSetupApi();
    EXPECT_FALSE(IsSetupApiLoaded());
    EXPECT_EQ(setuplib::SetupDiDestroyDeviceInfoList, nullptr);
}

}  // namespace

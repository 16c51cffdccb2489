// Run-time binding of shared modules: load by name, look entry points and data up by name.
// A handle of 0 (nullptr) means "not loaded".
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

using TModuleHandle = void*;
inline constexpr TModuleHandle INVALID_MODULEHANDLE_VALUE = nullptr;

// Load flags (values as the HID layer has always passed them). They map onto dlopen flags:
//   none                         -> RTLD_NOW | RTLD_LOCAL  (bind everything up front)
//   LOAD_DONT_RESOLVE_REFERENCES -> RTLD_LAZY | RTLD_LOCAL (no eager binding of references)
//   LOAD_AS_DATAFILE             -> RTLD_LAZY | RTLD_LOCAL (dlopen cannot map a module without
//                                   running its initialisers; lazy and local is the least
//                                   intrusive load that still lets data items be read)
//   LOAD_ALTERED_SEARCH_PATH     -> no flag (dlopen already searches the run path of the
//                                   executable; a name with a slash is taken as given)
inline constexpr uint32_t LOAD_DONT_RESOLVE_REFERENCES = 0x1;
inline constexpr uint32_t LOAD_AS_DATAFILE = 0x2;
inline constexpr uint32_t LOAD_ALTERED_SEARCH_PATH = 0x8;

// Error code passed to TModuleLoader::Error when an entry point is missing.
inline constexpr uint32_t TYPE_E_ELEMENTNOTFOUND = 0x8002802Bu;

// Loads only when Module is 0; true when Module is set afterwards.
bool LoadModule(TModuleHandle& Module, const char* FileName);
bool LoadModuleEx(TModuleHandle& Module, const char* FileName, uint32_t Flags);
// Why the last LoadModule/LoadModuleEx of this thread failed, in the system loader's words
// (e.g. that the file does not exist); empty after a load that worked.
std::string ModuleLoadError();
// Frees when set; Module := 0.
void UnloadModule(TModuleHandle& Module);
// Address of the exported symbol, or nullptr (always nullptr for Module 0).
void* GetModuleSymbol(TModuleHandle Module, const char* SymbolName);
// As GetModuleSymbol; Accu := Accu and found.
void* GetModuleSymbolEx(TModuleHandle Module, const char* SymbolName, bool& Accu);
// Copy Size bytes from / to the exported data item; false when it is missing.
bool ReadModuleData(TModuleHandle Module, const char* SymbolName, void* Buffer, std::size_t Size);
bool WriteModuleData(TModuleHandle Module, const char* SymbolName, const void* Buffer,
                     std::size_t Size);

enum TModuleLoadMethod : uint32_t {
    ltDontResolveDllReferences = 1,
    ltLoadAsDataFile = 2,
    ltAlteredSearchPath = 8,
};
// A set of TModuleLoadMethod values ORed together.
using TModuleLoadMethods = uint32_t;

class TModuleLoader {
  public:
    TModuleLoader(const std::string& DLLName, TModuleLoadMethods LoadMethods = 0);
    virtual ~TModuleLoader();
    TModuleLoader(const TModuleLoader&) = delete;
    TModuleLoader& operator=(const TModuleLoader&) = delete;

    virtual void Load(TModuleLoadMethods LoadMethods);
    virtual void Unload();
    // Called with the reason of a failed load or look-up; does nothing here.
    virtual void Error(uint32_t ErrorCode);

    bool GetLoaded() const { return Handle != INVALID_MODULEHANDLE_VALUE; }
    // Looks Name up once when Proc is null; on failure Proc stays null and Error is called.
    bool GetProcedure(const char* Name, void*& Proc);
    bool GetExportedSymbol(const char* Name, void* Buffer, std::size_t Size);
    bool SetExportedSymbol(const char* Name, const void* Buffer, std::size_t Size);

    // Loads DLLName, optionally looks ProcName up, and unloads again.
    static bool IsAvaliable(const std::string& DLLName, const char* ProcName = nullptr);

    TModuleHandle Handle = INVALID_MODULEHANDLE_VALUE;
    std::string DLLName;
};

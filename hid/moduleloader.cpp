#include "hid/moduleloader.h"

#include <dlfcn.h>

#include <cerrno>
#include <cstring>

namespace {

thread_local std::string LastLoadError;

int DlopenFlags(uint32_t Flags) {
    // See the mapping in moduleloader.h.
    if (Flags & (LOAD_DONT_RESOLVE_REFERENCES | LOAD_AS_DATAFILE)) return RTLD_LAZY | RTLD_LOCAL;
    return RTLD_NOW | RTLD_LOCAL;
}

}  // namespace

bool LoadModule(TModuleHandle& Module, const char* FileName) {
    return LoadModuleEx(Module, FileName, 0);
}

bool LoadModuleEx(TModuleHandle& Module, const char* FileName, uint32_t Flags) {
    if (Module == INVALID_MODULEHANDLE_VALUE && FileName != nullptr && *FileName != '\0') {
        Module = dlopen(FileName, DlopenFlags(Flags));
        const char* Why = Module == INVALID_MODULEHANDLE_VALUE ? dlerror() : nullptr;
        LastLoadError = Why != nullptr ? Why : "";
    }
    return Module != INVALID_MODULEHANDLE_VALUE;
}

std::string ModuleLoadError() {
    return LastLoadError;
}

void UnloadModule(TModuleHandle& Module) {
    if (Module != INVALID_MODULEHANDLE_VALUE) dlclose(Module);
    Module = INVALID_MODULEHANDLE_VALUE;
}

void* GetModuleSymbol(TModuleHandle Module, const char* SymbolName) {
    if (Module == INVALID_MODULEHANDLE_VALUE || SymbolName == nullptr) return nullptr;
    return dlsym(Module, SymbolName);
}

void* GetModuleSymbolEx(TModuleHandle Module, const char* SymbolName, bool& Accu) {
    void* Result = GetModuleSymbol(Module, SymbolName);
    Accu = Accu && Result != nullptr;
    return Result;
}

bool ReadModuleData(TModuleHandle Module, const char* SymbolName, void* Buffer, std::size_t Size) {
    void* Sym = GetModuleSymbol(Module, SymbolName);
    if (Sym == nullptr || Buffer == nullptr) return false;
    std::memcpy(Buffer, Sym, Size);
    return true;
}

bool WriteModuleData(TModuleHandle Module, const char* SymbolName, const void* Buffer,
                     std::size_t Size) {
    void* Sym = GetModuleSymbol(Module, SymbolName);
    if (Sym == nullptr || Buffer == nullptr) return false;
    std::memcpy(Sym, Buffer, Size);
    return true;
}

TModuleLoader::TModuleLoader(const std::string& ADLLName, TModuleLoadMethods LoadMethods)
    : DLLName(ADLLName) {
    // Virtual dispatch is not available yet: this is TModuleLoader::Load, as intended.
    TModuleLoader::Load(LoadMethods);
}

TModuleLoader::~TModuleLoader() {
    TModuleLoader::Unload();
}

void TModuleLoader::Load(TModuleLoadMethods LoadMethods) {
    if (Handle != INVALID_MODULEHANDLE_VALUE) return;
    uint32_t Flags = 0;
    if (LoadMethods & ltDontResolveDllReferences) Flags |= LOAD_DONT_RESOLVE_REFERENCES;
    if (LoadMethods & ltLoadAsDataFile) Flags |= LOAD_AS_DATAFILE;
    if (LoadMethods & ltAlteredSearchPath) Flags |= LOAD_ALTERED_SEARCH_PATH;
    if (!LoadModuleEx(Handle, DLLName.c_str(), Flags)) Error(static_cast<uint32_t>(ENOENT));
}

void TModuleLoader::Unload() {
    UnloadModule(Handle);
}

void TModuleLoader::Error(uint32_t /*ErrorCode*/) {}

bool TModuleLoader::GetProcedure(const char* Name, void*& Proc) {
    if (Proc == nullptr) {
        Proc = GetModuleSymbol(Handle, Name);
        if (Proc == nullptr) Error(TYPE_E_ELEMENTNOTFOUND);
    }
    return Proc != nullptr;
}

bool TModuleLoader::GetExportedSymbol(const char* Name, void* Buffer, std::size_t Size) {
    void* Sym = nullptr;
    if (!GetProcedure(Name, Sym) || Buffer == nullptr) return false;
    std::memcpy(Buffer, Sym, Size);
    return true;
}

bool TModuleLoader::SetExportedSymbol(const char* Name, const void* Buffer, std::size_t Size) {
    void* Sym = nullptr;
    if (!GetProcedure(Name, Sym) || Buffer == nullptr) return false;
    std::memcpy(Sym, Buffer, Size);
    return true;
}

bool TModuleLoader::IsAvaliable(const std::string& ADLLName, const char* ProcName) {
    TModuleLoader Loader(ADLLName);
    bool Result = Loader.GetLoaded();
    if (Result && ProcName != nullptr) {
        void* Proc = nullptr;
        Result = Loader.GetProcedure(ProcName, Proc);
    }
    return Result;
}

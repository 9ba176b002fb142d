#include "shared_library.hpp"

#ifdef _WIN32
#include <windows.h>
#else
#include <dlfcn.h>
#include <link.h>
#endif

namespace qz {

#ifdef _WIN32

SharedLibrary::SharedLibrary(const char* name) : module_(name ? LoadLibraryA(name) : nullptr) {}

SharedLibrary::~SharedLibrary() {
    if (module_) FreeLibrary(static_cast<HMODULE>(module_));
}

SharedLibrary::Symbol SharedLibrary::symbol(const char* name) const {
    if (!module_ || !name) return nullptr;
    return reinterpret_cast<Symbol>(GetProcAddress(static_cast<HMODULE>(module_), name));
}

std::string SharedLibrary::path() const {
    if (!module_) return {};
    char buffer[MAX_PATH] = "";
    const DWORD length = GetModuleFileNameA(static_cast<HMODULE>(module_), buffer, MAX_PATH);
    return std::string(buffer, length < MAX_PATH ? length : 0);
}

#else

SharedLibrary::SharedLibrary(const char* name)
    : module_(name ? dlopen(name, RTLD_NOW | RTLD_LOCAL) : nullptr) {}

SharedLibrary::~SharedLibrary() {
    if (module_) dlclose(module_);
}

SharedLibrary::Symbol SharedLibrary::symbol(const char* name) const {
    if (!module_ || !name) return nullptr;
    return reinterpret_cast<Symbol>(dlsym(module_, name));
}

std::string SharedLibrary::path() const {
    link_map* map = nullptr;
    if (!module_ || dlinfo(module_, RTLD_DI_LINKMAP, &map) != 0 || !map || !map->l_name) return {};
    return map->l_name;
}

#endif

}  // namespace qz

#include "shared_library.hpp"

#ifdef _WIN32
#include <windows.h>
#else
#include <dlfcn.h>
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

#endif

}  // namespace qz

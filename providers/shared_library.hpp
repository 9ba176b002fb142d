// A shared library loaded at run time (LoadLibrary on Windows, dlopen
// elsewhere), unloaded when the object is destroyed.
#pragma once

#include <string>

namespace qz {

class SharedLibrary {
public:
    // The generic function pointer type that any function pointer converts
    // through; cast it to the function's real type.
    using Symbol = void (*)();

    // Loads `name` the way the platform's loader looks for libraries; an
    // already loaded library is shared, not loaded twice.
    explicit SharedLibrary(const char* name);
    SharedLibrary(const SharedLibrary&) = delete;
    SharedLibrary& operator=(const SharedLibrary&) = delete;
    ~SharedLibrary();

    bool loaded() const { return module_ != nullptr; }

    // The exported function `name`; nullptr if the library has none or is
    // not loaded.
    Symbol symbol(const char* name) const;

    // The file the loader found, as the system names it; "" if not loaded.
    std::string path() const;

private:
    void* module_ = nullptr;
};

}  // namespace qz

#pragma once

#include <dlfcn.h>

#include <string>

// Libraries that only some runs need, loaded when they first do.
namespace platform {

// Empty once the library is loaded, else why not, naming it; *library is its handle.
inline std::string OpenSharedLibrary(const std::string& named, const char* soname, void** library)
{
    *library = dlopen(soname, RTLD_NOW | RTLD_LOCAL);
    if (*library) return std::string();
    const char* why = dlerror();
    return named + " cannot be loaded" + (why ? std::string(": ") + why : std::string());
}

// Sets *slot to the library's function of that name; the first one missing
// is kept in *missing.
template <typename Function>
void Resolve(void* library, const char* name, Function* slot, std::string* missing)
{
    *slot = reinterpret_cast<Function>(dlsym(library, name));
    if (!*slot && missing->empty()) *missing = name;
}

}  // namespace platform

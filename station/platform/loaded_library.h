// A shared library loaded the first time a run needs it rather than at
// every start of the station, with the functions the station calls taken
// from it. Never closed once loaded: other threads may use it until the end.
#pragma once

#include <dlfcn.h>

#include <string>
#include <type_traits>

namespace station {

template <typename Functions> struct LoadedLibrary {
    Functions functions{};
    std::string why; // empty once loaded
};

// dlerror's text, or what to say when it has none.
inline std::string loader_error()
{
    const char *text = dlerror();
    return text ? text : "no reason given";
}

// The library soname (what it is, for a message) with each of its functions
// that take_all takes through the getter it is given.
template <typename Functions, typename TakeAll>
LoadedLibrary<Functions> load_library(const char *soname, const char *what, TakeAll take_all)
{
    LoadedLibrary<Functions> loaded;
    void *library = dlopen(soname, RTLD_NOW | RTLD_LOCAL);
    if (!library) {
        loaded.why = std::string(soname) + " (" + what + ") cannot be loaded: " + loader_error();
        return loaded;
    }
    // The first function missing is the one said.
    auto get = [&](const char *name, auto &function) {
        if (!loaded.why.empty())
            return;
        function = reinterpret_cast<std::remove_reference_t<decltype(function)>>(dlsym(library, name));
        if (!function)
            loaded.why = std::string(soname) + " has no " + name + " (" + loader_error() + ")";
    };
    take_all(loaded.functions, get);
    if (!loaded.why.empty())
        dlclose(library);
    return loaded;
}

// The functions, or nullptr with why the library could not be had.
template <typename Functions> const Functions *library_functions(const LoadedLibrary<Functions> &loaded, std::string &why)
{
    if (!loaded.why.empty()) {
        why = loaded.why;
        return nullptr;
    }
    return &loaded.functions;
}

} // namespace station

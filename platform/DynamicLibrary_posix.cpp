#include "platform/DynamicLibrary.h"

#include <dlfcn.h>

#include <utility>

namespace platform {

bool DynamicLibrary::open(const std::filesystem::path& path, std::string& error) {
    close();
    handle_ = ::dlopen(path.c_str(), RTLD_NOW | RTLD_LOCAL);
    if (!handle_) {
        const char* why = ::dlerror();
        error = why ? why : "cannot open module";
        return false;
    }
    return true;
}

void* DynamicLibrary::symbol(const char* name) const {
    return handle_ ? ::dlsym(handle_, name) : nullptr;
}

void DynamicLibrary::close() {
    if (handle_)
        ::dlclose(std::exchange(handle_, nullptr));
}

bool DynamicLibrary::isLoaded(const std::filesystem::path& path) {
    void* h = ::dlopen(path.c_str(), RTLD_NOW | RTLD_NOLOAD);
    if (!h)
        return false;
    ::dlclose(h);
    return true;
}

}  // namespace platform

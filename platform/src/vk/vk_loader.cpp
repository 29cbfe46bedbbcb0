#include "vk/vk_loader.h"

#include <dlfcn.h>
#include <mutex>

#define VKL_DEFINE(name) PFN_##name name = nullptr;
VKL_FUNCTIONS(VKL_DEFINE)
#undef VKL_DEFINE

static bool load_all(void) {
    // Never closed: the entry points stay valid for the life of the process.
    void *lib = dlopen("libvulkan.so.1", RTLD_NOW | RTLD_LOCAL);
    if (!lib) return false;
    bool ok = true;
#define VKL_LOAD(name) ok = ((name = (PFN_##name)dlsym(lib, #name)) != nullptr) && ok;
    VKL_FUNCTIONS(VKL_LOAD)
#undef VKL_LOAD
    return ok;
}

bool vkl_load(void) {
    static std::once_flag once;
    static bool loaded;
    std::call_once(once, [] { loaded = load_all(); });
    return loaded;
}

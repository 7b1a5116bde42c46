#include "plugin_library.h"

#include <dlfcn.h>

namespace tcap_host {

namespace {

// Looks one symbol up; null when the library does not define it.
void* Lookup(void* pHandle, const char* pszName) {
    dlerror();  // clear any earlier error so that the check below is about this lookup
    void* pSymbol = dlsym(pHandle, pszName);
    return dlerror() ? nullptr : pSymbol;
}

}  // namespace

std::unique_ptr<PluginLibrary> PluginLibrary::Load(const std::string& path, std::string* pError) {
    // A bare file name would send dlopen searching the library path; the user
    // means the file in the current directory.
    const std::string openPath = path.find('/') == std::string::npos ? "./" + path : path;
    dlerror();
    void* pHandle = dlopen(openPath.c_str(), RTLD_NOW | RTLD_LOCAL);
    if (!pHandle) {
        const char* pszReason = dlerror();
        std::string reason = pszReason ? pszReason : "unknown reason";
        // The loader usually starts its reason with the file name: say it once.
        const std::string prefix = openPath + ": ";
        if (reason.compare(0, prefix.size(), prefix) == 0) reason.erase(0, prefix.size());
        *pError = path + ": cannot load the plug-in: " + reason;
        return nullptr;
    }

    std::unique_ptr<PluginLibrary> library(new PluginLibrary(pHandle, path));
    std::string missing;
    int nMissing = 0;
#define TCAP_ENTRY_POINT(name)                                                        \
    library->api_.name = reinterpret_cast<decltype(&::name)>(Lookup(pHandle, #name)); \
    if (!library->api_.name) missing += (nMissing++ ? ", " : "") + std::string(#name);
#define TCAP_CLOCK_EXPORT(name) library->api_.name = reinterpret_cast<decltype(&::name)>(Lookup(pHandle, #name));
#include "entry_points.def"
    if (nMissing > 0) {
        *pError = path + ": not a complete tcap plug-in: missing entry point" + (nMissing > 1 ? "s " : " ") + missing;
        return nullptr;
    }
    return library;
}

PluginLibrary::~PluginLibrary() { dlclose(pHandle_); }

bool PluginLibrary::IsMapped(const std::string& path) {
    const std::string openPath = path.find('/') == std::string::npos ? "./" + path : path;
    void* pHandle = dlopen(openPath.c_str(), RTLD_NOW | RTLD_NOLOAD);
    if (pHandle) dlclose(pHandle);
    return pHandle != nullptr;
}

}  // namespace tcap_host

// Loads a tcap plug-in at run time, as a host does: dlopen by path, then
// every entry point looked up by name. The host never links the plug-in.
#ifndef TCAP_HOST_PLUGIN_LIBRARY_H
#define TCAP_HOST_PLUGIN_LIBRARY_H

#include <memory>
#include <string>

#include "gettickcount.h"
#include "lin_tcap.h"

namespace tcap_host {

// The entry points of one loaded plug-in, typed from the plug-in's header,
// one member per name in entry_points.def. GetTickCount is not one of the
// host's entry points: it is looked up too, and stays null for a plug-in
// that does not export it.
struct PluginApi {
#define TCAP_ENTRY_POINT(name) decltype(&::name) name = nullptr;
#define TCAP_CLOCK_EXPORT(name) decltype(&::name) name = nullptr;
#include "entry_points.def"
};

class PluginLibrary {
public:
    // Loads the library at `path` and looks up every entry point. On failure
    // answers null and sets `*pError` to one line naming the file and what
    // went wrong (the loader's reason, or the missing entry points).
    static std::unique_ptr<PluginLibrary> Load(const std::string& path, std::string* pError);

    ~PluginLibrary();
    PluginLibrary(const PluginLibrary&) = delete;
    PluginLibrary& operator=(const PluginLibrary&) = delete;

    const PluginApi& Api() const { return api_; }
    const std::string& Path() const { return path_; }

    // Whether the library at `path` is mapped in this process: after the last
    // PluginLibrary of it is destroyed, a plug-in that unloads cleanly is not.
    static bool IsMapped(const std::string& path);

private:
    PluginLibrary(void* pHandle, std::string path) : pHandle_(pHandle), path_(std::move(path)) {}

    void* pHandle_;
    std::string path_;
    PluginApi api_;
};

}  // namespace tcap_host

#endif  // TCAP_HOST_PLUGIN_LIBRARY_H

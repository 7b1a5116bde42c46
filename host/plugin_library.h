// Loads a tcap plug-in at run time, as a host does: dlopen by path, then
// every entry point looked up by name. The host never links the plug-in.
#ifndef TCAP_HOST_PLUGIN_LIBRARY_H
#define TCAP_HOST_PLUGIN_LIBRARY_H

#include <memory>
#include <string>

#include "lin_tcap.h"

namespace tcap_host {

// Every entry point a host may call, in the header's order.
#define TCAP_HOST_ENTRY_POINTS(X)                                                                  \
    X(Open_Plugin) X(Close_Plugin) X(Open_Source) X(Set_Video_Format) X(Get_Video_Format)          \
    X(Get_Vendor) X(Get_Description) X(Get_Media_Type) X(Get_Media_Source) X(Get_Version)          \
    X(Query_Num_Inputs) X(Input_Description) X(Query_Device_Handles) X(Validate_Source)            \
    X(Start_Source) X(Stop_Source) X(Pause_Source) X(Resume_Source) X(Set_Video_Frame_Rate)        \
    X(Set_Current_Time) X(Read_Packet)

// The entry points of one loaded plug-in, typed from the plug-in's header.
struct PluginApi {
#define TCAP_HOST_MEMBER(name) decltype(&::name) name = nullptr;
    TCAP_HOST_ENTRY_POINTS(TCAP_HOST_MEMBER)
#undef TCAP_HOST_MEMBER
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

private:
    PluginLibrary(void* pHandle, std::string path) : pHandle_(pHandle), path_(std::move(path)) {}

    void* pHandle_;
    std::string path_;
    PluginApi api_;
};

}  // namespace tcap_host

#endif  // TCAP_HOST_PLUGIN_LIBRARY_H

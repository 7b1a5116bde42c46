// Loads the built plug-in the way a host does: dlopen by path, every entry
// point looked up by name.
#ifndef TCAP_TESTS_PLUGIN_LOADER_H
#define TCAP_TESTS_PLUGIN_LOADER_H

#include <dlfcn.h>

#include <string>

#include "gettickcount.h"
#include "lin_tcap.h"

#define TCAP_ENTRY_POINTS(X)                                                                             \
    X(Open_Plugin) X(Close_Plugin) X(Open_Source) X(Set_Video_Format) X(Get_Video_Format) X(Get_Vendor)  \
    X(Get_Description) X(Get_Media_Type) X(Get_Media_Source) X(Get_Version) X(Query_Num_Inputs)         \
    X(Input_Description) X(Query_Device_Handles) X(Validate_Source) X(Start_Source) X(Stop_Source)       \
    X(Pause_Source) X(Resume_Source) X(Set_Video_Frame_Rate) X(Set_Current_Time) X(Read_Packet)         \
    X(GetTickCount)

struct Plugin {
#define TCAP_MEMBER(name) decltype(&::name) name = nullptr;
    TCAP_ENTRY_POINTS(TCAP_MEMBER)
#undef TCAP_MEMBER

    void* handle = nullptr;
    std::string error;  // what went wrong in Load, empty if nothing

    bool Load(const char* path) {
        handle = dlopen(path, RTLD_NOW | RTLD_LOCAL);
        if (!handle) {
            error = dlerror();
            return false;
        }
#define TCAP_LOOKUP(name)                                                   \
    dlerror();                                                              \
    name = reinterpret_cast<decltype(name)>(dlsym(handle, #name));          \
    if (const char* e = dlerror()) error += std::string(e) + "\n";          \
    else if (!name) error += std::string(#name) + " is null\n";
        TCAP_ENTRY_POINTS(TCAP_LOOKUP)
#undef TCAP_LOOKUP
        return error.empty();
    }

    // Unloads and tells whether the library really left the process.
    bool Unload(const char* path) {
        if (!handle) return true;
        dlclose(handle);
        handle = nullptr;
        void* again = dlopen(path, RTLD_NOW | RTLD_NOLOAD);
        if (again) dlclose(again);
        return again == nullptr;
    }
};

#endif  // TCAP_TESTS_PLUGIN_LOADER_H

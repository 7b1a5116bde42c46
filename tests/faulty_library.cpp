// A library with the faults the library check must report: a global
// constructor, an extra export, a C++ runtime dependency and a UNIQUE symbol.
#include <string>

std::string g_name = "constructed at load";

struct Counter {
    static inline int count = 0;  // UNIQUE
};

extern "C" __attribute__((visibility("default"))) int Open_Plugin() { return ++Counter::count; }
extern "C" __attribute__((visibility("default"))) int Extra_Export() { return static_cast<int>(g_name.size()); }

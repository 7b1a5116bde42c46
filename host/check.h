// tcap-host check: a conformance run against any plug-in of this host
// interface. It loads the plug-in, calls it in the orders a host may (and in
// some a careful host would not), and reports, check by check, what a host
// would suffer.
#ifndef TCAP_HOST_CHECK_H
#define TCAP_HOST_CHECK_H

#include <string>
#include <vector>

#include "options.h"

namespace tcap_host {

struct CheckOptions {
    std::string pluginPath;
    std::vector<FrameSize> sizes;    // frame sizes for the frame checks; empty: the defaults
    std::vector<std::string> only;   // check names or groups to run; empty: all
    std::vector<std::string> skip;   // check names or groups to leave out
    bool bQuiet = false;             // print only warnings, failures and the summary
    bool bInProcess = false;         // no child processes: a crash ends the run (for debuggers)
    bool bList = false;              // list the checks and stop
    unsigned nTimeout = 60;          // seconds a piece of work may take before it is ended
};

// The frame sizes checked when no --size is given.
std::vector<FrameSize> DefaultCheckSizes();

// Parses the arguments that follow "check". False with a one-line message
// for anything it does not accept, unknown check names included.
bool ParseCheckArguments(const std::vector<std::string>& args, CheckOptions* pOptions, std::string* pError);

// Runs the checks and prints the report on standard output. 0 when nothing
// failed, 1 when something did.
int RunCheck(const CheckOptions& options);

}  // namespace tcap_host

#endif  // TCAP_HOST_CHECK_H

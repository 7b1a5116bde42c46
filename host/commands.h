// The two commands of tcap-host. Each prints its own messages and answers
// the process's exit status.
#ifndef TCAP_HOST_COMMANDS_H
#define TCAP_HOST_COMMANDS_H

#include <string>

#include "options.h"

namespace tcap_host {

// tcap-host info PLUGIN: the plug-in's identity and inputs, on standard output.
int RunInfo(const std::string& pluginPath);

// tcap-host capture PLUGIN ...: one session of the plug-in, frames to the outputs.
int RunCapture(const CaptureOptions& options);

}  // namespace tcap_host

#endif  // TCAP_HOST_COMMANDS_H

// tcap-host: loads a tcap plug-in the way a host application does and turns
// its frames into PNG files, a raw stream for ffmpeg or GStreamer, and a list
// of timestamps and digests.
#include <signal.h>
#include <stdio.h>
#include <string.h>

#include <string>
#include <vector>

#include "check.h"
#include "commands.h"
#include "options.h"
#include "verify.h"

namespace {

const char kUsage[] =
    "usage: tcap-host info PLUGIN\n"
    "       tcap-host capture PLUGIN [options]\n"
    "       tcap-host check PLUGIN [--size WxH ...] [--only|--skip NAME,...] [--quiet] [--in-process] [--timeout S]\n"
    "       tcap-host check --list\n"
    "       tcap-host verify --size WxH [FILE|-] [--timestamps FILE] [--lossy] [options]\n"
    "       tcap-host --help | --version\n";

const char kHelp[] =
    "\n"
    "info     prints the plug-in's vendor, description, media type and source,\n"
    "         version and inputs.\n"
    "capture  opens the plug-in, sets the size, opens the input, starts it, reads\n"
    "         frames, stops and closes it. Options:\n"
    "  --input N|NAME      input by index or name, any case (default 0)\n"
    "  --size WxH          frame size in pixels (default 640x480)\n"
    "  --frames N          frames to read (default 10)\n"
    "  --fps R             read R frames per second in real time (default: as fast\n"
    "                      as the plug-in paints them; the plug-in paces nothing)\n"
    "  --start-time MS     set the plug-in's clock to MS after starting it\n"
    "                      (Set_Current_Time); timestamps then count from there\n"
    "  --png DIR           one PNG per frame: DIR/frame-0000.png, ... (DIR is created)\n"
    "  --png-every K       a PNG of every K-th frame only (default 1)\n"
    "  --raw FILE|-        packed bgr24 frames, back to back, for example into\n"
    "                      ffmpeg -f rawvideo -pixel_format bgr24 -video_size WxH\n"
    "                      -framerate R -i - out.mp4\n"
    "  --timestamps FILE|- one line per frame: index, timestamp (ms), data size,\n"
    "                      MD5 of the frame's bytes (as md5sum and ffmpeg's\n"
    "                      framemd5 print it)\n"
    "A progress line shows on a terminal during long runs; a summary line ends\n"
    "every capture. Messages go to standard error.\n"
    "check    a conformance run against any plug-in of this interface: one line\n"
    "         per check, PASS, WARN (allowed, but a host would not expect it) or\n"
    "         FAIL with what was seen, then a count. Exit status 1 when a check\n"
    "         failed. Each piece of work runs in a child process, so a crash is\n"
    "         reported as the failure of the call that crashed. Options:\n"
    "  --size WxH          a frame size for the frame checks, repeatable\n"
    "                      (default 1x1, 1001x3 and 640x480)\n"
    "  --only NAME,...     run only these checks or groups (load, identity, format,\n"
    "                      frames, misuse, lifecycle, speed); --list names them\n"
    "  --skip NAME,...     leave these out, for example --skip speed\n"
    "  --quiet             print warnings and failures only, and the count\n"
    "  --in-process        no child processes, for running under a debugger; a\n"
    "                      crash then ends the run\n"
    "  --timeout S         seconds each piece of work may take (default 60)\n"
    "verify   reads packed bgr24 frames of the plasma or a solid input (a file, or\n"
    "         standard input: ffmpeg -i REC -f rawvideo -pix_fmt bgr24 -), finds\n"
    "         the frame counter d and tick count T1 of each, checks every byte\n"
    "         against the plug-in's painting of it and names red/blue swaps,\n"
    "         wrong strides, torn and flipped frames; one line per frame and a\n"
    "         summary on standard output. Options:\n"
    "  --size WxH          frame size in pixels (required)\n"
    "  --timestamps FILE   capture's list of timestamps: bounds each T1 to a few\n"
    "                      hundred ms below timestamp - offset - 15\n"
    "  --time-offset MS    the plug-in's time offset (default: taken as the tick\n"
    "                      count at Start_Source, from the first timestamp)\n"
    "  --lossy             identify from the coarse picture, judge by PSNR\n"
    "  --threshold DB      the PSNR a frame needs with --lossy (default 35)\n"
    "  --max-counter N     counters searched: 1 to N (default 524288)\n"
    "  --max-ticks MS      tick counts searched: 0 to MS (default 14400000, 4 h)\n"
    "         verify's exit status is 0 only when every frame is exact (or at the\n"
    "         threshold) and no counter is skipped, repeated or out of order.\n"
    "\n"
    "exit status: 0 done; 1 the plug-in, a file or a frame went wrong;\n"
    "2 the command line is not understood.\n";

int Usage(const std::string& message) {
    fprintf(stderr, "tcap-host: %s\n%s(tcap-host --help tells more)\n", message.c_str(), kUsage);
    return tcap_host::kExitUsage;
}

// A command with options: parsed, then run; a parse error is a usage error.
template <typename Options>
int ParseThenRun(const std::vector<std::string>& args,
                 bool (*parse)(const std::vector<std::string>&, Options*, std::string*),
                 int (*run)(const Options&)) {
    Options options;
    std::string error;
    if (!parse(args, &options, &error)) return Usage(error);
    return run(options);
}

}  // namespace

int main(int argc, char** argv) {
    // A reader that goes away (ffmpeg quitting early) shows up as a write
    // error with a message, not as a silent death by signal.
    signal(SIGPIPE, SIG_IGN);

    const std::vector<std::string> args(argv + 1, argv + argc);
    if (args.empty()) return Usage("which command?");
    const std::string& command = args[0];
    if (command == "--help" || command == "-h" || command == "help") {
        printf("%s%s", kUsage, kHelp);
        return tcap_host::kExitOk;
    }
    if (command == "--version") {
        printf("tcap-host %s\n", TCAP_HOST_VERSION);
        return tcap_host::kExitOk;
    }
    if (command == "info") {
        if (args.size() != 2) return Usage("info takes the plug-in's file name and nothing else");
        return tcap_host::RunInfo(args[1]);
    }
    const std::vector<std::string> rest(args.begin() + 1, args.end());
    if (command == "capture") {
        return ParseThenRun<tcap_host::CaptureOptions>(rest, tcap_host::ParseCaptureArguments, tcap_host::RunCapture);
    }
    if (command == "check") {
        return ParseThenRun<tcap_host::CheckOptions>(rest, tcap_host::ParseCheckArguments, tcap_host::RunCheck);
    }
    if (command == "verify") {
        return ParseThenRun<tcap_host::VerifyOptions>(rest, tcap_host::ParseVerifyArguments, tcap_host::RunVerify);
    }
    return Usage("unknown command '" + command + "'");
}

// vindral-cli serve: the emulated drive of each disc image served to the
// Linux kernel as a SCSI CD-ROM (through the kernel's SCSI target subsystem
// with a user-space backend and its loopback fabric), so that every CD
// program on the machine can read the image from a /dev/srN node.
#pragma once

#include <functional>
#include <iosfwd>
#include <memory>
#include <string>

namespace vindral::cli {

// Runs `vindral-cli serve ...` (argv[1] is "serve"); returns the exit status:
// 0 after serving until SIGINT or SIGTERM, 1 when an image or the kernel's
// target subsystem fails, 2 on a usage error.
int ServeCommand(int argc, char** argv, std::ostream& out, std::ostream& err);

// What `vindral-cli serve --help` prints.
std::string ServeHelpText();

} // namespace vindral::cli

#if defined(__linux__)
#include "drive/linux/TcmuRing.h"
#include "drive/linux/TcmuTarget.h"

namespace vindral::cli {

// What serving talks to; tests replace each part.
struct ServeEnvironment {
    std::shared_ptr<linuxdrive::TargetFs> fs;
    linuxdrive::TargetPaths paths;
    int pid = 0;
    bool root = false;
    // Opens the backstore's uio node into the device (default: Open with its
    // node and map size).
    std::function<bool(linuxdrive::TcmuDevice&, const linuxdrive::TcmuTarget::Backstore&,
                       std::string&)>
        open;
    // Polled every 100 ms while serving, and while waiting for a drive's
    // device node: true ends it (default: the interrupted flag that SIGINT
    // and SIGTERM set).
    std::function<bool()> stop;
    // Time for the device node to appear after the LUN is linked (the LUN is
    // scanned again each second meanwhile while the kernel shows no device).
    uint32_t nodeWaitMs = 15000;
};

// The machine's environment.
ServeEnvironment RealServeEnvironment();

int ServeCommand(int argc, char** argv, std::ostream& out, std::ostream& err,
                 ServeEnvironment environment);

} // namespace vindral::cli
#endif

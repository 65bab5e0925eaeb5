// Which drives a front end talks to: the built-in demo disc, CUE images on
// emulated drives, given device nodes, or the machine's real drives.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

namespace vindral {

namespace emulated {
class EmulatedDrive;
}

struct DriveSourceOptions {
    std::vector<std::string> images; // one emulated drive per CUE sheet
    bool demo = false;               // one emulated drive with the demo disc
    std::vector<std::string> devices; // real device nodes, e.g. /dev/sr1
    // Speed limit of the emulated drives in kB/s (1 X = 176.4 kB/s); 0 keeps
    // their own: the demo disc's drive reads at 8 X, images unthrottled;
    // kEmulatedSpeedMax reads as fast as the machine can.
    uint32_t emulatedSpeedKBps = 0;
};

constexpr uint32_t kEmulatedSpeedMax = UINT32_MAX;

// The speed limit for an emulated drive whose own limit is `ownKBps`
// (0 = unthrottled), as EmulatedDrive::SetSpeedLimitKBps takes it.
uint32_t EmulatedSpeedLimit(const DriveSourceOptions& options, uint32_t ownKBps);

// Consumes one source option at argv[i] ("--image FILE", "--image=FILE",
// "--demo", "--device NODE", "--emulated-speed X" with X a multiple of the
// audio speed or "max"); advances i past its value. Returns false when
// argv[i] is not a source option; sets `error` when its value is missing.
bool ParseDriveSourceOption(int argc, char** argv, int& i, DriveSourceOptions& options,
                            std::string& error);

// Selects the transport for the options. Images are loaded now: a broken one
// gives false with the loader's one-line message. With no option the real
// drives are used. The emulated drives, if any, are returned in `drives`.
bool SetUpDrives(const DriveSourceOptions& options, std::string& error,
                 std::vector<std::shared_ptr<emulated::EmulatedDrive>>* drives = nullptr);

// The first line of the message when no drive can be reached: on Windows
// "Unable to initialize WNASPI32.DLL", elsewhere the drive access that failed.
std::string NoDriveMessage();

// The line shown below NoDriveMessage(): each device node tried and why it
// could not be used (as far as the transport can say), and how to run
// without a drive (--demo, --image).
std::string NoDriveDetail();

} // namespace vindral

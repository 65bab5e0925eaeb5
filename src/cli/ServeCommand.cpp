#include "cli/ServeCommand.h"

#include <algorithm>
#include <chrono>
#include <cstring>
#include <ostream>
#include <thread>
#include <vector>

#include "cli/Cli.h"
#include "cli/CommandLine.h"
#include "drive/DriveSource.h"
#include "drive/emulated/CueSheet.h"
#include "drive/emulated/DemoDisc.h"
#include "drive/emulated/EmulatedDrive.h"

#if defined(__linux__)
#include <sys/stat.h>
#include <unistd.h>
#endif

namespace vindral::cli {

namespace {

struct ServedDrive {
    std::string name;
    std::shared_ptr<emulated::EmulatedDrive> drive;
    bool image = false;     // name is a CUE sheet, watched for changes
    std::string stamp;      // its size and modification time when loaded
};

// Size and modification time of a file, empty when it cannot be looked at.
std::string FileStamp(const std::string& path) {
#if defined(__linux__)
    struct stat info {};
    if (::stat(path.c_str(), &info) != 0) {
        return {};
    }
    return std::to_string(info.st_size) + "/" + std::to_string(info.st_mtim.tv_sec) + "." +
           std::to_string(info.st_mtim.tv_nsec);
#else
    (void)path;
    return {};
#endif
}

// Parses the options and loads the images; 0 or the exit status.
int PrepareDrives(int argc, char** argv, std::vector<ServedDrive>& drives, bool& help,
                  std::ostream& err) {
    DriveSourceOptions source;
    help = false;
    for (int i = 2; i < argc; ++i) {
        if (std::strcmp(argv[i], "--help") == 0 || std::strcmp(argv[i], "-h") == 0) {
            help = true;
            return 0;
        }
    }
    for (int i = 2; i < argc; ++i) {
        std::string error;
        const bool known = ParseDriveSourceOption(argc, argv, i, source, error);
        if (!error.empty()) {
            err << "vindral-cli: " << error << "\n";
            return kExitUsage;
        }
        if (!known) {
            err << "vindral-cli: unknown option '" << argv[i] << "'\n" << ServeHelpText();
            return kExitUsage;
        }
    }
    if (!source.devices.empty()) {
        err << "vindral-cli: serve serves disc images; --device is for reading drives\n";
        return kExitUsage;
    }
    if (source.images.empty() && !source.demo) {
        err << "vindral-cli: serve needs --image FILE.cue or --demo\n" << ServeHelpText();
        return kExitUsage;
    }
    if (source.demo) {
        auto drive = std::make_shared<emulated::EmulatedDrive>(emulated::MakeDemoDisc());
        drive->SetSpeedLimitKBps(EmulatedSpeedLimit(source, emulated::kDemoSpeedKBps));
        drives.push_back({"demo", drive, false, {}});
    }
    for (const std::string& image : source.images) {
        std::string error;
        auto disc = emulated::LoadCueSheet(image, error);
        if (!disc) {
            err << error << "\n";
            return kExitFailed;
        }
        auto drive = std::make_shared<emulated::EmulatedDrive>(disc);
        drive->SetSpeedLimitKBps(EmulatedSpeedLimit(source, 0));
        drives.push_back({image, drive, true, FileStamp(image)});
    }
    return 0;
}

} // namespace

std::string ServeHelpText() { return CommandHelpText(*FindCommand("serve")); }

#if defined(__linux__)

ServeEnvironment RealServeEnvironment() {
    ServeEnvironment environment;
    environment.fs = linuxdrive::RealTargetFs();
    environment.pid = static_cast<int>(::getpid());
    environment.root = ::geteuid() == 0;
    return environment;
}

int ServeCommand(int argc, char** argv, std::ostream& out, std::ostream& err) {
    return ServeCommand(argc, argv, out, err, RealServeEnvironment());
}

int ServeCommand(int argc, char** argv, std::ostream& out, std::ostream& err,
                 ServeEnvironment environment) {
    using linuxdrive::TcmuDevice;
    using linuxdrive::TcmuTarget;
    std::vector<ServedDrive> drives;
    bool help = false;
    if (int status = PrepareDrives(argc, argv, drives, help, err)) {
        return status;
    }
    if (help) {
        out << ServeHelpText();
        return kExitOk;
    }
    if (!environment.root) {
        err << "vindral-cli: serve needs root: it configures the kernel's SCSI target in "
            << environment.paths.configfs << "\n";
        return kExitFailed;
    }
    if (!environment.open) {
        environment.open = [](TcmuDevice& device, const TcmuTarget::Backstore& backstore,
                              std::string& error) {
            return device.Open(backstore.uioNode, backstore.mapSize, error);
        };
    }
    if (!environment.stop) {
        environment.stop = [] { return interrupted.load(); };
    }

    TcmuTarget target(environment.fs, environment.pid, environment.paths);
    std::vector<std::string> problems;
    for (const std::string& path : target.RemoveStale(problems)) {
        err << "vindral-cli: removed " << path << ", left by a serve that is gone\n";
    }
    for (const std::string& problem : problems) {
        err << "vindral-cli: cannot remove " << problem << "\n";
    }

    std::vector<std::unique_ptr<TcmuDevice>> devices;
    // The loopback targets go first, while the rings are still served (the
    // kernel talks to a drive as it removes it), then the rings stop, then
    // the backstores go.
    auto tearDown = [&] {
        target.RemoveLoopbacks();
        for (auto& device : devices) {
            device->Stop();
        }
        target.RemoveBackstores();
    };
    for (std::size_t i = 0; i < drives.size(); ++i) {
        const int index = static_cast<int>(i);
        const ServedDrive& served = drives[i];
        std::string error;
        TcmuTarget::Backstore backstore;
        const auto disc = served.drive->CurrentDisc();
        const uint64_t blocks = std::max<int64_t>(disc ? disc->LeadOut() : 0, 1);
        bool ok = target.CreateBackstore(index, blocks * 2048, backstore, error);
        if (ok) {
            devices.push_back(std::make_unique<TcmuDevice>());
            auto drive = served.drive;
            ok = environment.open(*devices.back(), backstore, error) &&
                 devices.back()->Start(
                     [drive](const uint8_t* cdb, int cdbLength, bool dataOut, uint8_t* buffer,
                             uint32_t length, SenseResult& sense) {
                         return drive->Execute(cdb, cdbLength, dataOut, buffer, length, sense);
                     },
                     error);
        }
        int host = -1;
        ok = ok && target.CreateLoopback(index, backstore, host, error);
        std::string node;
        if (ok) {
            node = target.FindDeviceNode(host, environment.nodeWaitMs, error, environment.stop);
            ok = !node.empty();
            if (!ok && environment.stop()) {
                // SIGINT or SIGTERM before the drive appeared: end as after serving.
                tearDown();
                return kExitOk;
            }
        }
        if (!ok) {
            err << "vindral-cli: " << served.name << ": " << error << "\n";
            tearDown();
            return kExitFailed;
        }
        out << served.name << ": " << node << std::endl;
    }

    std::vector<bool> reported(devices.size(), false);
    while (!environment.stop()) {
        std::this_thread::sleep_for(std::chrono::milliseconds(100));
        for (ServedDrive& served : drives) {
            // A changed sheet is a new disc in the drive: the next command
            // gets 06/28/00 (medium changed); a broken one leaves no disc.
            const std::string stamp = served.image ? FileStamp(served.name) : std::string();
            if (!served.image || stamp == served.stamp) {
                continue;
            }
            served.stamp = stamp;
            std::string error;
            if (auto disc = emulated::LoadCueSheet(served.name, error)) {
                served.drive->Insert(disc);
                err << "vindral-cli: " << served.name << ": changed, a new disc is in the drive"
                    << std::endl;
            } else {
                served.drive->Eject();
                err << error << "\nvindral-cli: " << served.name << ": the drive has no disc now"
                    << std::endl;
            }
        }
        for (std::size_t i = 0; i < devices.size(); ++i) {
            const std::string error = devices[i]->LastError();
            if (!error.empty() && !reported[i]) {
                reported[i] = true;
                err << "vindral-cli: " << drives[i].name << ": " << error << "\n";
            }
        }
    }
    tearDown();
    return kExitOk;
}

#else

int ServeCommand(int argc, char** argv, std::ostream& out, std::ostream& err) {
    std::vector<ServedDrive> drives;
    bool help = false;
    if (int status = PrepareDrives(argc, argv, drives, help, err)) {
        return status;
    }
    if (help) {
        out << ServeHelpText();
        return kExitOk;
    }
    err << "vindral-cli: serve needs Linux and its SCSI target subsystem\n";
    return kExitFailed;
}

#endif

} // namespace vindral::cli

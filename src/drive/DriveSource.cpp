#include "drive/DriveSource.h"

#include <cstdlib>
#include <cstring>

#include "drive/Transport.h"
#include "drive/emulated/CueSheet.h"
#include "drive/emulated/DemoDisc.h"
#include "drive/emulated/EmulatedTransport.h"

namespace vindral {

bool ParseDriveSourceOption(int argc, char** argv, int& i, DriveSourceOptions& options,
                            std::string& error) {
    error.clear();
    const std::string arg = argv[i];
    auto takeValue = [&](const std::string& name, std::vector<std::string>& into) {
        const std::string prefix = name + "=";
        if (arg.rfind(prefix, 0) == 0) {
            into.push_back(arg.substr(prefix.size()));
            return true;
        }
        if (i + 1 >= argc) {
            error = name + " needs a value";
            return false;
        }
        into.push_back(argv[++i]);
        return true;
    };
    if (arg == "--demo") {
        options.demo = true;
        return true;
    }
    if (arg == "--image" || arg.rfind("--image=", 0) == 0) {
        return takeValue("--image", options.images);
    }
    if (arg == "--device" || arg.rfind("--device=", 0) == 0) {
        return takeValue("--device", options.devices);
    }
    if (arg == "--emulated-speed" || arg.rfind("--emulated-speed=", 0) == 0) {
        std::vector<std::string> values;
        if (!takeValue("--emulated-speed", values)) {
            return true;
        }
        if (values.back() == "max") {
            options.emulatedSpeedKBps = kEmulatedSpeedMax;
            return true;
        }
        char* end = nullptr;
        const double multiple = std::strtod(values.back().c_str(), &end);
        if (end == values.back().c_str() || *end != '\0' || !(multiple > 0) || multiple > 300) {
            error = "--emulated-speed takes a multiple of the audio speed, such as 40, or max";
            return true;
        }
        options.emulatedSpeedKBps = static_cast<uint32_t>(multiple * 176.4 + 0.5);
        return true;
    }
    return false;
}

bool SetUpDrives(const DriveSourceOptions& options, std::string& error,
                 std::vector<std::shared_ptr<emulated::EmulatedDrive>>* drives) {
    const bool emulate = options.demo || !options.images.empty();
    if (emulate && !options.devices.empty()) {
        error = "--device cannot be combined with --image or --demo";
        return false;
    }
    if (!emulate) {
        if (!options.devices.empty()) {
            SelectTransport(CreateDeviceTransport(options.devices));
        }
        // Otherwise InitialiseTransport brings up the machine's drives.
        return true;
    }
    auto transport = std::make_unique<emulated::EmulatedTransport>();
    if (options.demo) {
        auto drive = transport->AddDrive(emulated::MakeDemoDisc());
        drive->SetSpeedLimitKBps(EmulatedSpeedLimit(options, emulated::kDemoSpeedKBps));
        if (drives != nullptr) {
            drives->push_back(drive);
        }
    }
    for (const std::string& image : options.images) {
        auto disc = emulated::LoadCueSheet(image, error);
        if (!disc) {
            return false;
        }
        auto drive = transport->AddDrive(disc);
        drive->SetSpeedLimitKBps(EmulatedSpeedLimit(options, 0));
        if (drives != nullptr) {
            drives->push_back(drive);
        }
    }
    SelectTransport(std::move(transport));
    return true;
}

} // namespace vindral

namespace vindral {

uint32_t EmulatedSpeedLimit(const DriveSourceOptions& options, uint32_t ownKBps) {
    if (options.emulatedSpeedKBps == kEmulatedSpeedMax) {
        return 0;
    }
    return options.emulatedSpeedKBps != 0 ? options.emulatedSpeedKBps : ownKBps;
}

std::string NoDriveMessage() {
#if defined(_WIN32)
    return "Unable to initialize WNASPI32.DLL";
#else
    return "Unable to reach a CD-ROM drive through SG_IO";
#endif
}

std::string NoDriveDetail() {
    const std::string hint = "To work without a drive, start with --demo (the built-in demo disc) "
                             "or --image FILE.cue (a disc image).";
    const std::string detail = TransportFailureDetail();
    return detail.empty() ? hint : detail + ". " + hint;
}

} // namespace vindral

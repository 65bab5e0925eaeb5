#include "cli/Cli.h"
#include "cli/AccuracyCommands.h"

#include <cstdio>
#include <cstring>
#include <ostream>
#include <sstream>

#include "drive/CdCommands.h"
#include "drive/DriveSource.h"
#include "drive/Transport.h"
#include "extract/JobBuilder.h"
#include "extract/RunProtocol.h"
#include "platform/Platform.h"

#if defined(_WIN32)
#include <io.h>
#define isatty _isatty
#define fileno _fileno
#else
#include <unistd.h>
#endif

namespace vindral::cli {

std::atomic<bool> interrupted{false};

namespace {

const char* const kUsage =
    "usage: vindral-cli drives [SOURCE]\n"
    "       vindral-cli toc [SOURCE] [--drive N]\n"
    "       vindral-cli rip [SOURCE] [--drive N] [--tracks LIST] [--out DIR] [--prefix NAME]\n"
    "                       [--verify] [--c2] [--speed X] [--log FILE]\n"
    "       vindral-cli ids [SOURCE] [--drive N]\n"
    "       vindral-cli log verify FILE\n"
    "SOURCE: --image FILE.cue (repeatable) | --demo | --device /dev/srN (repeatable);\n"
    "        without one, the machine's CD-ROM drives are used. --emulated-speed X\n"
    "        limits the emulated drives to X times the audio speed.\n"
    "LIST:   all (every audio track, the default) or track numbers such as 1,3-5\n"
    "X:      1, 2, 4, 8, 12, 16, 32 or max\n";

struct Options {
    std::string command;
    DriveSourceOptions source;
    int drive = 0;
    std::string tracks = "all";
    std::string out;
    std::string prefix = "Track";
    bool verify = false;
    bool c2 = false;
    std::optional<uint16_t> speed;
    std::string logFile;
};

bool ParseNumber(const std::string& text, int& value) {
    if (text.empty() || text.size() > 6) {
        return false;
    }
    value = 0;
    for (char c : text) {
        if (c < '0' || c > '9') {
            return false;
        }
        value = value * 10 + (c - '0');
    }
    return true;
}

// Returns 0 when parsed, else the exit status with the message written.
int ParseOptions(int argc, char** argv, Options& options, std::ostream& err) {
    if (argc < 2) {
        err << kUsage;
        return kExitUsage;
    }
    options.command = argv[1];
    if (options.command == "--help" || options.command == "-h" || options.command == "help") {
        options.command = "help";
        return 0;
    }
    if (options.command != "drives" && options.command != "toc" && options.command != "rip" &&
        options.command != "ids") {
        err << "vindral-cli: unknown command '" << options.command << "'\n" << kUsage;
        return kExitUsage;
    }
    const bool rip = options.command == "rip";
    for (int i = 2; i < argc; ++i) {
        std::string error;
        const bool source = ParseDriveSourceOption(argc, argv, i, options.source, error);
        if (!error.empty()) {
            err << "vindral-cli: " << error << "\n";
            return kExitUsage;
        }
        if (source) {
            continue;
        }
        const std::string arg = argv[i];
        auto value = [&](std::string& into) {
            if (i + 1 >= argc) {
                err << "vindral-cli: " << arg << " needs a value\n";
                return false;
            }
            into = argv[++i];
            return true;
        };
        std::string text;
        if (arg == "--drive" && options.command != "drives") {
            if (!value(text)) {
                return kExitUsage;
            }
            if (!ParseNumber(text, options.drive)) {
                err << "vindral-cli: --drive takes a drive number from 0\n";
                return kExitUsage;
            }
        } else if (rip && arg == "--tracks") {
            if (!value(options.tracks)) {
                return kExitUsage;
            }
        } else if (rip && arg == "--out") {
            if (!value(options.out)) {
                return kExitUsage;
            }
        } else if (rip && arg == "--prefix") {
            if (!value(options.prefix)) {
                return kExitUsage;
            }
        } else if (rip && arg == "--verify") {
            options.verify = true;
        } else if (rip && arg == "--c2") {
            options.c2 = true;
        } else if (rip && arg == "--speed") {
            if (!value(text)) {
                return kExitUsage;
            }
            options.speed = SpeedFromArgument(text);
            if (!options.speed) {
                err << "vindral-cli: --speed takes 1, 2, 4, 8, 12, 16, 32 or max\n";
                return kExitUsage;
            }
        } else if (rip && arg == "--log") {
            if (!value(options.logFile)) {
                return kExitUsage;
            }
        } else {
            err << "vindral-cli: unknown option '" << arg << "'\n" << kUsage;
            return kExitUsage;
        }
    }
    const DriveSourceOptions& source = options.source;
    if (!source.devices.empty() && (source.demo || !source.images.empty())) {
        err << "vindral-cli: --device cannot be combined with --image or --demo\n";
        return kExitUsage;
    }
    return 0;
}

// Brings up the drives as the main window does; returns 0 or the exit status.
int OpenDrives(const Options& options, std::vector<DriveLine>& drives, std::ostream& err) {
    std::string error;
    if (!SetUpDrives(options.source, error)) {
        err << error << "\n";
        return kExitFailed;
    }
    if (InitialiseTransport() == 0) {
        err << "Unable to initialize WNASPI32.DLL\n";
        return kExitFailed;
    }
    drives = FindDrives();
    if (drives.empty()) {
        err << "No CD-ROM drives found\n";
        return kExitFailed;
    }
    return 0;
}

int SelectDrive(const Options& options, const std::vector<DriveLine>& drives, CdDevice& device,
                std::ostream& err) {
    if (options.drive < 0 || static_cast<std::size_t>(options.drive) >= drives.size()) {
        err << "vindral-cli: there is no drive " << options.drive << " (" << drives.size()
            << " found)\n";
        return kExitUsage;
    }
    device = drives[static_cast<std::size_t>(options.drive)].device;
    return 0;
}

// Readiness as the disc check asks it (the first answer after a disc change
// reports the change), then the table of contents.
int ReadDisc(CdDevice device, TrackTable& table, std::ostream& err) {
    CdCommands::TestUnitReady(device.hostAdapter, device.target);
    CdCommands::TestUnitReady(device.hostAdapter, device.target);
    const int32_t status = ReadTrackTable(device.hostAdapter, device.target, table);
    if (status != kStatusOk) {
        char code[16];
        std::snprintf(code, sizeof code, "%06X", static_cast<unsigned>(LastSenseCode()));
        err << "The table of contents cannot be read (code " << code << ")\n";
        return kExitFailed;
    }
    return 0;
}

// The drives, the chosen one and its disc's table of contents; 0 or the
// exit status.
int OpenDisc(const Options& options, CdDevice& device, TrackTable& table, std::ostream& err) {
    std::vector<DriveLine> drives;
    if (int status = OpenDrives(options, drives, err)) {
        return status;
    }
    if (int status = SelectDrive(options, drives, device, err)) {
        return status;
    }
    return ReadDisc(device, table, err);
}

int CommandToc(const Options& options, std::ostream& out, std::ostream& err) {
    CdDevice device;
    TrackTable table;
    if (int status = OpenDisc(options, device, table, err)) {
        return status;
    }
    for (int k = 0; k < table.count; ++k) {
        const TrackEntry& entry = table.entries[static_cast<std::size_t>(k)];
        out << TrackRowName(entry) << "  " << CdCommands::FramesToTimeText(entry.start) << "  "
            << CdCommands::FramesToTimeText(entry.length) << "  " << TrackSpaceText(entry.length)
            << (entry.dataTrack ? "  data" : "") << "\n";
    }
    SectorAddress end = 0;
    if (table.count > 0) {
        const TrackEntry& last = table.entries[static_cast<std::size_t>(table.count - 1)];
        end = last.start + last.length;
    }
    out << "Tracks: " << table.count << "  Length: " << CdCommands::FramesToTimeText(end) << "\n";
    return kExitOk;
}

// Prints the log on standard output and a progress line on a terminal.
class CliView : public RunView {
public:
    CliView(std::ostream& out, std::ostream& err, bool progress)
        : out_(out), err_(err), progress_(progress) {}

    void ShowTexts(const DisplayTexts& texts) override {
        if (!progress_ || texts.trackProgress.empty()) {
            return;
        }
        std::string line = caption_ + "  " + texts.trackProgress + "  total " +
                           texts.totalProgress + "  " + texts.trackSpeed + "  left" +
                           texts.totalRemaining;
        if (line == shown_) {
            return;
        }
        shown_ = line;
        std::fprintf(stderr, "\r%-78s", line.c_str());
        std::fflush(stderr);
    }

    void LogLineAdded(const std::string& line, int) override {
        ClearProgress();
        out_ << line << std::endl;
    }

    void FileProblem(const std::string& reason) override {
        ClearProgress();
        err_ << reason << std::endl;
    }

    void SetProgressBar(int) override {}
    void SetTrackCaption(const std::string& caption) override { caption_ = caption; }

    void ClearProgress() {
        if (progress_ && !shown_.empty()) {
            std::fprintf(stderr, "\r%-78s\r", "");
            std::fflush(stderr);
            shown_.clear();
        }
    }

private:
    std::ostream& out_;
    std::ostream& err_;
    bool progress_;
    std::string caption_;
    std::string shown_;
};

int CommandRip(const Options& options, std::ostream& out, std::ostream& err) {
    CdDevice device;
    TrackTable table;
    if (int status = OpenDisc(options, device, table, err)) {
        return status;
    }
    std::string error;
    const auto rows = ParseTrackList(options.tracks, table, error);
    if (!rows) {
        err << "vindral-cli: " << error << "\n";
        return kExitUsage;
    }
    if (rows->empty()) {
        err << "vindral-cli: the disc has no audio track to rip\n";
        return kExitFailed;
    }
    std::string folder = options.out;
    if (!folder.empty()) {
        if (!platform::FolderExists(folder)) {
            err << "vindral-cli: the folder " << folder << " does not exist\n";
            return kExitFailed;
        }
        if (folder.back() != '/' && folder.back() != '\\') {
            folder += '/';
        }
    }
    if (options.speed) {
        CdCommands::SetReadSpeed(device.hostAdapter, device.target, *options.speed);
    }

    ExtractJob job = BuildJob(table, *rows, folder, options.prefix, device,
                              options.verify || options.c2, !options.c2);
    job.readMethod = ProbeReadMethod(device.hostAdapter, device.target);
    const uint64_t needed = NeededBytes(job);
    const FreeSpace space = FreeSpaceForJob(job);
    if (!space.error.empty() || needed > space.bytes) {
        std::string message =
            space.error.empty() ? NotEnoughSpaceMessage(needed - space.bytes) : space.error;
        if (const auto end = message.find("\r\n"); end != std::string::npos) {
            message.replace(end, 2, "\n");
        }
        err << message << "\n";
        if (job.readMethod != kReadCd && job.readMethod != kReadCdda) {
            CdCommands::SelectBlockMode(device.hostAdapter, device.target, 1);
        }
        return kExitFailed;
    }

    const bool progress = isatty(fileno(stderr)) != 0;
    CliView view(out, err, progress);
    RunProtocol protocol(std::move(job), view);
    protocol.Open();
    bool cancelSent = false;
    while (protocol.WorkerActive() || !protocol.Run().cancel.load()) {
        protocol.WaitAndDispatch(50);
        if (interrupted.load() && !cancelSent) {
            cancelSent = true;
            protocol.Cancel();
        }
    }
    protocol.Close();
    view.ClearProgress();

    int status = kExitOk;
    std::string saveError;
    if (!options.logFile.empty() && !protocol.Log().Save(options.logFile, &saveError)) {
        err << "Error saving file\n";
        if (!saveError.empty()) {
            err << saveError << "\n";
        }
        status = kExitFailed;
    }
    if (cancelSent) {
        return kExitInterrupted;
    }
    if (protocol.Failed() || !protocol.Finished()) {
        return kExitFailed;
    }
    return status;
}

} // namespace

std::optional<std::vector<int>> ParseTrackList(const std::string& text, const TrackTable& table,
                                               std::string& error) {
    std::vector<int> rows;
    if (text == "all") {
        for (int k = 0; k < table.count; ++k) {
            if (table.entries[static_cast<std::size_t>(k)].dataTrack == 0) {
                rows.push_back(k);
            }
        }
        return rows;
    }
    std::vector<bool> chosen(static_cast<std::size_t>(table.count), false);
    std::stringstream items(text);
    std::string item;
    bool any = false;
    while (std::getline(items, item, ',')) {
        any = true;
        int first = 0;
        int last = 0;
        const auto dash = item.find('-');
        const bool range = dash != std::string::npos;
        if (!(range ? ParseNumber(item.substr(0, dash), first) &&
                          ParseNumber(item.substr(dash + 1), last)
                    : ParseNumber(item, first))) {
            error = "bad track list '" + text + "' (use all, or numbers such as 1,3-5)";
            return std::nullopt;
        }
        if (!range) {
            last = first;
        }
        if (last < first) {
            error = "bad track range '" + item + "'";
            return std::nullopt;
        }
        for (int number = first; number <= last; ++number) {
            int row = -1;
            for (int k = 0; k < table.count; ++k) {
                if (table.entries[static_cast<std::size_t>(k)].number == number) {
                    row = k;
                }
            }
            char name[16];
            std::snprintf(name, sizeof name, "%02d", number);
            if (row < 0) {
                error = std::string("the disc has no track ") + name;
                return std::nullopt;
            }
            if (table.entries[static_cast<std::size_t>(row)].dataTrack != 0) {
                error = std::string("track ") + name + " is a data track and cannot be ripped";
                return std::nullopt;
            }
            chosen[static_cast<std::size_t>(row)] = true;
        }
    }
    if (!any) {
        error = "empty track list";
        return std::nullopt;
    }
    for (int k = 0; k < table.count; ++k) {
        if (chosen[static_cast<std::size_t>(k)]) {
            rows.push_back(k);
        }
    }
    return rows;
}

std::optional<uint16_t> SpeedFromArgument(const std::string& text) {
    if (text == "max") {
        return static_cast<uint16_t>(0xFFFF);
    }
    int multiple = 0;
    if (!ParseNumber(text, multiple)) {
        return std::nullopt;
    }
    for (int allowed : {1, 2, 4, 8, 12, 16, 32}) {
        if (multiple == allowed) {
            return static_cast<uint16_t>(177 * multiple);
        }
    }
    return std::nullopt;
}

int Run(int argc, char** argv, std::ostream& out, std::ostream& err) {
    if (argc >= 2 && std::strcmp(argv[1], "log") == 0) {
        return VerifyLogCommand(argc, argv, out, err);
    }
    Options options;
    if (int status = ParseOptions(argc, argv, options, err)) {
        return status;
    }
    if (options.command == "help") {
        out << kUsage;
        return kExitOk;
    }
    if (options.command == "drives") {
        std::vector<DriveLine> drives;
        if (int status = OpenDrives(options, drives, err)) {
            return status;
        }
        for (const DriveLine& drive : drives) {
            out << drive.text << "\n";
        }
        return kExitOk;
    }
    if (options.command == "toc") {
        return CommandToc(options, out, err);
    }
    if (options.command == "ids") {
        CdDevice device;
        TrackTable table;
        if (int status = OpenDisc(options, device, table, err)) {
            return status;
        }
        return PrintDiscIds(table, out, err);
    }
    return CommandRip(options, out, err);
}

} // namespace vindral::cli

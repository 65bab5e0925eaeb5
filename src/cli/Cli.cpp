#include "cli/Cli.h"
#include "cli/AccuracyCommands.h"
#include "cli/ServeCommand.h"

#include <cstdio>
#include <cstring>
#include <memory>
#include <ostream>
#include <sstream>

#include "drive/CdCommands.h"
#include "drive/DriveSource.h"
#include "drive/Transport.h"
#include "drive/emulated/EmulatedDrive.h"
#include "extract/JobBuilder.h"
#include "extract/ReadOffset.h"
#include "extract/RunProtocol.h"
#include "platform/Platform.h"
#include "platform/Settings.h"

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
    "                       [--verify] [--c2] [--speed X] [--log FILE] [--offset N]\n"
    "                       [--accurate] [--verify=auto] [--accuraterip-url URL] [--ctdb-url URL]\n"
    "       vindral-cli ids [SOURCE] [--drive N]\n"
    "       vindral-cli offset find [SOURCE] [--drive N] [--dbar FILE | --accuraterip-url URL]\n"
    "       vindral-cli log verify FILE\n"
    "       vindral-cli serve --image FILE.cue [--image ...]   (Linux, root)\n"
    "SOURCE: --image FILE.cue (repeatable) | --demo | --device /dev/srN (repeatable);\n"
    "        without one, the machine's CD-ROM drives are used. --emulated-speed X\n"
    "        limits the emulated drives to X times the audio speed.\n"
    "LIST:   all (every audio track, the default) or track numbers such as 1,3-5;\n"
    "        0 is the audio before track 1 when the disc has some\n"
    "X:      1, 2, 4, 8, 12, 16, 32 or max\n";

const char* const kSourceHelp =
    "\nSOURCE (without one, the machine's CD-ROM drives /dev/sr0 ... /dev/sr23):\n"
    "  --image FILE.cue      an emulated drive over a CUE sheet with BIN or WAV files\n"
    "                        (repeatable: one drive per image)\n"
    "  --demo                an emulated drive with the built-in demo disc\n"
    "  --device /dev/srN     this drive node only (repeatable)\n"
    "  --emulated-speed X    limit the emulated drives to X times the audio speed\n";

const char* const kDrivesHelp =
    "usage: vindral-cli drives [SOURCE]\n"
    "Lists the drives, one a line: [host adapter:target], vendor and product.\n";

const char* const kTocHelp =
    "usage: vindral-cli toc [SOURCE] [--drive N]\n"
    "Prints the disc's table of contents: one line per track with its start, length\n"
    "and size, then the number of tracks and the length of the disc.\n"
    "\n"
    "  --drive N             the drive, counted from 0 as 'drives' lists them (default 0)\n";

const char* const kRipHelp =
    "usage: vindral-cli rip [SOURCE] [--drive N] [--tracks LIST] [--out DIR] [--prefix NAME]\n"
    "                       [--verify] [--c2] [--speed X] [--log FILE] [--offset N]\n"
    "                       [--accurate] [--verify=auto] [--accuraterip-url URL] [--ctdb-url URL]\n"
    "                       [--secure] [--agree N] [--max-reads N] [--cache-sectors N]\n"
    "Copies audio tracks into WAV files named NAMEnn.wav (nn: the track number), prints\n"
    "the status log and, on a terminal, a progress line on standard error.\n"
    "\n"
    "  --drive N             the drive, counted from 0 as 'drives' lists them (default 0)\n"
    "  --tracks LIST         all (every audio track, the default) or track numbers\n"
    "                        such as 1,3-5\n"
    "  --out DIR             the folder for the files (default: the current folder)\n"
    "  --prefix NAME         the start of every file name (default: Track)\n"
    "  --verify              read every track twice and compare the file byte for byte\n"
    "  --c2                  verify with the drive's C2 error pointers instead\n"
    "  --speed X             read speed: 1, 2, 4, 8, 12, 16, 32 or max\n"
    "  --log FILE            also save the status log into FILE\n"
    "  --offset N            correct the drive's read offset of N samples (-3000 to\n"
    "                        3000): sample j of a file is sample j + N of the reading\n"
    "  --accurate            look the disc up in AccurateRip and CTDB when the run\n"
    "                        starts, print each track's result after the log and\n"
    "                        write the sealed rip log DIR/NAME.log\n"
    "  --verify=auto         --verify --accurate, without the second reading of\n"
    "                        tracks the databases confirm\n"
    "  --accuraterip-url URL the AccurateRip database (default\n"
    "                        http://www.accuraterip.com/accuraterip)\n"
    "  --ctdb-url URL        the CTDB database (default http://db.cuetools.net)\n"
    "  --secure              re-read sectors that fail, that the drive flags with C2\n"
    "                        errors or that the verification finds different, until\n"
    "                        readings agree; a track that never agrees is kept,\n"
    "                        marked suspicious, and the run goes on\n"
    "  --agree N             readings that must agree, 2 to 8 (default 2)\n"
    "  --max-reads N         readings of a sector at most (default 20)\n"
    "  --cache-sectors N     the drive's cache in sectors, read past before each\n"
    "                        re-read (default 2048; 0 leaves the cache alone)\n"
    "\n"
    "Exit status: 0 every track extracted (and verified without a differing byte),\n"
    "1 a track failed or differed, or was found not accurate (with --secure: a track\n"
    "is suspicious or could not be read), 2 usage error,\n"
    "130 interrupted (Ctrl+C cancels and removes the partial file).\n";

const char* const kIdsHelp =
    "usage: vindral-cli ids [SOURCE] [--drive N]\n"
    "Prints the disc's AccurateRip ID, CDDB ID, MusicBrainz disc ID and CTDB TOC ID,\n"
    "one a line.\n"
    "\n"
    "  --drive N             the drive, counted from 0 as 'drives' lists them (default 0)\n";

const char* const kOffsetHelp =
    "usage: vindral-cli offset find [SOURCE] [--drive N] [--dbar FILE | --accuraterip-url URL]\n"
    "Finds the drive's read offset: reads sectors 445 to 455 of every audio track\n"
    "and compares their AccurateRip offset-finding sums, shifted by up to 2940\n"
    "samples either way, with those of every pressing in the disc's AccurateRip\n"
    "answer. Prints one line per offset that matches, with the tracks that agree,\n"
    "most first; that offset is the value for --offset.\n"
    "\n"
    "  --drive N             the drive, counted from 0 as 'drives' lists them (default 0)\n"
    "  --dbar FILE           the disc's AccurateRip answer (a dBAR file) instead of\n"
    "                        the database's\n"
    "  --accuraterip-url URL the AccurateRip database to ask (default: the settings'\n"
    "                        accurateRipUrl, else http://www.accuraterip.com/accuraterip);\n"
    "                        answers are kept in $XDG_CACHE_HOME/vindral/\n"
    "\n"
    "Exit status: 0 an offset matches, 1 none does, the disc is not in the database,\n"
    "the database cannot be reached or the disc cannot be read, 2 usage error.\n";

const char* const kGeneralHelp =
    "\nvindral-cli COMMAND --help shows the options of a command;\n"
    "vindral-cli --version shows the version.\n";

// The help of one command, or the general usage for an empty name.
std::string HelpText(const std::string& command) {
    if (command == "drives") {
        return std::string(kDrivesHelp) + kSourceHelp;
    }
    if (command == "toc") {
        return std::string(kTocHelp) + kSourceHelp;
    }
    if (command == "rip") {
        return std::string(kRipHelp) + kSourceHelp;
    }
    if (command == "ids") {
        return std::string(kIdsHelp) + kSourceHelp;
    }
    if (command == "offset") {
        return std::string(kOffsetHelp) + kSourceHelp;
    }
    if (command == "serve") {
        return ServeHelpText();
    }
    return std::string(kUsage) + kGeneralHelp;
}

struct Options {
    std::string command;
    std::string helpFor; // with command "help": the command asked about, or empty
    DriveSourceOptions source;
    int drive = 0;
    std::string tracks = "all";
    std::string out;
    std::string prefix = "Track";
    bool verify = false;
    bool c2 = false;
    std::optional<uint16_t> speed;
    std::string logFile;
    int32_t offset = 0;
    bool secure = false;
    SecureSettings secureSettings;
    // Which of --agree, --max-reads and --cache-sectors were given; the
    // others come from the settings file.
    bool agreeGiven = false;
    bool maxReadsGiven = false;
    bool cacheGiven = false;
    std::string dbarFile; // offset find
    RipCheckOptions checks;
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

// A read offset: an optional sign and at most four digits, -3000 to 3000.
bool ParseOffset(const std::string& text, int32_t& offset) {
    std::size_t at = 0;
    bool negative = false;
    if (!text.empty() && (text[0] == '-' || text[0] == '+')) {
        negative = text[0] == '-';
        at = 1;
    }
    int value = 0;
    const std::string digits = text.substr(at);
    if (digits.size() > 4 || !ParseNumber(digits, value) || value > kMaxReadOffset) {
        return false;
    }
    offset = negative ? -value : value;
    return true;
}

// Returns 0 when parsed, else the exit status with the message written.
int ParseOptions(int argc, char** argv, Options& options, std::ostream& err) {
    if (argc < 2) {
        err << kUsage;
        return kExitUsage;
    }
    options.command = argv[1];
    auto known = [](const std::string& name) {
        return name == "drives" || name == "toc" || name == "rip" || name == "ids" ||
               name == "offset" || name == "serve";
    };
    if (options.command == "--version") {
        options.command = "version";
        return 0;
    }
    if (options.command == "--help" || options.command == "-h" || options.command == "help") {
        // "help rip" asks about one command.
        if (options.command == "help" && argc > 2) {
            if (!known(argv[2])) {
                err << "vindral-cli: unknown command '" << argv[2] << "'\n" << kUsage;
                return kExitUsage;
            }
            options.helpFor = argv[2];
        }
        options.command = "help";
        return 0;
    }
    if (!known(options.command)) {
        err << "vindral-cli: unknown command '" << options.command << "'\n" << kUsage;
        return kExitUsage;
    }
    for (int i = 2; i < argc; ++i) {
        if (std::strcmp(argv[i], "--help") == 0 || std::strcmp(argv[i], "-h") == 0) {
            options.helpFor = options.command;
            options.command = "help";
            return 0;
        }
    }
    const bool rip = options.command == "rip";
    const bool offsetFind = options.command == "offset";
    int firstOption = 2;
    if (offsetFind) {
        if (argc < 3 || std::strcmp(argv[2], "find") != 0) {
            err << "vindral-cli: usage: vindral-cli offset find [SOURCE] [--drive N] [--dbar FILE | "
                   "--accuraterip-url URL]\n";
            return kExitUsage;
        }
        firstOption = 3;
    }
    for (int i = firstOption; i < argc; ++i) {
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
        } else if (rip && arg == "--accurate") {
            options.checks.accurate = true;
        } else if (rip && arg == "--verify=auto") {
            options.verify = true;
            options.checks.accurate = true;
            options.checks.skipConfirmed = true;
        } else if ((rip || offsetFind) && arg == "--accuraterip-url") {
            if (!value(options.checks.accurateRipUrl)) {
                return kExitUsage;
            }
        } else if (rip && arg == "--ctdb-url") {
            if (!value(options.checks.ctdbUrl)) {
                return kExitUsage;
            }
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
        } else if (rip && arg == "--offset") {
            if (!value(text)) {
                return kExitUsage;
            }
            if (!ParseOffset(text, options.offset)) {
                err << "vindral-cli: --offset takes a number of samples from -3000 to 3000\n";
                return kExitUsage;
            }
            // A corrected rip is checked against the databases.
            options.checks.accurate = true;
        } else if (rip && arg == "--secure") {
            options.secure = true;
        } else if (rip && (arg == "--agree" || arg == "--max-reads" || arg == "--cache-sectors")) {
            int number = 0;
            if (!value(text)) {
                return kExitUsage;
            }
            const bool parsed = ParseNumber(text, number);
            if (arg == "--agree" && (!parsed || number < 2 || number > 8)) {
                err << "vindral-cli: --agree takes a number from 2 to 8\n";
                return kExitUsage;
            }
            if (arg == "--max-reads" && (!parsed || number < 2 || number > 1000)) {
                err << "vindral-cli: --max-reads takes a number from 2 to 1000\n";
                return kExitUsage;
            }
            if (arg == "--cache-sectors" && (!parsed || number > 100000)) {
                err << "vindral-cli: --cache-sectors takes a number from 0 to 100000\n";
                return kExitUsage;
            }
            if (arg == "--agree") {
                options.secureSettings.agreeing = number;
                options.agreeGiven = true;
            } else if (arg == "--max-reads") {
                options.secureSettings.maxReadings = number;
                options.maxReadsGiven = true;
            } else {
                options.secureSettings.cacheSectors = number;
                options.cacheGiven = true;
            }
        } else if (offsetFind && arg == "--dbar") {
            if (!value(options.dbarFile)) {
                return kExitUsage;
            }
        } else {
            err << "vindral-cli: unknown option '" << arg << "'\n" << kUsage;
            return kExitUsage;
        }
    }
    if (offsetFind && !options.dbarFile.empty() && !options.checks.accurateRipUrl.empty()) {
        err << "vindral-cli: --dbar and --accuraterip-url cannot be combined\n";
        return kExitUsage;
    }
    const DriveSourceOptions& source = options.source;
    if (!source.devices.empty() && (source.demo || !source.images.empty())) {
        err << "vindral-cli: --device cannot be combined with --image or --demo\n";
        return kExitUsage;
    }
    return 0;
}

// Brings up the drives as the main window does; returns 0 or the exit status.
// `notes` receives, per drive, what the image reader said about the image.
int OpenDrives(const Options& options, std::vector<DriveLine>& drives, std::ostream& err,
               std::vector<std::vector<std::string>>* notes = nullptr) {
    std::string error;
    std::vector<std::shared_ptr<emulated::EmulatedDrive>> emulatedDrives;
    if (!SetUpDrives(options.source, error, &emulatedDrives)) {
        err << error << "\n";
        return kExitFailed;
    }
    if (InitialiseTransport() == 0) {
        err << "Unable to initialize WNASPI32.DLL\n" << NoDriveDetail() << "\n";
        return kExitFailed;
    }
    drives = FindDrives();
    if (drives.empty()) {
        err << "No CD-ROM drives found\n";
        return kExitFailed;
    }
    if (notes != nullptr) {
        // The emulated drives are found in the order they were set up.
        notes->assign(drives.size(), {});
        for (std::size_t i = 0; i < emulatedDrives.size() && i < drives.size(); ++i) {
            if (auto disc = emulatedDrives[i]->CurrentDisc()) {
                (*notes)[i] = disc->Notes();
            }
        }
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
        // "code %06X" for the drive's own refusal; the transport's failures
        // (not permitted, timed out) in words.
        err << "The table of contents cannot be read (" << DescribeStatus(status, LastSenseCode())
            << ")\n";
        return kExitFailed;
    }
    return 0;
}

// The drives, the chosen one and its disc's table of contents; 0 or the
// exit status.
int OpenDisc(const Options& options, CdDevice& device, TrackTable& table, std::ostream& err,
             std::vector<std::string>* notes = nullptr, std::string* driveText = nullptr) {
    std::vector<DriveLine> drives;
    std::vector<std::vector<std::string>> driveNotes;
    if (int status = OpenDrives(options, drives, err, &driveNotes)) {
        return status;
    }
    if (int status = SelectDrive(options, drives, device, err)) {
        return status;
    }
    if (notes != nullptr) {
        *notes = driveNotes[static_cast<std::size_t>(options.drive)];
    }
    if (driveText != nullptr) {
        *driveText = drives[static_cast<std::size_t>(options.drive)].text;
    }
    return ReadDisc(device, table, err);
}

int CommandToc(const Options& options, std::ostream& out, std::ostream& err) {
    CdDevice device;
    TrackTable table;
    std::vector<std::string> notes;
    if (int status = OpenDisc(options, device, table, err, &notes)) {
        return status;
    }
    for (const std::string& note : notes) {
        err << note << "\n";
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

// The rip log's words for a --speed value.
std::string SpeedName(const std::optional<uint16_t>& speed) {
    if (!speed) {
        return "the drive's own";
    }
    if (*speed == 0xFFFF) {
        return "max";
    }
    return std::to_string(*speed / 177) + " X";
}

int CommandRip(const Options& options, std::ostream& out, std::ostream& err) {
    CdDevice device;
    TrackTable table;
    std::string driveText;
    if (int status = OpenDisc(options, device, table, err, nullptr, &driveText)) {
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
        const int32_t speedStatus =
            CdCommands::SetReadSpeed(device.hostAdapter, device.target, *options.speed);
        if (speedStatus != kStatusOk) {
            // The rip goes on at the drive's own speed; say why it was not set
            // (a read-only device node refuses SET CD SPEED, for one).
            err << "vindral-cli: the read speed was not set ("
                << DescribeStatus(speedStatus, LastSenseCode()) << ")\n";
        }
    }

    ExtractJob job = BuildJob(table, *rows, folder, options.prefix, device,
                              options.verify || options.c2, !options.c2);
    job.readOffset = options.offset;
    job.secure = options.secure;
    job.secureSettings = options.secureSettings;
    if (options.secure) {
        const platform::Settings stored = platform::LoadSettings(platform::DefaultSettingsPath());
        if (!options.agreeGiven) {
            job.secureSettings.agreeing = stored.secureAgreeing;
        }
        if (!options.maxReadsGiven) {
            job.secureSettings.maxReadings = stored.secureMaxReadings;
        }
        if (!options.cacheGiven) {
            job.secureSettings.cacheSectors = stored.driveCacheSectors;
        }
    }
    job.readMethod = ProbeReadMethod(device.hostAdapter, device.target);
    if (job.secure && !job.tracks.empty()) {
        job.c2Pointers = ProbeC2Pointers(device.hostAdapter, device.target, job.readMethod,
                                         job.tracks.front().track.start);
    }
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

    // The databases are asked before the first read, so that each track's
    // result is known when its extraction pass ends.
    std::unique_ptr<RipChecks> checks;
    if (options.checks.accurate) {
        // The URLs of the options, else those of the settings, else the
        // public databases.
        RipCheckOptions checkOptions = options.checks;
        const platform::Settings stored = platform::LoadSettings(platform::DefaultSettingsPath());
        if (checkOptions.accurateRipUrl.empty()) {
            checkOptions.accurateRipUrl = stored.accurateRipUrl;
        }
        if (checkOptions.ctdbUrl.empty()) {
            checkOptions.ctdbUrl = stored.ctdbUrl;
        }
        // Secure reading takes a track the databases confirm on its first
        // reading, as --verify=auto does.
        checkOptions.skipConfirmed = checkOptions.skipConfirmed || options.secure;
        std::string checksError;
        checks = StartRipChecks(checkOptions, table, job, checksError);
        if (!checks) {
            err << "vindral-cli: " << checksError << "\n";
            return kExitUsage;
        }
    }
    const std::string ripLogPath = folder + options.prefix + ".log";
    RipLogContext logContext;
    logContext.drive = driveText;
    logContext.readOffset = options.offset;
    logContext.readMethod = ReadMethodName(job.readMethod);
    if (options.secure) {
        logContext.readMethod += job.c2Pointers ? ", C2 error pointers used (secure reading)"
                                                : ", no C2 error pointers (secure reading)";
    }
    logContext.speed = SpeedName(options.speed);

    const bool progress = isatty(fileno(stderr)) != 0;
    CliView view(out, err, progress);
    RunProtocol protocol(std::move(job), view);
    if (checks) {
        protocol.SetObserver(checks->Observer());
    }
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
    if (checks && protocol.Finished() && !cancelSent) {
        if (!checks->WriteLog(ripLogPath, logContext, saveError)) {
            err << saveError << "\n";
            status = kExitFailed;
        }
    }
    if (cancelSent) {
        return kExitInterrupted;
    }
    if (protocol.Failed() || !protocol.Finished()) {
        return kExitFailed;
    }
    if (checks && checks->NotAccurate()) {
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
    bool hiddenChosen = false;
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
            if (number == 0) {
                TrackEntry hidden;
                if (!HiddenTrackEntry(table, hidden)) {
                    error = "the disc has no track 00 (no audio before its first track)";
                    return std::nullopt;
                }
                hiddenChosen = true;
                continue;
            }
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
    if (hiddenChosen) {
        rows.push_back(kHiddenTrackRow);
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
    if (argc >= 2 && std::strcmp(argv[1], "serve") == 0) {
        return ServeCommand(argc, argv, out, err);
    }
    Options options;
    if (int status = ParseOptions(argc, argv, options, err)) {
        return status;
    }
    if (options.command == "help") {
        out << HelpText(options.helpFor);
        return kExitOk;
    }
    if (options.command == "version") {
        out << "vindral-cli " << VINDRAL_VERSION << "\n";
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
    if (options.command == "offset") {
        CdDevice device;
        TrackTable table;
        if (int status = OpenDisc(options, device, table, err)) {
            return status;
        }
        if (!options.dbarFile.empty()) {
            return FindOffsetCommand(device, table, options.dbarFile, out, err);
        }
        // The URL of the option, else that of the settings, else the public
        // database.
        std::string url = options.checks.accurateRipUrl;
        if (url.empty()) {
            url = platform::LoadSettings(platform::DefaultSettingsPath()).accurateRipUrl;
        }
        return FindOffsetInDatabase(device, table, url, out, err);
    }
    return CommandRip(options, out, err);
}

} // namespace vindral::cli

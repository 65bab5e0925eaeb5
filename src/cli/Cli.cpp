#include "cli/Cli.h"
#include "cli/AccuracyCommands.h"
#include "cli/CommandLine.h"
#include "cli/CueCommand.h"
#include "cli/MetaCommand.h"
#include "cli/RepairCommand.h"
#include "cli/RipFormat.h"
#include "cli/ServeCommand.h"

#include <cstdio>
#include <cstring>
#include <ctime>
#include <filesystem>
#include <map>
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
#include "output/CueSheetWriter.h"
#include "output/Naming.h"
#include "platform/OutputFile.h"
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
        err << NoDriveMessage() << "\n" << NoDriveDetail() << "\n";
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
    if (options.full && table.count > 0) {
        const DiscDetails details = ReadDiscDetails(device.hostAdapter, device.target, table);
        for (const std::string& note : details.notes) {
            err << note << "\n";
        }
        out << FullTocLines(details);
    }
    return kExitOk;
}

int CommandCue(const Options& options, std::ostream& out, std::ostream& err) {
    CdDevice device;
    TrackTable table;
    if (int status = OpenDisc(options, device, table, err)) {
        return status;
    }
    if (table.count == 0) {
        err << "The table of contents holds no track\n";
        return kExitFailed;
    }
    const DiscDetails details = ReadDiscDetails(device.hostAdapter, device.target, table);
    for (const std::string& note : details.notes) {
        err << note << "\n";
    }
    out << CueSheetText(table, details, options.prefix);
    if (options.counts) {
        err << SectorCountLines(details);
    }
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

// Whether the status log can be saved as FILE: its temporary file is created
// and removed again, before anything is read. False with `error` set.
bool LogFileCanBeCreated(const std::string& path, std::string& error) {
    platform::OutputFile file;
    if (!file.Create(path)) {
        error = file.Error();
        return false;
    }
    file.Discard();
    return true;
}

// The stored settings; a file that is there but cannot be used (not a
// regular file, too large, unreadable) is named on standard error, and the
// defaults stand in for it.
platform::Settings StoredSettings(std::ostream& err) {
    std::string problem;
    platform::Settings settings = platform::LoadSettings(platform::DefaultSettingsPath(), &problem);
    if (!problem.empty()) {
        err << "vindral-cli: the settings are not used, " << problem << "\n";
    }
    return settings;
}

// Whether something (a file, a folder, a link) stands at `path`.
bool PathTaken(const std::string& path) {
    std::error_code error;
    return std::filesystem::symlink_status(path, error).type() !=
           std::filesystem::file_type::not_found;
}

int CommandRip(const Options& options, std::ostream& out, std::ostream& err) {
    if (options.single && options.tracks != "all") {
        err << "vindral-cli: --single rips the disc's whole audio; --tracks takes only all "
               "with it\n";
        return kExitUsage;
    }
    if (options.single && !options.naming.empty()) {
        err << "vindral-cli: --single names its file after the album, else the prefix; "
               "--naming does not go with it\n";
        return kExitUsage;
    }
    std::shared_ptr<const output::CoverImage> cover;
    if (int status = CheckRipFormat(options, cover, err)) {
        return status;
    }
    if (std::string error; !options.logFile.empty() && !LogFileCanBeCreated(options.logFile, error)) {
        // The same lines and status as a log that could not be saved at the
        // end, but before the first read.
        err << "Error saving file\n" << error << "\n";
        return kExitFailed;
    }
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
    if (!folder.empty() && folder.back() != '/' && folder.back() != '\\') {
        folder += '/';
    }
    // What the disc says of itself, for the names and the sheet: read only
    // when they are asked for.
    DiscDetails details;
    FileNaming naming;
    naming.folder = folder;
    naming.prefix = options.prefix;
    naming.naming = options.naming;
    if (options.format == "flac") {
        naming.extension = ".flac"; // so that the sheet names the files as written
    }
    if (!options.naming.empty() || options.cue || options.single || options.format == "flac") {
        details = ReadDiscDetails(device.hostAdapter, device.target, table);
        for (const std::string& note : details.notes) {
            err << note << "\n";
        }
        naming.names = output::NamesFromCdText(details);
    }
    // Names looked up for the disc, where the files, tags or sheet take them.
    RipNames looked;
    if (RipUsesNames(options)) {
        looked.names = naming.names;
        LookUpRipNames(options, StoredSettings(err), table, details,
                       options.cover.empty(), looked, err);
        naming.names = looked.names;
        if (looked.cover && !cover && options.format == "flac") {
            cover = looked.cover;
        }
    }
    ExtractJob job;
    output::RipSheet sheet;
    const bool writeSheet = options.cue || options.single;
    if (options.single) {
        // One file and its sheet, named as --cue names its sheet (with room
        // for the longer extension).
        const std::string stem = output::SafeName(
            naming.names.album.empty() ? options.prefix : naming.names.album, 250);
        const std::string fileName = stem + naming.extension;
        std::string reason;
        if (!BuildOneFileJob(table, folder + fileName, device, options.verify || options.c2,
                             !options.c2, job, reason)) {
            err << "vindral-cli: --single: " << reason << "\n";
            return kExitFailed;
        }
        sheet.plan.cuePath = folder + stem + ".cue";
        sheet.cueText = output::OneFileCueSheet(table, SheetDetails(details, looked), fileName, false);
    } else {
        job = BuildJob(table, *rows, naming, device, options.verify || options.c2, !options.c2);
        if (options.cue) {
            std::map<int, std::string> paths;
            for (const JobEntry& entry : job.tracks) {
                paths[entry.track.number] = entry.path;
            }
            sheet = output::PlanRipSheet(table, SheetDetails(details, looked), naming.names,
                                         paths, options.prefix,
                                         output::LocalDateText());
        }
    }
    const std::string ripLogPath = folder + options.prefix + ".log";
    if (options.noClobber) {
        std::vector<std::string> targets;
        for (const JobEntry& entry : job.tracks) {
            targets.push_back(entry.path);
        }
        if (writeSheet && sheet.reason.empty()) {
            targets.push_back(sheet.plan.cuePath);
            if (!sheet.plan.playlistPath.empty()) {
                targets.push_back(sheet.plan.playlistPath);
            }
        }
        if (options.checks.accurate) {
            targets.push_back(ripLogPath);
        }
        if (!options.logFile.empty()) {
            targets.push_back(options.logFile);
        }
        for (const std::string& target : targets) {
            if (PathTaken(target)) {
                err << "vindral-cli: " << target
                    << " exists, and --no-clobber keeps it; nothing was read\n";
                return kExitFailed;
            }
        }
    }
    // The folder of --out and those of the names, as mkdir -p makes them.
    for (const JobEntry& entry : job.tracks) {
        const std::string trackFolder = platform::FolderOf(entry.path);
        std::string reason;
        if (!platform::FolderExists(trackFolder) && !platform::MakeFolders(trackFolder, reason)) {
            err << "vindral-cli: the folder " << trackFolder << " cannot be created: " << reason
                << "\n";
            return kExitFailed;
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

    job.readOffset = options.offset;
    job.secure = options.secure;
    job.secureSettings = options.secureSettings;
    // (Before the read method is chosen: the disc's facts are read with
    // the drive's data blocks.)
    PrepareRipFormat(options, std::move(cover), details, table, job, looked.tags);
    const std::string coverFolder =
        job.tracks.empty() ? folder : platform::FolderOf(job.tracks.front().path);
    // Read once, when an option needs them.
    std::optional<platform::Settings> storedSettings;
    auto stored = [&storedSettings, &err]() -> const platform::Settings& {
        if (!storedSettings) {
            storedSettings = StoredSettings(err);
        }
        return *storedSettings;
    };
    if (options.secure) {
        if (!options.agreeGiven) {
            job.secureSettings.agreeing = stored().secureAgreeing;
        }
        if (!options.maxReadsGiven) {
            job.secureSettings.maxReadings = stored().secureMaxReadings;
        }
        if (!options.cacheGiven) {
            // The setting is the most read; a drive that reports a smaller
            // buffer needs less.
            job.secureSettings.cacheSectors = CacheDefeatSectors(
                device.hostAdapter, device.target, stored().driveCacheSectors);
        }
    }
    job.readMethod = ProbeReadMethod(device.hostAdapter, device.target);
    auto restoreBlockMode = [&] {
        if (job.readMethod != kReadCd && job.readMethod != kReadCdda) {
            CdCommands::SelectBlockMode(device.hostAdapter, device.target, 1);
        }
    };
    const bool c2Pointers = (options.c2 || job.secure) && !job.tracks.empty() &&
                            ProbeC2Pointers(device.hostAdapter, device.target, job.readMethod,
                                            job.tracks.front().track.start);
    if (options.c2 && !c2Pointers) {
        err << "vindral-cli: --c2 needs the drive's C2 error pointers, and this drive gives none "
               "when read with "
            << ReadMethodName(job.readMethod)
            << "; use --verify, which compares a second reading byte for byte\n";
        restoreBlockMode();
        return kExitUsage;
    }
    job.c2Pointers = job.secure && c2Pointers;
    const uint64_t needed = NeededBytes(job);
    const FreeSpace space = FreeSpaceForJob(job);
    if (!space.error.empty() || needed > space.bytes) {
        std::string message =
            space.error.empty() ? NotEnoughSpaceMessage(needed - space.bytes) : space.error;
        if (const auto end = message.find("\r\n"); end != std::string::npos) {
            message.replace(end, 2, "\n");
        }
        err << message << "\n";
        restoreBlockMode();
        return kExitFailed;
    }

    // The databases are asked before the first read, so that each track's
    // result is known when its extraction pass ends.
    std::unique_ptr<RipChecks> checks;
    if (options.checks.accurate) {
        // The URLs of the options, else those of the settings, else the
        // public databases.
        RipCheckOptions checkOptions = options.checks;
        if (checkOptions.accurateRipUrl.empty()) {
            checkOptions.accurateRipUrl = stored().accurateRipUrl;
        }
        if (checkOptions.ctdbUrl.empty()) {
            checkOptions.ctdbUrl = stored().ctdbUrl;
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
        if (interrupted.load()) {
            // Ctrl+C while the databases were asked: nothing was read yet.
            if (job.readMethod != kReadCd && job.readMethod != kReadCdda) {
                CdCommands::SelectBlockMode(device.hostAdapter, device.target, 1);
            }
            return kExitInterrupted;
        }
    }
    RipLogContext logContext;
    logContext.drive = driveText;
    logContext.readOffset = options.offset;
    logContext.readMethod = ReadMethodName(job.readMethod);
    if (options.secure) {
        logContext.readMethod += job.c2Pointers ? ", C2 error pointers used (secure reading)"
                                                : ", no C2 error pointers (secure reading)";
    }
    logContext.speed = SpeedName(options.speed);
    logContext.names = looked.source;

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
    bool failed = protocol.Failed();
    if (failed && checks && options.checks.repair && protocol.Finished()) {
        // A track left suspicious counts as done when a database confirms
        // its file as it now is (mended from the CTDB, or read right).
        failed = false;
        for (int k = 0; k < protocol.Job().Count(); ++k) {
            const RunProtocol::TrackResult result = protocol.Result(k);
            const bool exact = result == RunProtocol::TrackResult::kExact ||
                               result == RunProtocol::TrackResult::kRepaired;
            failed = failed || !(exact || checks->Proven(k));
        }
    }
    if (failed || !protocol.Finished()) {
        if (writeSheet) {
            err << "No cue sheet was written: the rip did not complete\n";
        }
        return kExitFailed;
    }
    if (writeSheet && !sheet.reason.empty()) {
        err << "No cue sheet was written: " << sheet.reason << "\n";
    } else if (writeSheet && !output::WriteRipSheet(sheet, saveError)) {
        err << saveError << "\n";
        status = kExitFailed;
    }
    if (looked.cover && !output::SaveCoverBeside(*looked.cover, coverFolder, saveError)) {
        err << saveError << "\n";
        status = kExitFailed;
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

int Run(int argc, char** argv, std::ostream& out, std::ostream& err) {
    // serve reads its own options (its tests run it with a fake kernel).
    if (argc >= 2 && std::strcmp(argv[1], "serve") == 0) {
        return ServeCommand(argc, argv, out, err);
    }
    Options options;
    if (int status = ParseCommandLine(argc, argv, options, err)) {
        return status;
    }
    if (options.command == "help") {
        const CommandSpec* command = FindCommand(options.helpFor);
        out << (command != nullptr ? CommandHelpText(*command) : GeneralHelpText());
        return kExitOk;
    }
    if (options.command == "repair") {
        RipCheckOptions checks = options.checks;
        if (checks.accurateRipUrl.empty() || checks.ctdbUrl.empty()) {
            const platform::Settings settings = StoredSettings(err);
            if (checks.accurateRipUrl.empty()) {
                checks.accurateRipUrl = settings.accurateRipUrl;
            }
            if (checks.ctdbUrl.empty()) {
                checks.ctdbUrl = settings.ctdbUrl;
            }
        }
        return RepairCommand(options.operands.front(), checks, out, err);
    }
    if (options.command == "log") {
        return VerifyLogCommand(options.operands.front(), out, err);
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
    if (options.command == "cue") {
        return CommandCue(options, out, err);
    }
    if (options.command == "ids") {
        CdDevice device;
        TrackTable table;
        if (int status = OpenDisc(options, device, table, err)) {
            return status;
        }
        return PrintDiscIds(table, out, err);
    }
    if (options.command == "meta") {
        CdDevice device;
        TrackTable table;
        if (int status = OpenDisc(options, device, table, err)) {
            return status;
        }
        const DiscDetails details = ReadDiscDetails(device.hostAdapter, device.target, table);
        for (const std::string& note : details.notes) {
            err << note << "\n";
        }
        return MetaCommand(options, StoredSettings(err), table, details, out, err);
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
            url = StoredSettings(err).accurateRipUrl;
        }
        return FindOffsetInDatabase(device, table, url, out, err);
    }
    return CommandRip(options, out, err);
}

} // namespace vindral::cli

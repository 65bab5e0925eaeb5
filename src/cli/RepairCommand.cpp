#include "cli/RepairCommand.h"

#include <ostream>

#include "cli/Cli.h"

#if defined(VINDRAL_HAVE_ACCURACY)
#include <algorithm>
#include <filesystem>
#include <map>
#include <sstream>
#include <thread>

#include "accuracy/CtdbRepair.h"
#include "accuracy/RipAccuracy.h"
#include "accuracy/RipLog.h"
#include "drive/emulated/CueSheet.h"
#include "net/HttpClient.h"
#include "platform/FileSysCalls.h"
#endif

namespace vindral::cli {

#if defined(VINDRAL_HAVE_ACCURACY)

namespace {

namespace fs = std::filesystem;

bool EndsWith(const std::string& text, const char* end) {
    const std::string tail(end);
    if (text.size() < tail.size()) {
        return false;
    }
    std::string last = text.substr(text.size() - tail.size());
    std::transform(last.begin(), last.end(), last.begin(),
                   [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
    return last == tail;
}

// The words of a cue sheet line: quoted ones whole.
std::vector<std::string> Words(const std::string& line) {
    std::vector<std::string> words;
    std::size_t at = 0;
    while (at < line.size()) {
        at = line.find_first_not_of(" \t\r", at);
        if (at == std::string::npos) {
            break;
        }
        if (line[at] == '"') {
            const std::size_t end = line.find('"', at + 1);
            words.push_back(line.substr(at + 1, end == std::string::npos ? std::string::npos
                                                                         : end - at - 1));
            at = end == std::string::npos ? line.size() : end + 1;
        } else {
            const std::size_t end = line.find_first_of(" \t\r", at);
            words.push_back(line.substr(at, end == std::string::npos ? std::string::npos : end - at));
            at = end == std::string::npos ? line.size() : end;
        }
    }
    return words;
}

// "mm:ss:ff" in sectors; -1 when it is none.
int32_t CueTime(const std::string& text) {
    int m = 0;
    int s = 0;
    int f = 0;
    char c1 = 0;
    char c2 = 0;
    std::istringstream in(text);
    if (!(in >> m >> c1 >> s >> c2 >> f) || c1 != ':' || c2 != ':') {
        return -1;
    }
    return (m * 60 + s) * 75 + f;
}

// The rip a cue sheet describes: the disc as the sheet builds it (the
// emulated drive's reading, which checks every file), and each audio
// track's file and the place of its INDEX 01 in it.
bool RipFromCueSheet(const std::string& cuePath, accuracy::RipFiles& rip, std::string& error) {
    const auto disc = emulated::LoadCueSheet(cuePath, error);
    if (!disc) {
        return false;
    }
    const platform::WholeFile text = platform::ReadWholeFile(cuePath, 1 << 20);
    if (!text.ok) {
        error = text.error;
        return false;
    }
    const std::string folder = fs::path(cuePath).parent_path().string();
    std::map<int, std::pair<std::string, int32_t>> index01; // track → file, sectors in it
    std::string file;
    int track = 0;
    std::istringstream lines(text.text);
    for (std::string line; std::getline(lines, line);) {
        const std::vector<std::string> words = Words(line);
        if (words.size() >= 2 && words[0] == "FILE") {
            file = (folder.empty() ? fs::path(words[1]) : fs::path(folder) / words[1]).string();
        } else if (words.size() >= 2 && words[0] == "TRACK") {
            track = std::atoi(words[1].c_str());
        } else if (words.size() >= 3 && words[0] == "INDEX" && std::atoi(words[1].c_str()) == 1) {
            index01[track] = {file, CueTime(words[2])};
        }
    }
    for (const emulated::DiscTrack& t : disc->Tracks()) {
        rip.toc.tracks.push_back(accuracy::DiscTrack{t.number, t.start, t.data});
    }
    rip.toc.firstTrack = rip.toc.tracks.empty() ? 1 : rip.toc.tracks.front().number;
    rip.toc.lastTrack = rip.toc.tracks.empty() ? 0 : rip.toc.tracks.back().number;
    rip.toc.leadOut = disc->LeadOut();
    if (disc->LastSession() > 1 && disc->FirstTrackOfLastSession() != nullptr) {
        rip.toc.lastSessionFirstTrack = disc->FirstTrackOfLastSession()->number;
    }
    const SectorAddress audioEnd = accuracy::AudioEnd(rip.toc);
    for (const emulated::DiscTrack& t : disc->Tracks()) {
        if (t.data || t.start >= audioEnd) {
            continue;
        }
        const auto found = index01.find(t.number);
        if (found == index01.end() || found->second.second < 0) {
            error = cuePath + ": track " + std::to_string(t.number) + " has no INDEX 01";
            return false;
        }
        const int32_t length = std::min<int32_t>(t.length, audioEnd - t.start);
        rip.tracks.push_back(accuracy::RipTrackFile{
            t.number, found->second.first,
            static_cast<uint64_t>(found->second.second) * accuracy::kSamplesPerSector,
            static_cast<uint64_t>(length) * accuracy::kSamplesPerSector});
    }
    return true;
}

// The rip a rip log records: its TOC line and each track's file (looked for
// in the log's folder when it is not where the log says).
bool RipFromLog(const std::string& logPath, accuracy::RipFiles& rip, std::string& error) {
    const platform::WholeFile text = platform::ReadWholeFile(logPath, accuracy::kMaxRipLogBytes);
    if (!text.ok) {
        error = text.error;
        return false;
    }
    const std::string folder = fs::path(logPath).parent_path().string();
    std::string toc;
    std::map<int, std::string> files;
    int track = -1;
    std::istringstream lines(text.text);
    for (std::string line; std::getline(lines, line);) {
        if (line.rfind("TOC: ", 0) == 0) {
            toc = line.substr(5);
        } else if (line.rfind("Track ", 0) == 0) {
            track = std::atoi(line.c_str() + 6);
        } else if (line.rfind("  File: ", 0) == 0 && track >= 0) {
            std::string path = line.substr(8);
            std::error_code code;
            if (!fs::exists(path, code)) {
                path = (fs::path(folder) / fs::path(path).filename()).string();
            }
            files[track] = path;
        }
    }
    if (toc.empty()) {
        error = logPath + ": the rip log has no TOC line (written by an older version)";
        return false;
    }
    // "0:500:-960:1480": the starts, then the lead-out.
    std::vector<std::string> fields;
    std::stringstream parts(toc);
    for (std::string field; std::getline(parts, field, ':');) {
        fields.push_back(field);
    }
    if (fields.size() < 2) {
        error = logPath + ": an unreadable TOC line";
        return false;
    }
    for (std::size_t k = 0; k + 1 < fields.size(); ++k) {
        const bool data = !fields[k].empty() && fields[k][0] == '-';
        rip.toc.tracks.push_back(accuracy::DiscTrack{static_cast<int>(k) + 1,
                                                     std::atoi(fields[k].c_str() + (data ? 1 : 0)),
                                                     data});
    }
    rip.toc.lastTrack = static_cast<int>(rip.toc.tracks.size());
    rip.toc.leadOut = std::atoi(fields.back().c_str());
    const SectorAddress audioEnd = accuracy::AudioEnd(rip.toc);
    std::vector<const accuracy::DiscTrack*> audio;
    for (const accuracy::DiscTrack& t : rip.toc.tracks) {
        if (!t.data && t.start < audioEnd) {
            audio.push_back(&t);
        }
    }
    // One file for every track: the disc's audio from its first sector.
    bool oneFile = files.size() > 1;
    for (const auto& [number, path] : files) {
        oneFile = oneFile && path == files.begin()->second;
    }
    for (std::size_t k = 0; k < audio.size(); ++k) {
        const auto found = files.find(audio[k]->number);
        if (found == files.end()) {
            error = logPath + ": track " + std::to_string(audio[k]->number) +
                    " was not ripped; the repair needs every audio track of the disc";
            return false;
        }
        const SectorAddress end = k + 1 < audio.size() ? audio[k + 1]->start : audioEnd;
        rip.tracks.push_back(accuracy::RipTrackFile{
            audio[k]->number, found->second,
            oneFile ? static_cast<uint64_t>(audio[k]->start) * accuracy::kSamplesPerSector : 0,
            static_cast<uint64_t>(end - audio[k]->start) * accuracy::kSamplesPerSector});
    }
    return true;
}

// The cue sheet or rip log of DIR: its one cue sheet, else its one rip log.
bool FindRipIn(const std::string& folder, std::string& cue, std::string& log, std::string& error) {
    std::vector<std::string> cues;
    std::vector<std::string> logs;
    std::error_code code;
    for (const auto& item : fs::directory_iterator(folder, code)) {
        const std::string path = item.path().string();
        if (!item.is_regular_file(code)) {
            continue;
        }
        if (EndsWith(path, ".cue")) {
            cues.push_back(path);
        } else if (EndsWith(path, ".log")) {
            const platform::WholeFile text = platform::ReadWholeFile(path, accuracy::kMaxRipLogBytes);
            if (text.ok && text.text.rfind("Vindral rip log", 0) == 0) {
                logs.push_back(path);
            }
        }
    }
    if (code) {
        error = folder + ": " + code.message();
        return false;
    }
    if (cues.size() == 1) {
        cue = cues.front();
        return true;
    }
    if (cues.empty() && logs.size() == 1) {
        log = logs.front();
        return true;
    }
    error = folder + (cues.size() > 1   ? ": holds several cue sheets; name the one to repair"
                      : logs.size() > 1 ? ": holds several rip logs and no cue sheet; name a cue sheet"
                                        : ": holds no cue sheet and no rip log of Vindral");
    return false;
}

} // namespace

int RepairCommand(const std::string& where, const RipCheckOptions& checks, std::ostream& out,
                  std::ostream& err) {
    std::string cue;
    std::string log;
    std::string error;
    std::error_code code;
    if (fs::is_directory(where, code)) {
        if (!FindRipIn(where, cue, log, error)) {
            err << "vindral-cli: " << error << "\n";
            return kExitFailed;
        }
    } else if (EndsWith(where, ".log")) {
        log = where;
    } else {
        cue = where;
    }
    accuracy::RipFiles rip;
    if (!(cue.empty() ? RipFromLog(log, rip, error) : RipFromCueSheet(cue, rip, error))) {
        err << "vindral-cli: " << error << "\n";
        return kExitFailed;
    }
    if (rip.tracks.empty()) {
        err << "vindral-cli: the rip holds no audio track\n";
        return kExitFailed;
    }
    out << "Repairing " << (cue.empty() ? log : cue) << ": " << rip.tracks.size()
        << " track(s), CTDB TOC ID " << accuracy::CtdbTocId(rip.toc) << std::endl;

    const net::AnswerCache cache(net::DefaultCacheFolder());
    const std::string arUrl =
        checks.accurateRipUrl.empty() ? accuracy::kDefaultAccurateRipUrl : checks.accurateRipUrl;
    const std::string ctdbUrl = checks.ctdbUrl.empty() ? accuracy::kDefaultCtdbUrl : checks.ctdbUrl;
    accuracy::AccurateRipLookup accurateRip;
    std::thread arThread([&] {
        accurateRip = accuracy::LookUpAccurateRip(rip.toc, arUrl, cache, &interrupted);
    });
    const accuracy::CtdbLookup ctdb = accuracy::LookUpCtdb(rip.toc, ctdbUrl, cache, &interrupted);
    arThread.join();
    if (interrupted.load()) {
        return kExitInterrupted;
    }
    if (ctdb.state != accuracy::LookupState::Found) {
        const std::string state = accuracy::LookupStateLine("CTDB", ctdb.state, ctdb.reason);
        out << (state.empty() ? "CTDB: not in database" : state) << "\n";
        return kExitFailed;
    }
    accuracy::CtdbRepairOptions options;
    options.ctdbUrl = ctdbUrl;
    options.cacheFolder = cache.Folder();
    options.cancel = &interrupted;
    const accuracy::CtdbRepairResult result =
        accuracy::RepairFromCtdb(rip, ctdb.entries, &accurateRip, options);
    for (const std::string& line : result.lines) {
        out << line << "\n";
    }
    out.flush();
    switch (result.outcome) {
    case accuracy::CtdbRepairResult::Outcome::Exact:
    case accuracy::CtdbRepairResult::Outcome::Repaired:
        return kExitOk;
    case accuracy::CtdbRepairResult::Outcome::Cancelled:
        return kExitInterrupted;
    default:
        return kExitFailed;
    }
}

#else

int RepairCommand(const std::string&, const RipCheckOptions&, std::ostream&, std::ostream& err) {
    err << "vindral-cli: the repair from the CTDB is not part of this build\n";
    return kExitUsage;
}

#endif

} // namespace vindral::cli

#include "extract/JobBuilder.h"

#include <algorithm>
#include <cinttypes>
#include <cstdio>
#include <cstring>
#include <functional>

#include "drive/CdCommands.h"
#include "drive/Transport.h"
#include "platform/OutputFile.h"
#include "platform/Platform.h"

namespace vindral {

std::string TrackFileName(const std::string& folder, const std::string& prefix, int trackNumber) {
    char digits[16];
    std::snprintf(digits, sizeof digits, "%02d", trackNumber);
    return folder + prefix + digits + ".wav";
}

namespace {

// The run of audio rows without a gap that row `row` belongs to, as the
// sectors a drive reads audio from: from address 0 when the run starts
// the disc, to the end of its last track.
void ReadableSectors(const TrackTable& table, int row, JobEntry& entry) {
    auto at = [&](int k) -> const TrackEntry& { return table.entries[static_cast<std::size_t>(k)]; };
    auto joined = [&](int k) { // rows k and k + 1 are audio without a gap
        return at(k).dataTrack == 0 && at(k + 1).dataTrack == 0 &&
               at(k).start + at(k).length == at(k + 1).start;
    };
    int first = row;
    while (first > 0 && joined(first - 1)) {
        --first;
    }
    int last = row;
    while (last + 1 < table.count && joined(last)) {
        ++last;
    }
    entry.readableStart = first == 0 ? 0 : at(first).start;
    entry.readableEnd = at(last).start + at(last).length;
}

} // namespace

ExtractJob BuildJob(const TrackTable& table, std::vector<int> selectedRows,
                    const std::string& folder, const std::string& prefix, CdDevice drive,
                    bool verify, bool readTwice) {
    FileNaming naming;
    naming.folder = folder;
    naming.prefix = prefix;
    return BuildJob(table, std::move(selectedRows), naming, drive, verify, readTwice);
}

ExtractJob BuildJob(const TrackTable& table, std::vector<int> selectedRows,
                    const FileNaming& naming, CdDevice drive, bool verify, bool readTwice) {
    std::sort(selectedRows.begin(), selectedRows.end());
    selectedRows.erase(std::unique(selectedRows.begin(), selectedRows.end()), selectedRows.end());
    ExtractJob job;
    for (int row : selectedRows) {
        TrackEntry entry;
        if (row == kHiddenTrackRow) {
            if (!HiddenTrackEntry(table, entry)) {
                continue;
            }
        } else if (row < 0 || row >= table.count) {
            continue;
        } else {
            entry = table.entries[static_cast<std::size_t>(row)];
        }
        if (job.Count() >= kMaxJobTracks) {
            continue;
        }
        JobEntry jobEntry{std::string(), entry};
        ReadableSectors(table, row == kHiddenTrackRow ? 0 : row, jobEntry);
        job.tracks.push_back(std::move(jobEntry));
        job.totalSectors += entry.length;
    }
    if (naming.naming.empty()) {
        for (JobEntry& entry : job.tracks) {
            char digits[16];
            std::snprintf(digits, sizeof digits, "%02d", entry.track.number);
            entry.path = naming.folder + naming.prefix + digits + naming.extension;
        }
    } else {
        std::vector<int> numbers;
        for (const JobEntry& entry : job.tracks) {
            numbers.push_back(entry.track.number);
        }
        const std::vector<std::string> paths =
            output::TrackPaths(naming.naming, naming.names, naming.prefix, numbers,
                               naming.extension);
        for (std::size_t i = 0; i < job.tracks.size(); ++i) {
            job.tracks[i].path = naming.folder + paths[i];
        }
    }
    job.hostAdapter = drive.hostAdapter;
    job.target = drive.target;
    job.verify = verify;
    job.readTwice = readTwice;
    return job;
}

bool BuildOneFileJob(const TrackTable& table, const std::string& path, CdDevice drive,
                     bool verify, bool readTwice, ExtractJob& job, std::string& reason) {
    std::vector<int> rows;
    SectorAddress end = 0; // where the audio so far ends
    for (int k = 0; k < table.count; ++k) {
        const TrackEntry& entry = table.entries[static_cast<std::size_t>(k)];
        if (entry.dataTrack != 0) {
            continue;
        }
        if (k != static_cast<int>(rows.size()) || (k > 0 && entry.start != end)) {
            char text[96];
            std::snprintf(text, sizeof text,
                          "a data track lies before audio track %02d: the audio is not one "
                          "run from the disc's start",
                          entry.number);
            reason = text;
            return false;
        }
        rows.push_back(k);
        end = entry.start + entry.length;
    }
    if (rows.empty()) {
        reason = "the disc has no audio track";
        return false;
    }
    if (TrackEntry hidden; HiddenTrackEntry(table, hidden)) {
        rows.insert(rows.begin(), kHiddenTrackRow);
    }
    FileNaming naming;
    job = BuildJob(table, rows, naming, drive, verify, readTwice);
    for (JobEntry& entry : job.tracks) {
        entry.path = path;
        entry.fileStart = entry.track.start; // the file starts at address 0
    }
    job.oneFile = true;
    return true;
}

namespace {

// True when one probe read delivered a whole sector. Besides the status (a
// transfer that the transport knows to be short already fails), the buffer
// is filled with a marker first: a read that leaves the sector's tail as it
// was did not deliver all of it, even where the backend cannot tell. A tail
// that happens to hold the marker is told apart by a second read with
// another marker.
bool ReadsWholeSectors(const std::function<int32_t(uint8_t*)>& read) {
    uint8_t sector[kSectorBytes];
    bool untouched = true;
    for (uint8_t marker : {uint8_t{0xA5}, uint8_t{0x5A}}) {
        std::memset(sector, marker, sizeof sector);
        if (read(sector) != kStatusOk) {
            return false;
        }
        untouched = true;
        for (int i = 2048; i < kSectorBytes && untouched; ++i) {
            untouched = sector[i] == marker;
        }
        if (!untouched) {
            return true;
        }
    }
    return false;
}

} // namespace

int32_t ProbeReadMethod(uint8_t hostAdapter, uint8_t target) {
    if (ReadsWholeSectors([&](uint8_t* sector) {
            return CdCommands::ReadCd(hostAdapter, target, 0, 1, sector);
        })) {
        return kReadCd;
    }
    if (ReadsWholeSectors([&](uint8_t* sector) {
            return CdCommands::ReadCdda(hostAdapter, target, 0, 1, sector);
        })) {
        return kReadCdda;
    }
    CdCommands::SelectBlockMode(hostAdapter, target, 0);
    if (ReadsWholeSectors([&](uint8_t* sector) {
            return CdCommands::Read10(hostAdapter, target, 0, 1, sector);
        })) {
        return kRead10;
    }
    CdCommands::SelectBlockMode(hostAdapter, target, 1);
    return kReadCd;
}

bool ProbeC2Pointers(uint8_t hostAdapter, uint8_t target, int32_t readMethod,
                     SectorAddress address) {
    if (readMethod != kReadCd) {
        return false; // READ CDDA and READ(10) carry no error bits
    }
    std::vector<uint8_t> sector(CdCommands::kSectorWithC2Bytes);
    if (CdCommands::ReadCdWithC2(hostAdapter, target, address, 1, sector.data()) == kStatusOk) {
        return true;
    }
    // A drive without C2 pointers refuses the request; a read error on a
    // damaged sector does not tell.
    return ((LastSenseCode() >> 16) & 0x0F) != 0x05;
}

int32_t CacheDefeatSectors(uint8_t hostAdapter, uint8_t target, int32_t configured) {
    int32_t bufferKB = 0;
    if (configured <= 0 || CdCommands::SenseBufferKB(hostAdapter, target, &bufferKB) != kStatusOk ||
        bufferKB <= 0) {
        return configured;
    }
    const int64_t sectors = (int64_t{bufferKB} * 1024 + kSectorBytes - 1) / kSectorBytes;
    return static_cast<int32_t>(std::min<int64_t>(configured, sectors + sectors / 4 + 32));
}

std::string ReadMethodName(int32_t method) {
    switch (method) {
    case kReadCd:
        return "READ CD";
    case kReadCdda:
        return "READ CDDA";
    default:
        return "READ(10) with 2352-byte blocks";
    }
}

uint64_t NeededBytes(const ExtractJob& job) {
    return job.totalSectors > 0 ? static_cast<uint64_t>(job.totalSectors) * kSectorBytes : 0;
}

std::string NotEnoughSpaceMessage(uint64_t shortfall) {
    char text[96];
    std::snprintf(text, sizeof text, "Not enough diskspace\r\n%" PRIu64 " more bytes needed",
                  shortfall);
    return text;
}

FreeSpace FreeSpaceForJob(const ExtractJob& job) {
    FreeSpace space;
    if (job.tracks.empty()) {
        return space;
    }
    const std::string folder = platform::FolderOf(job.tracks.front().path);
    std::string reason;
    if (!platform::QueryFreeBytes(folder, space.bytes, reason)) {
        space.error = "The free space of " + folder + " cannot be found: " + reason;
    }
    return space;
}

std::string RemoveLeftoverTemporaries(const ExtractJob& job) {
    int removed = 0;
    std::vector<std::string> folders;
    for (const JobEntry& entry : job.tracks) {
        const auto slash = entry.path.find_last_of("/\\");
        const std::string base = slash == std::string::npos ? "" : entry.path.substr(0, slash + 1);
        const std::string name = entry.path.substr(base.size());
        const std::string folder = base.empty() ? "./" : base;
        for (const std::string& leftover : platform::LeftoverTemporaryNames(base, name)) {
            // A rip into the same folder may be writing it this moment.
            if (!platform::TemporaryFileInUse(base + leftover) &&
                std::remove((base + leftover).c_str()) == 0) {
                ++removed;
                if (std::find(folders.begin(), folders.end(), folder) == folders.end()) {
                    folders.push_back(folder);
                }
            }
        }
    }
    if (removed == 0) {
        return {};
    }
    std::string where;
    for (const std::string& folder : folders) {
        where += (where.empty() ? "" : ", ") + folder;
    }
    return "Removed " + std::to_string(removed) + " temporary file(s) an interrupted rip left in " +
           where;
}

} // namespace vindral

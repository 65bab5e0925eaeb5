#include "extract/JobBuilder.h"

#include <algorithm>
#include <cinttypes>
#include <cstdio>

#include "drive/CdCommands.h"
#include "drive/Transport.h"
#include "platform/Platform.h"

namespace vindral {

std::string TrackFileName(const std::string& folder, const std::string& prefix, int trackNumber) {
    char digits[16];
    std::snprintf(digits, sizeof digits, "%02d", trackNumber);
    return folder + prefix + digits + ".wav";
}

ExtractJob BuildJob(const TrackTable& table, std::vector<int> selectedRows,
                    const std::string& folder, const std::string& prefix, CdDevice drive,
                    bool verify, bool readTwice) {
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
        job.tracks.push_back({TrackFileName(folder, prefix, entry.number), entry});
        job.totalSectors += entry.length;
    }
    job.hostAdapter = drive.hostAdapter;
    job.target = drive.target;
    job.verify = verify;
    job.readTwice = readTwice;
    return job;
}

int32_t ProbeReadMethod(uint8_t hostAdapter, uint8_t target) {
    uint8_t sector[kSectorBytes];
    if (CdCommands::ReadCd(hostAdapter, target, 0, 1, sector) == kStatusOk) {
        return kReadCd;
    }
    if (CdCommands::ReadCdda(hostAdapter, target, 0, 1, sector) == kStatusOk) {
        return kReadCdda;
    }
    CdCommands::SelectBlockMode(hostAdapter, target, 0);
    if (CdCommands::Read10(hostAdapter, target, 0, 1, sector) == kStatusOk) {
        return kRead10;
    }
    CdCommands::SelectBlockMode(hostAdapter, target, 1);
    return kReadCd;
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

uint64_t FreeBytesForJob(const ExtractJob& job) {
    if (job.tracks.empty()) {
        return 0;
    }
    return platform::FreeBytes(platform::FolderOf(job.tracks.front().path));
}

} // namespace vindral

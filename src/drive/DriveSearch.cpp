#include "drive/DriveSearch.h"

#include <cstdio>
#include <cstring>

#include "drive/CdCommands.h"

namespace vindral {

std::string DriveModel(const char* vendor, const char* product) {
    char v[9] = {};
    char p[17] = {};
    std::strncpy(v, vendor, 8);
    std::strncpy(p, product, 16);
    CdCommands::TrimTrailingBlanks(v);
    CdCommands::TrimTrailingBlanks(p);
    return std::string(v) + " " + p;
}

std::string FormatDriveLine(uint8_t hostAdapter, uint8_t target, const char* vendor,
                            const char* product) {
    char v[9] = {};
    char p[17] = {};
    std::strncpy(v, vendor, 8);
    std::strncpy(p, product, 16);
    CdCommands::TrimTrailingBlanks(v);
    CdCommands::TrimTrailingBlanks(p);
    char line[64];
    std::snprintf(line, sizeof line, " [%d:%d]  %s %s", hostAdapter, target, v, p);
    return line;
}

std::vector<DriveLine> FindDrives() {
    std::vector<DriveLine> drives;
    for (int adapter = 0; adapter < 8; ++adapter) {
        for (int target = 0; target < 16; ++target) {
            char vendor[9] = {};
            char product[17] = {};
            char revision[5] = {};
            const auto ha = static_cast<uint8_t>(adapter);
            const auto tg = static_cast<uint8_t>(target);
            if (CdCommands::Inquiry(ha, tg, vendor, product, revision) != 1) {
                continue;
            }
            drives.push_back({CdDevice{ha, tg}, FormatDriveLine(ha, tg, vendor, product),
                              DriveModel(vendor, product)});
        }
    }
    return drives;
}

namespace {

int32_t Be32(const uint8_t* at) {
    return static_cast<int32_t>((static_cast<uint32_t>(at[0]) << 24) |
                                (static_cast<uint32_t>(at[1]) << 16) |
                                (static_cast<uint32_t>(at[2]) << 8) | at[3]);
}

} // namespace

int ParseTocAnswer(const uint8_t* answer, std::size_t bufferSize, TrackTable& table) {
    table.count = 0;
    if (answer == nullptr || bufferSize < 4) {
        return 0;
    }
    // The data length counts the bytes after the length field itself.
    std::size_t valid = 2 + ((static_cast<std::size_t>(answer[0]) << 8) | answer[1]);
    if (valid > bufferSize) {
        valid = bufferSize;
    }
    const int first = answer[2];
    const int last = answer[3];
    if (last < first) {
        return 0;
    }
    int n = last - first + 1;
    if (n > kMaxTracks) {
        n = kMaxTracks;
    }
    // Descriptor k + 1 must be present for row k (its start ends the track).
    const std::size_t descriptors = valid >= 4 ? (valid - 4) / 8 : 0;
    if (descriptors < 2) {
        return 0;
    }
    if (static_cast<std::size_t>(n) > descriptors - 1) {
        n = static_cast<int>(descriptors - 1);
    }
    int rows = 0;
    for (int k = 0; k < n; ++k) {
        const uint8_t* d = answer + 4 + 8 * k;
        const uint8_t* next = d + 8;
        TrackEntry entry;
        entry.dataTrack = (d[1] & 0x04) ? 1 : 0;
        entry.number = d[2];
        entry.start = Be32(d + 4);
        const int64_t length = static_cast<int64_t>(Be32(next + 4)) - entry.start;
        if (entry.start < 0 || length < 0 || length > INT32_MAX) {
            // A descriptor out of order ends the usable table here.
            break;
        }
        entry.length = static_cast<int32_t>(length);
        table.entries[static_cast<std::size_t>(rows++)] = entry;
    }
    table.count = rows;
    return rows;
}

bool ApplySessionInfo(const uint8_t* answer, std::size_t bufferSize, TrackTable& table) {
    if (answer == nullptr || bufferSize < CdCommands::kSessionInfoLength) {
        return false;
    }
    // Trusted as far as its own data length: the header and one descriptor.
    const std::size_t valid = 2 + ((static_cast<std::size_t>(answer[0]) << 8) | answer[1]);
    if (valid < CdCommands::kSessionInfoLength) {
        return false;
    }
    const int firstSession = answer[2];
    const int lastSession = answer[3];
    const int firstTrackOfLast = answer[6];
    const SectorAddress lastStart = Be32(answer + 8);
    if (lastSession <= firstSession) {
        return false;
    }
    for (int k = 0; k + 1 < table.count; ++k) {
        TrackEntry& entry = table.entries[static_cast<std::size_t>(k)];
        const TrackEntry& next = table.entries[static_cast<std::size_t>(k + 1)];
        if (next.number != firstTrackOfLast || next.start != lastStart || entry.dataTrack != 0) {
            continue;
        }
        const int64_t length = int64_t{next.start} - kSessionGap - entry.start;
        if (length <= 0) {
            return false;
        }
        entry.length = static_cast<int32_t>(length);
        return true;
    }
    return false;
}

int32_t ReadTrackTable(uint8_t hostAdapter, uint8_t target, TrackTable& table) {
    uint8_t answer[kTocAllocationLength] = {};
    const int32_t status = CdCommands::ReadToc(hostAdapter, target, kTocAllocationLength, answer);
    table.count = 0;
    if (status == 1) {
        ParseTocAnswer(answer, sizeof answer, table);
        uint8_t sessions[CdCommands::kSessionInfoLength] = {};
        if (table.count > 1 &&
            CdCommands::ReadSessionInfo(hostAdapter, target, sessions) == 1) {
            ApplySessionInfo(sessions, sizeof sessions, table);
        }
    }
    return status;
}

bool HiddenTrackEntry(const TrackTable& table, TrackEntry& entry) {
    if (table.count < 1 || table.entries[0].dataTrack != 0 || table.entries[0].start <= 0) {
        return false;
    }
    entry = TrackEntry{0, 0, 0, table.entries[0].start};
    return true;
}

std::string TrackRowName(const TrackEntry& entry) {
    char text[32];
    std::snprintf(text, sizeof text, "  Track %02d", entry.number);
    return text;
}

std::string TrackSpaceText(int32_t sectors) {
    char text[32];
    std::snprintf(text, sizeof text, "%4.1f MB", static_cast<double>(sectors) * 2352.0 / 1048576.0);
    return text;
}

} // namespace vindral

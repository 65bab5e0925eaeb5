#include "accuracy/DriveOffset.h"

#include <cstdio>

#include "accuracy/RipAccuracy.h"
#include "drive/CdCommands.h"
#include "drive/DriveSearch.h"
#include "extract/JobBuilder.h"
#include "net/HttpClient.h"

namespace vindral::accuracy {

namespace {

// Reads with the method the drive offers, as a rip would, and puts the drive
// back into its 2048-byte block mode when READ(10) needed the audio one.
template <class Search>
OffsetSearch ReadForSearch(CdDevice device, Search&& search) {
    const int32_t method = ProbeReadMethod(device.hostAdapter, device.target);
    OffsetSearch result = search([&](SectorAddress address, int32_t count, uint8_t* into) {
        return CdCommands::ReadAudio(device.hostAdapter, device.target, address, count, into,
                                     method);
    });
    if (method != kReadCd && method != kReadCdda) {
        CdCommands::SelectBlockMode(device.hostAdapter, device.target, 1);
    }
    return result;
}

} // namespace

OffsetSearch SearchDriveOffset(CdDevice device, const TrackTable& table, const uint8_t* dbar,
                               std::size_t size) {
    return ReadForSearch(device, [&](const SectorReader& read) {
        return FindDriveOffset(table, dbar, size, read);
    });
}

DriveOffsetLookup FindDriveOffsetInDatabase(CdDevice device, const TrackTable& table,
                                            const std::string& baseUrl,
                                            const net::AnswerCache& cache) {
    DriveOffsetLookup result;
    result.lookup = LookUpAccurateRip(DiscTocFromTable(table), baseUrl, cache);
    if (result.lookup.state == LookupState::Found) {
        result.search = ReadForSearch(device, [&](const SectorReader& read) {
            return FindDriveOffset(table, result.lookup.responses, read);
        });
    }
    return result;
}

std::vector<std::string> OffsetSearchLines(const OffsetSearch& search) {
    std::vector<std::string> lines;
    if (!search.error.empty()) {
        return lines;
    }
    char line[96];
    if (search.candidates.empty()) {
        std::snprintf(line, sizeof line, "No read offset matches (%d of %d tracks compared)",
                      search.tracksCompared, search.audioTracks);
        lines.emplace_back(line);
        return lines;
    }
    for (const ReadOffsetCandidate& candidate : search.candidates) {
        std::snprintf(line, sizeof line, "Read offset %+d: %d of %d tracks agree",
                      candidate.offset, candidate.tracks, search.tracksCompared);
        lines.emplace_back(line);
    }
    return lines;
}

std::string OffsetLookupLine(const AccurateRipLookup& lookup) {
    if (lookup.state == LookupState::NotInDatabase) {
        return "AccurateRip: not in database";
    }
    return LookupStateLine("AccurateRip", lookup.state, lookup.reason);
}

} // namespace vindral::accuracy

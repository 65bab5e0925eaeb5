#include "accuracy/OffsetFinder.h"

#include <cstdio>

#include "accuracy/Checksums.h"
#include "accuracy/DiscIds.h"
#include "drive/DriveSearch.h"

namespace vindral::accuracy {

OffsetSearch FindDriveOffset(const TrackTable& table, const uint8_t* dbar, std::size_t size,
                             const SectorReader& read) {
    const AccurateRipId id = AccurateRipIdOf(DiscTocFromTable(table));
    std::string error;
    const auto responses = ParseAccurateRipAnswer(dbar, size, &id, error);
    if (!responses) {
        OffsetSearch search;
        search.error = "the AccurateRip answer cannot be used: " + error;
        return search;
    }
    return FindDriveOffset(table, *responses, read);
}

OffsetSearch FindDriveOffset(const TrackTable& table,
                             const std::vector<AccurateRipResponse>& responses,
                             const SectorReader& read) {
    OffsetSearch search;
    constexpr auto kFirst = static_cast<int32_t>(kOffsetWindowFirstSector);
    constexpr auto kSectors = static_cast<int32_t>(kOffsetWindowSectors);
    std::vector<uint8_t> window(static_cast<std::size_t>(kSectors) * 2352);
    std::vector<std::vector<uint32_t>> sums;
    for (int k = 0; k < table.count; ++k) {
        const TrackEntry& track = table.entries[static_cast<std::size_t>(k)];
        if (track.dataTrack != 0) {
            continue;
        }
        ++search.audioTracks;
        sums.emplace_back();
        if (track.length < kFirst + kSectors) {
            continue;
        }
        const int32_t status = read(track.start + kFirst, kSectors, window.data());
        if (status != 1) {
            char text[96];
            std::snprintf(text, sizeof text, "track %02d could not be read", track.number);
            search.error = text;
            return search;
        }
        sums.back() = OffsetFindingSumsOfWindow(window.data());
        ++search.tracksCompared;
    }
    search.candidates = FindReadOffsets(responses, sums);
    return search;
}

} // namespace vindral::accuracy

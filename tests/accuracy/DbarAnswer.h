// AccurateRip answers for tests: a disc's table, its ID, and the bytes of a
// dBAR answer as the database sends them.
#pragma once

#include <cstdint>
#include <initializer_list>
#include <string>
#include <utility>
#include <vector>

#include "accuracy/AccurateRipAnswer.h"
#include "accuracy/DiscIds.h"
#include "drive/DriveSearch.h"

namespace vindral::test {

// Audio tracks 1, 2, ... from their (start, length) in sectors.
inline TrackTable AudioTable(std::initializer_list<std::pair<int32_t, int32_t>> tracks) {
    TrackTable table;
    for (const auto& [start, length] : tracks) {
        table.entries[static_cast<std::size_t>(table.count)] =
            TrackEntry{0, table.count + 1, start, length};
        ++table.count;
    }
    return table;
}

inline accuracy::AccurateRipId AccurateRipIdOfTable(const TrackTable& table) {
    return accuracy::AccurateRipIdOf(accuracy::DiscTocFromTable(table));
}

// A dBAR answer: per response its header (the track count, the disc's two
// IDs and its CDDB ID), then per track its confidence, checksum and
// offset-finding sum, little-endian.
inline std::string DbarBytes(const std::vector<accuracy::AccurateRipResponse>& responses) {
    std::string bytes;
    auto put32 = [&bytes](uint32_t value) {
        for (int i = 0; i < 4; ++i) {
            bytes += static_cast<char>((value >> (8 * i)) & 0xFF);
        }
    };
    for (const accuracy::AccurateRipResponse& response : responses) {
        bytes += static_cast<char>(response.tracks.size());
        put32(response.id.id1);
        put32(response.id.id2);
        put32(response.id.cddb);
        for (const accuracy::AccurateRipEntry& track : response.tracks) {
            bytes += static_cast<char>(track.confidence);
            put32(track.checksum);
            put32(track.offsetFinding);
        }
    }
    return bytes;
}

} // namespace vindral::test

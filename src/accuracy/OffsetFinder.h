// Finding a drive's read offset: the sectors around sector 450 of every
// audio track, read as the drive returns them, are compared at every shift
// of up to ±2940 samples with the offset-finding sums of every pressing in
// the disc's AccurateRip answer.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include "accuracy/AccurateRipAnswer.h"
#include "drive/CdTypes.h"

namespace vindral {
struct TrackTable;
}

namespace vindral::accuracy {

struct OffsetSearch {
    std::vector<ReadOffsetCandidate> candidates; // most agreeing tracks first
    int tracksCompared = 0; // audio tracks long enough to be read for it
    int audioTracks = 0;
    std::string error; // the answer could not be used, or a read failed
};

// Reads `count` whole audio sectors from `address`; returns the command
// status (1 for success).
using SectorReader = std::function<int32_t(SectorAddress address, int32_t count, uint8_t* into)>;

// `dbar`: the AccurateRip answer for the disc (checked against the disc's
// AccurateRip ID). Tracks shorter than the window are left out.
OffsetSearch FindDriveOffset(const TrackTable& table, const uint8_t* dbar, std::size_t size,
                             const SectorReader& read);

// The same with the answer already parsed (and checked against the disc).
OffsetSearch FindDriveOffset(const TrackTable& table,
                             const std::vector<AccurateRipResponse>& responses,
                             const SectorReader& read);

} // namespace vindral::accuracy

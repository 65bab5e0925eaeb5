// The AccurateRip database's answer (a dBAR file) and the comparison of a
// rip's checksums with it. The answer is a run of responses, one per
// pressing: a 13-byte header (track count, id1, id2 and CDDB ID, little
// endian) and per track 9 bytes (confidence, the v1 or v2 checksum, the
// offset-finding checksum).
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "accuracy/DiscIds.h"

namespace vindral::accuracy {

struct AccurateRipEntry {
    uint8_t confidence = 0;
    uint32_t checksum = 0;      // v1 or v2: the database does not say which
    uint32_t offsetFinding = 0; // v1 sum of the track's sector 450
};

struct AccurateRipResponse {
    AccurateRipId id;
    std::vector<AccurateRipEntry> tracks;
};

// Parses a whole answer. With `expected`, every header must carry that ID.
// A short or inconsistent answer is refused as a whole: nothing is
// returned and `error` says why.
std::optional<std::vector<AccurateRipResponse>>
ParseAccurateRipAnswer(const uint8_t* data, std::size_t size, const AccurateRipId* expected,
                       std::string& error);

struct AccurateRipMatch {
    bool accurate = false;
    bool v2 = false;    // the matching checksum was v2 (else v1)
    int response = -1;  // index of the matching response
    int confidence = 0; // of the matching entry
    int total = 0;      // confidences of every response for the track
    int pressings = 0;  // responses with confidence >= 1 for the track
};

// A track (index from 0 among the audio tracks) is accurate when its v1 or
// v2 checksum equals its entry in a response with confidence >= 1; the
// best-confidence match is reported.
AccurateRipMatch MatchAccurateRip(const std::vector<AccurateRipResponse>& responses,
                                  std::size_t trackIndex, uint32_t v1, uint32_t v2);

struct ReadOffsetCandidate {
    int offset = 0; // the read-offset correction, in samples
    int tracks = 0; // tracks whose offset-finding sum matches at it
};

// The read offsets at which the tracks' offset-finding sums (from
// TrackChecksums::OffsetFindingSums, one vector per audio track in order;
// an empty vector for a track that was not read) equal a response's sum for
// that track. Zero sums and entries of confidence 0 are ignored. Sorted by
// the number of agreeing tracks, most first, then by offset.
std::vector<ReadOffsetCandidate>
FindReadOffsets(const std::vector<AccurateRipResponse>& responses,
                const std::vector<std::vector<uint32_t>>& trackSums);

} // namespace vindral::accuracy

// Mending a finished rip from the CTDB: the rip's syndromes computed over
// its files in disc order, each entry with parity tried (most confident
// first) at the shift where it meets the rip, the damage reported before
// anything is written, the repaired audio proven — its whole-disc CTDB CRC
// must be the entry's, and where AccurateRip holds the rip's pressing every
// repaired track must match it there — and only then the touched files
// rewritten, each through a temporary file that takes its name when complete.
#pragma once

#include <atomic>
#include <cstdint>
#include <string>
#include <vector>

#include "accuracy/Checksums.h"
#include "accuracy/DatabaseLookup.h"
#include "accuracy/RipFiles.h"

namespace vindral::accuracy {

struct CtdbRepairOptions {
    std::string ctdbUrl = kDefaultCtdbUrl; // where the parity is downloaded from
    std::string cacheFolder;               // empty: no cache
    const std::atomic<bool>* cancel = nullptr;
};

struct CtdbRepairResult {
    enum class Outcome {
        NotTried,  // no entry with parity, or none that meets the rip
        Exact,     // the rip already equals an entry: nothing to mend
        Repaired,  // mended, proven and written
        Refused,   // more damage than the parity mends, or the proof failed: nothing written
        Failed,    // a file could not be read or written (the lines say which)
        Cancelled, // stopped before a file was written
    };
    Outcome outcome = Outcome::NotTried;
    // The log: what was found, before writing; each repaired place; the proof.
    std::vector<std::string> lines;
    // Per track of the rip (RipFiles::tracks): the runs mended in it and, with
    // Repaired, its sums and edges as the files now hold it.
    struct Track {
        // The mended runs: first sample counted from the track's start, samples.
        std::vector<std::pair<uint64_t, uint64_t>> runs;
        int places = 0;
        uint64_t samples = 0;
        TrackSums sums;
        TrackEdges edges;
    };
    std::vector<Track> tracks;
    int shift = 0;          // where the entry met the rip
    std::string entryId;    // the entry used
    int places = 0;         // every track's
    uint64_t samples = 0;
};

// Repairs the rip in `files` with the entries of its CTDB answer. `accurateRip`
// (may be null or not Found) checks each repaired track where the database
// holds the rip's pressing.
CtdbRepairResult RepairFromCtdb(const RipFiles& files, const std::vector<CtdbEntry>& entries,
                                const AccurateRipLookup* accurateRip,
                                const CtdbRepairOptions& options);

// "mm:ss.ff" of a sample counted from a track's start.
std::string TrackPositionText(uint64_t sample);

} // namespace vindral::accuracy

// Secure reading of audio sectors: a sector whose reading failed, that the
// drive flagged with C2 errors, or that is known to differ from what was
// written, is read again until enough readings of it agree byte for byte.
// Before each round of re-reads the drive's cache is emptied of the sectors
// (by reading a region elsewhere that is larger than the cache), and after
// repeated bad readings the drive is slowed down until the block is done.
// The unit knows nothing of the window or the run protocol: the drive is
// reached through the hooks it is given.
#pragma once

#include <cstdint>
#include <functional>
#include <optional>
#include <vector>

#include "drive/CdTypes.h"
#include "drive/Transport.h"

namespace vindral {

struct SecureSettings {
    int agreeing = 2;      // readings that must agree (2 to 8)
    int maxReadings = 20;  // readings of one sector at most
    // Sectors of the drive's cache; the region read before a re-read is
    // larger than this. 0: the cache is not defeated.
    int32_t cacheSectors = 2048;
    // Bad readings of a block (failed, flagged or disagreeing) after which
    // the drive is slowed down until the block is done.
    int slowDownAfter = 4;
};

// What became of one sector that needed more than its first reading.
struct SectorOutcome {
    SectorAddress address = 0;
    bool agreed = false;  // true: repaired; false: suspicious
    int readings = 0;     // readings attempted, failed ones included
    int agreeing = 0;     // the largest number of identical readings
    bool readable = true; // false: no reading succeeded (written as silence)
    // The sector of the track's file it stands for, where that is known; -1:
    // the one at `address`.
    int32_t trackSector = -1;
    // The agreeing readings equal what the file held already: the reading
    // that differed from it was the wrong one, and the file stays.
    bool confirmed = false;
};

class SecureReader {
public:
    struct Drive {
        // Reads `count` sectors into `audio` (count * 2352 bytes) and, when
        // `c2` is not null and the drive delivers them, their C2 error bits
        // (count * 294 bytes; left zero otherwise). Returns the command's
        // status (1 for success).
        std::function<int32_t(SectorAddress address, int32_t count, uint8_t* audio, uint8_t* c2)>
            read;
        // Reads `count` sectors somewhere far from `address` (their data is
        // not used), so that a cache of `count` sectors no longer holds it.
        std::function<void(SectorAddress address, int32_t count)> readElsewhere;
        // true: lower the read speed; false: restore it.
        std::function<void(bool slow)> slowDown;
        // Polled between re-reads; true ends the block at once.
        std::function<bool()> cancelled;
    };

    SecureReader(SecureSettings settings, Drive drive);

    // Reads `sectors` sectors from `address` into `out`. Sectors flagged in
    // `suspect` (one entry per sector; null: none) are re-read even when
    // their first reading looks right. Sectors that needed re-reads are added
    // to Outcomes(). Returns 1, or 0 when cancelled. A sector that never
    // agrees holds its most frequent reading; one that never reads, silence.
    int32_t Read(SectorAddress address, int32_t sectors, uint8_t* out,
                 const std::vector<bool>* suspect = nullptr);

    // Reads the sector at `address`, known to be wrong, until readings agree.
    // Its outcome is returned, not added to Outcomes(); nothing when cancelled.
    std::optional<SectorOutcome> Reread(SectorAddress address, uint8_t* out);

    const std::vector<SectorOutcome>& Outcomes() const { return outcomes_; }
    void AddOutcome(const SectorOutcome& outcome) { outcomes_.push_back(outcome); }
    void ClearOutcomes() { outcomes_.clear(); }
    // Readings made beyond the first reading of every block.
    int64_t Rereads() const { return rereads_; }
    bool UsesC2() const { return useC2_; }
    // Whether the drive delivers C2 pointers (false: they are not asked for).
    void SetUsesC2(bool use) { useC2_ = use; }

private:
    SecureSettings settings_;
    Drive drive_;
    bool useC2_ = true;
    std::vector<SectorOutcome> outcomes_;
    int64_t rereads_ = 0;
};

} // namespace vindral

// Secure reading of audio sectors: a sector whose reading failed, that the
// drive flagged with C2 errors, or that is known to differ from what was
// written, is read again until enough readings of it agree byte for byte.
// The sectors still open are re-read in rounds, neighbours with one command.
// A reading equal to the last one of its sector may be the drive's cached
// copy of it and is not counted; from then on, a round that reads such a
// sector begins by emptying the cache (reading a region elsewhere that is
// larger than it). A reading that differs from the cached copy, or follows
// a failed read, is a new reading of the disc and counts without that cost. A
// sector whose readings all differ after a handful of tries is given up
// early. After repeated bad readings in a pass, the drive is slowed down
// once for the re-reads of a block, and gets its speed back after them.
// The unit knows nothing of the window or the run protocol: the drive is
// reached through the hooks it is given.
#pragma once

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <optional>
#include <utility>
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
    // Successful readings that all differ from each other after which a
    // sector is taken to never agree, unless C2 pointers passed one of its
    // re-reads (0: only the reading limit ends it; -1: half the reading
    // limit, at least 6).
    int hopelessAfter = -1;
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
        // The same for a block's first reading, where it differs (e.g. it
        // comes from a reading ahead); re-reads always use `read`.
        std::function<int32_t(SectorAddress address, int32_t count, uint8_t* audio, uint8_t* c2)>
            readFirst;
        // Reads `count` sectors somewhere far from `address` (their data is
        // not used), so that a cache of `count` sectors no longer holds it.
        std::function<void(SectorAddress address, int32_t count)> readElsewhere;
        // true: lower the read speed; false: restore it.
        std::function<void(bool slow)> slowDown;
        // Polled between re-reads; true ends the block at once.
        std::function<bool()> cancelled;
    };

    SecureReader(SecureSettings settings, Drive drive);
    ~SecureReader();
    SecureReader(const SecureReader&) = delete;
    SecureReader& operator=(const SecureReader&) = delete;

    // Reads `sectors` sectors from `address` into `out`. Sectors flagged in
    // `suspect` (one entry per sector; null: none) are re-read even when
    // their first reading looks right. Sectors that needed re-reads are added
    // to Outcomes(). Returns 1, or 0 when cancelled. A sector that never
    // agrees holds its most frequent reading; one that never reads, silence.
    int32_t Read(SectorAddress address, int32_t sectors, uint8_t* out,
                 const std::vector<bool>* suspect = nullptr);

    // Reads the sectors of [address, address + sectors) flagged in `suspect`
    // (known to be wrong) until readings agree, in rounds for all of them.
    // Where `holds` says so, `out` holds a reading of the sector already,
    // and `seeds` (one entry per sector; null: none) may give another,
    // earlier one: both count as readings, so a re-read that equals either
    // settles the sector. The outcomes are returned in address order, not
    // added to Outcomes(); nothing when cancelled.
    std::optional<std::vector<SectorOutcome>> Reread(SectorAddress address, int32_t sectors,
                                                     uint8_t* out,
                                                     const std::vector<bool>& suspect,
                                                     const std::vector<const uint8_t*>& seeds,
                                                     const std::vector<bool>& holds);

    // Sectors that an earlier pass read until it gave them up: they are not
    // read again beyond their first reading.
    void SetGivenUp(std::vector<SectorAddress> addresses) { givenUp_ = std::move(addresses); }

    // Empties the drive's cache of what was read last: `sectors` sectors
    // elsewhere than `address`.
    void DefeatCache(SectorAddress address, int32_t sectors);
    // Restores the drive's speed if it was lowered (the re-reads do it
    // themselves; a cancelled pass may call it when it ends).
    void Finish();

    const std::vector<SectorOutcome>& Outcomes() const { return outcomes_; }
    void AddOutcome(const SectorOutcome& outcome) { outcomes_.push_back(outcome); }
    void ClearOutcomes() { outcomes_.clear(); }
    // Removes the outcomes from index `from` on for which `drop` is true.
    template <typename Predicate> void DropOutcomes(std::size_t from, Predicate drop) {
        if (from < outcomes_.size()) {
            outcomes_.erase(std::remove_if(outcomes_.begin() + static_cast<std::ptrdiff_t>(from),
                                           outcomes_.end(), drop),
                            outcomes_.end());
        }
    }
    // Readings made beyond the first reading of every block.
    int64_t Rereads() const { return rereads_; }
    bool UsesC2() const { return useC2_; }
    // Whether the drive delivers C2 pointers (false: they are not asked for).
    void SetUsesC2(bool use) { useC2_ = use; }

private:
    struct Open;
    // Re-reads the open sectors in rounds until each is settled; false when
    // cancelled.
    bool Settle(SectorAddress address, std::vector<Open>& open);
    // One round: one command for every run of neighbouring sectors that
    // read last time; the others are read alone. False when cancelled.
    bool ReadRound(std::vector<Open>& open);
    bool Settled(const Open& open) const;
    SectorOutcome Conclude(const Open& open, uint8_t* into) const;

    SecureSettings settings_;
    Drive drive_;
    bool useC2_ = true;
    bool slowed_ = false;
    std::vector<SectorAddress> givenUp_;
    int bad_ = 0; // bad readings of the pass
    std::vector<SectorOutcome> outcomes_;
    int64_t rereads_ = 0;
};

} // namespace vindral

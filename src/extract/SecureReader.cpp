#include "extract/SecureReader.h"

#include <algorithm>
#include <array>
#include <cstring>
#include <utility>

namespace vindral {

namespace {

constexpr int kC2BytesPerSector = 294;
constexpr std::size_t kRunSectors = 16;

bool AnyBitSet(const uint8_t* bits, std::size_t count) {
    // Every sector's 294 bytes are looked at: eight at a time.
    std::size_t i = 0;
    for (; i + sizeof(uint64_t) <= count; i += sizeof(uint64_t)) {
        uint64_t word;
        std::memcpy(&word, bits + i, sizeof word);
        if (word != 0) {
            return true;
        }
    }
    for (; i < count; ++i) {
        if (bits[i] != 0) {
            return true;
        }
    }
    return false;
}

} // namespace

// A sector that needs more readings: the distinct readings so far and how
// often each came.
struct SecureReader::Open {
    SectorAddress address = 0;
    int attempts = 0;
    bool lastFailed = false;
    std::vector<std::pair<std::vector<uint8_t>, int>> groups;
    // The group of the last reading, which the drive may still hold in its
    // cache (-1: none, or the cache was emptied since). A reading equal to
    // it may be that copy again rather than a new reading of the disc.
    int cached = -1;
    // A reading came back equal to the cached one: from then on, each
    // reading of the sector follows a cache defeat.
    bool wantsDefeat = false;
    // A re-read came without C2 errors where the drive reports them.
    bool unflagged = false;

    int Find(const uint8_t* data) const {
        for (std::size_t g = 0; g < groups.size(); ++g) {
            if (std::memcmp(groups[g].first.data(), data, kSectorBytes) == 0) {
                return static_cast<int>(g);
            }
        }
        return -1;
    }
    // Adds a reading; returns how many readings equal it now.
    int Add(const uint8_t* data) {
        lastFailed = false;
        int g = Find(data);
        if (g < 0) {
            groups.emplace_back(std::vector<uint8_t>(data, data + kSectorBytes), 0);
            g = static_cast<int>(groups.size()) - 1;
        }
        cached = g;
        return ++groups[static_cast<std::size_t>(g)].second;
    }
    // The most frequent reading (the first of those equally frequent).
    const std::pair<std::vector<uint8_t>, int>* Best() const {
        const std::pair<std::vector<uint8_t>, int>* best = nullptr;
        for (const auto& group : groups) {
            if (best == nullptr || group.second > best->second) {
                best = &group;
            }
        }
        return best;
    }
    int Successful() const {
        int n = 0;
        for (const auto& group : groups) {
            n += group.second;
        }
        return n;
    }
};

SecureReader::SecureReader(SecureSettings settings, Drive drive)
    : settings_(settings), drive_(std::move(drive)) {
    settings_.agreeing = std::clamp(settings_.agreeing, 2, 8);
    settings_.maxReadings = std::max(settings_.maxReadings, settings_.agreeing);
    if (settings_.hopelessAfter < 0) {
        settings_.hopelessAfter = std::max(6, settings_.maxReadings / 2);
    }
}

SecureReader::~SecureReader() { Finish(); }

void SecureReader::Finish() {
    if (slowed_ && drive_.slowDown) {
        drive_.slowDown(false);
    }
    slowed_ = false;
}

void SecureReader::DefeatCache(SectorAddress address, int32_t sectors) {
    if (sectors <= 0 || !drive_.readElsewhere) {
        return;
    }
    // The region elsewhere is read at the drive's own speed.
    if (slowed_ && drive_.slowDown) {
        drive_.slowDown(false);
    }
    drive_.readElsewhere(address, sectors);
    if (slowed_ && drive_.slowDown) {
        drive_.slowDown(true);
    }
}

bool SecureReader::Settled(const Open& open) const {
    if (std::find(givenUp_.begin(), givenUp_.end(), open.address) != givenUp_.end()) {
        return true;
    }
    const auto* best = open.Best();
    if (best != nullptr && best->second >= settings_.agreeing) {
        return true;
    }
    if (open.attempts >= settings_.maxReadings) {
        return true;
    }
    // Every reading different from every other: more of them will not agree
    // - unless the drive's C2 pointers passed one of them, a sign that the
    // sector does read right at times.
    return settings_.hopelessAfter > 0 && best != nullptr && best->second == 1 &&
           !open.unflagged && open.Successful() >= settings_.hopelessAfter;
}

bool SecureReader::ReadRound(std::vector<Open>& open) {
    std::vector<uint8_t> audio;
    std::vector<uint8_t> bits;
    for (std::size_t i = 0; i < open.size();) {
        if (Settled(open[i])) {
            ++i;
            continue;
        }
        // A run of neighbours that are open and read the last time, no
        // longer than a block (what every drive takes in one command).
        std::size_t end = i + 1;
        if (!open[i].lastFailed) {
            while (end < open.size() && end - i < kRunSectors &&
                   open[end].address == open[end - 1].address + 1 && !Settled(open[end]) &&
                   !open[end].lastFailed) {
                ++end;
            }
        }
        if (drive_.cancelled && drive_.cancelled()) {
            return false;
        }
        const auto count = static_cast<int32_t>(end - i);
        audio.assign(static_cast<std::size_t>(count) * kSectorBytes, 0);
        bits.assign(useC2_ ? static_cast<std::size_t>(count) * kC2BytesPerSector : 0, 0);
        const int32_t status =
            drive_.read(open[i].address, count, audio.data(), useC2_ ? bits.data() : nullptr);
        if (status != kStatusOk && count > 1) {
            // Each sector of the run alone, so that only those that fail
            // themselves count as failed.
            for (std::size_t k = i; k < end; ++k) {
                open[k].lastFailed = true;
            }
            continue; // the same run again: now each sector is read alone
        }
        for (std::size_t k = i; k < end; ++k) {
            Open& sector = open[k];
            ++rereads_;
            const std::size_t at = k - i;
            const uint8_t* data = audio.data() + at * kSectorBytes;
            if (status == kStatusOk && settings_.cacheSectors > 0 && sector.cached >= 0 &&
                sector.Find(data) == sector.cached) {
                // Perhaps the drive's cached copy of the last reading: not
                // a reading of the disc, and not counted as one.
                sector.lastFailed = false;
                sector.wantsDefeat = true;
                continue;
            }
            ++sector.attempts;
            if (status != kStatusOk) {
                // A drive keeps no copy of a sector it could not read.
                sector.lastFailed = true;
                sector.cached = -1;
                ++bad_;
                continue;
            }
            const int same = sector.Add(data);
            const bool flagged =
                useC2_ && AnyBitSet(bits.data() + at * kC2BytesPerSector, kC2BytesPerSector);
            sector.unflagged = sector.unflagged || (useC2_ && !flagged);
            if (same < 2 || flagged) {
                ++bad_;
            }
        }
        i = end;
    }
    return true;
}

bool SecureReader::Settle(SectorAddress address, std::vector<Open>& open) {
    // The drive reads at its own speed again once these re-reads are done.
    struct Restore {
        SecureReader& reader;
        ~Restore() { reader.Finish(); }
    } restore{*this};
    for (;;) {
        if (std::all_of(open.begin(), open.end(), [this](const Open& o) { return Settled(o); })) {
            return true;
        }
        // The cache is emptied only when a sector's last reading may have
        // come from it: a reading that differs from the drive's copy, or
        // follows a failed one, is a new reading of the disc.
        const bool defeat = std::any_of(open.begin(), open.end(), [this](const Open& o) {
            return o.wantsDefeat && o.cached >= 0 && !Settled(o);
        });
        if (defeat) {
            DefeatCache(address, settings_.cacheSectors);
            for (Open& o : open) {
                o.cached = -1;
            }
        }
        if (!slowed_ && bad_ >= settings_.slowDownAfter && drive_.slowDown) {
            // Once for these re-reads; after bad readings earlier in the
            // pass, from their first round on.
            drive_.slowDown(true);
            slowed_ = true;
        }
        if (!ReadRound(open)) {
            return false;
        }
    }
}

SectorOutcome SecureReader::Conclude(const Open& open, uint8_t* into) const {
    SectorOutcome outcome;
    outcome.address = open.address;
    outcome.readings = open.attempts;
    const auto* best = open.Best();
    if (best == nullptr) {
        std::memset(into, 0, kSectorBytes);
        outcome.readable = false;
    } else {
        std::memcpy(into, best->first.data(), kSectorBytes);
        outcome.agreeing = best->second;
        outcome.agreed = best->second >= settings_.agreeing;
    }
    return outcome;
}

int32_t SecureReader::Read(SectorAddress address, int32_t sectors, uint8_t* out,
                           const std::vector<bool>* suspect) {
    const auto count = static_cast<std::size_t>(sectors);
    std::vector<uint8_t> c2(useC2_ ? count * kC2BytesPerSector : 0);
    const auto& first = drive_.readFirst ? drive_.readFirst : drive_.read;
    const int32_t status = first(address, sectors, out, useC2_ ? c2.data() : nullptr);
    if (status != kStatusOk) {
        ++bad_;
    }

    // The sectors whose first reading cannot be taken as it is. When the
    // block's read fails, each sector is read alone once, so that only the
    // sectors that fail themselves are read again.
    std::vector<Open> open;
    std::array<uint8_t, kC2BytesPerSector> bits{};
    for (int32_t s = 0; s < sectors; ++s) {
        const auto i = static_cast<std::size_t>(s);
        Open sector;
        sector.address = address + s;
        sector.attempts = 1;
        bool readable = status == kStatusOk;
        const uint8_t* sectorBits = c2.data() + i * kC2BytesPerSector;
        if (!readable) {
            if (drive_.cancelled && drive_.cancelled()) {
                return 0;
            }
            bits.fill(0);
            readable = drive_.read(sector.address, 1, out + i * kSectorBytes,
                                   useC2_ ? bits.data() : nullptr) == kStatusOk;
            sectorBits = bits.data();
            sector.attempts = 2;
        }
        const bool flagged = readable && useC2_ && AnyBitSet(sectorBits, kC2BytesPerSector);
        const bool known = suspect != nullptr && i < suspect->size() && (*suspect)[i];
        if (readable && !flagged && !known) {
            continue;
        }
        if (readable) {
            sector.Add(out + i * kSectorBytes);
        } else {
            sector.lastFailed = true;
        }
        open.push_back(std::move(sector));
    }
    if (open.empty()) {
        return kStatusOk;
    }
    if (!Settle(address, open)) {
        return 0;
    }
    for (const Open& sector : open) {
        outcomes_.push_back(
            Conclude(sector, out + static_cast<std::size_t>(sector.address - address) * kSectorBytes));
    }
    return kStatusOk;
}

std::optional<std::vector<SectorOutcome>>
SecureReader::Reread(SectorAddress address, int32_t sectors, uint8_t* out,
                     const std::vector<bool>& suspect, const std::vector<const uint8_t*>& seeds,
                     const std::vector<bool>& holds) {
    std::vector<Open> open;
    for (int32_t s = 0; s < sectors; ++s) {
        const auto i = static_cast<std::size_t>(s);
        if (i >= suspect.size() || !suspect[i]) {
            continue;
        }
        Open sector;
        sector.address = address + s;
        if (i < holds.size() && holds[i]) {
            ++sector.attempts;
            sector.Add(out + i * kSectorBytes);
        }
        if (i < seeds.size() && seeds[i] != nullptr) {
            ++sector.attempts;
            sector.Add(seeds[i]);
        }
        // The drive may hold the reading in `out`, not the earlier one.
        sector.cached = holds.size() > i && holds[i] ? sector.Find(out + i * kSectorBytes) : -1;
        open.push_back(std::move(sector));
    }
    if (!Settle(address, open)) {
        return std::nullopt;
    }
    std::vector<SectorOutcome> outcomes;
    for (const Open& sector : open) {
        outcomes.push_back(
            Conclude(sector, out + static_cast<std::size_t>(sector.address - address) * kSectorBytes));
    }
    return outcomes;
}

} // namespace vindral

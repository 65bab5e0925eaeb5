#include "extract/SecureReader.h"

#include <algorithm>
#include <array>
#include <cstring>
#include <utility>

namespace vindral {

namespace {

constexpr int kC2BytesPerSector = 294;

bool AnyBitSet(const uint8_t* bits, std::size_t count) {
    for (std::size_t i = 0; i < count; ++i) {
        if (bits[i] != 0) {
            return true;
        }
    }
    return false;
}

// The distinct readings of one sector and how often each came.
struct SectorReadings {
    SectorAddress address = 0;
    int attempts = 0;
    std::vector<std::pair<std::vector<uint8_t>, int>> groups;

    // Adds a reading; returns how many readings equal it now.
    int Add(const uint8_t* data) {
        for (auto& group : groups) {
            if (std::memcmp(group.first.data(), data, kSectorBytes) == 0) {
                return ++group.second;
            }
        }
        groups.emplace_back(std::vector<uint8_t>(data, data + kSectorBytes), 1);
        return 1;
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
};

} // namespace

SecureReader::SecureReader(SecureSettings settings, Drive drive)
    : settings_(settings), drive_(std::move(drive)) {
    settings_.agreeing = std::clamp(settings_.agreeing, 2, 8);
    settings_.maxReadings = std::max(settings_.maxReadings, settings_.agreeing);
}

int32_t SecureReader::Read(SectorAddress address, int32_t sectors, uint8_t* out,
                           const std::vector<bool>* suspect) {
    const auto count = static_cast<std::size_t>(sectors);
    std::vector<uint8_t> c2(useC2_ ? count * kC2BytesPerSector : 0);
    const int32_t status = drive_.read(address, sectors, out, useC2_ ? c2.data() : nullptr);

    // The sectors whose first reading cannot be taken as it is. When the
    // block's read fails, each sector is read alone once, so that only the
    // sectors that fail themselves are read again.
    std::vector<SectorReadings> open;
    std::array<uint8_t, kSectorBytes> sector{};
    std::array<uint8_t, kC2BytesPerSector> bits{};
    for (int32_t s = 0; s < sectors; ++s) {
        const auto i = static_cast<std::size_t>(s);
        SectorReadings readings;
        readings.address = address + s;
        readings.attempts = 1;
        bool readable = status == kStatusOk;
        const uint8_t* sectorBits = c2.data() + i * kC2BytesPerSector;
        if (!readable) {
            if (drive_.cancelled && drive_.cancelled()) {
                return 0;
            }
            bits.fill(0);
            readable = drive_.read(readings.address, 1, out + i * kSectorBytes,
                                   useC2_ ? bits.data() : nullptr) == kStatusOk;
            sectorBits = bits.data();
            readings.attempts = 2;
        }
        const bool flagged = readable && useC2_ && AnyBitSet(sectorBits, kC2BytesPerSector);
        const bool known = suspect != nullptr && i < suspect->size() && (*suspect)[i];
        if (readable && !flagged && !known) {
            continue;
        }
        if (readable) {
            readings.Add(out + i * kSectorBytes);
        }
        open.push_back(std::move(readings));
    }
    if (open.empty()) {
        return kStatusOk;
    }

    int bad = status == kStatusOk ? 0 : 1;
    bool slowed = false;
    auto settled = [&](const SectorReadings& r) {
        const auto* best = r.Best();
        return (best != nullptr && best->second >= settings_.agreeing) ||
               r.attempts >= settings_.maxReadings;
    };
    for (;;) {
        const bool done = std::all_of(open.begin(), open.end(), settled);
        if (done) {
            break;
        }
        if (settings_.cacheSectors > 0 && drive_.readElsewhere) {
            // The region elsewhere is read at the drive's own speed.
            if (slowed && drive_.slowDown) {
                drive_.slowDown(false);
                slowed = false;
            }
            drive_.readElsewhere(address, settings_.cacheSectors);
        }
        if (!slowed && bad >= settings_.slowDownAfter && drive_.slowDown) {
            drive_.slowDown(true);
            slowed = true;
        }
        for (SectorReadings& r : open) {
            if (settled(r)) {
                continue;
            }
            if (drive_.cancelled && drive_.cancelled()) {
                if (slowed && drive_.slowDown) {
                    drive_.slowDown(false);
                }
                return 0;
            }
            ++r.attempts;
            ++rereads_;
            bits.fill(0);
            if (drive_.read(r.address, 1, sector.data(), useC2_ ? bits.data() : nullptr) !=
                kStatusOk) {
                ++bad;
                continue;
            }
            const int same = r.Add(sector.data());
            if (same < 2 || (useC2_ && AnyBitSet(bits.data(), bits.size()))) {
                ++bad;
            }
        }
    }
    if (slowed && drive_.slowDown) {
        drive_.slowDown(false);
    }

    for (const SectorReadings& r : open) {
        uint8_t* into = out + static_cast<std::size_t>(r.address - address) * kSectorBytes;
        SectorOutcome outcome;
        outcome.address = r.address;
        outcome.readings = r.attempts;
        const auto* best = r.Best();
        if (best == nullptr) {
            std::memset(into, 0, kSectorBytes);
            outcome.readable = false;
        } else {
            std::memcpy(into, best->first.data(), kSectorBytes);
            outcome.agreeing = best->second;
            outcome.agreed = best->second >= settings_.agreeing;
        }
        outcomes_.push_back(outcome);
    }
    return kStatusOk;
}

std::optional<SectorOutcome> SecureReader::Reread(SectorAddress address, uint8_t* out) {
    const std::vector<bool> suspect{true};
    if (Read(address, 1, out, &suspect) != kStatusOk) {
        return std::nullopt;
    }
    SectorOutcome outcome = outcomes_.back(); // a known-wrong sector always has one
    outcomes_.pop_back();
    return outcome;
}

} // namespace vindral

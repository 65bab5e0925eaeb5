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

    // The sectors whose first reading cannot be taken as it is.
    std::vector<SectorReadings> open;
    for (int32_t s = 0; s < sectors; ++s) {
        const auto i = static_cast<std::size_t>(s);
        const bool flagged =
            status == kStatusOk && useC2_ && AnyBitSet(c2.data() + i * kC2BytesPerSector,
                                                        kC2BytesPerSector);
        const bool known = suspect != nullptr && i < suspect->size() && (*suspect)[i];
        if (status == kStatusOk && !flagged && !known) {
            continue;
        }
        SectorReadings readings;
        readings.address = address + s;
        readings.attempts = 1;
        if (status == kStatusOk) {
            readings.Add(out + i * kSectorBytes);
        }
        open.push_back(std::move(readings));
    }
    if (open.empty()) {
        return kStatusOk;
    }

    std::array<uint8_t, kSectorBytes> sector{};
    std::array<uint8_t, kC2BytesPerSector> bits{};
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
        if (!slowed && bad >= settings_.slowDownAfter && drive_.slowDown) {
            drive_.slowDown(true);
            slowed = true;
        }
        if (settings_.cacheSectors > 0 && drive_.readElsewhere) {
            drive_.readElsewhere(address, settings_.cacheSectors);
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

} // namespace vindral

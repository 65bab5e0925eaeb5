#include "drive/emulated/Disc.h"

#include <algorithm>
#include <array>
#include <cstring>

namespace vindral::emulated {

namespace {

// Tables of the CD-ROM error detection and correction: the EDC is a
// reflected CRC-32 with polynomial 0xD8018001; the parity works in GF(2^8)
// with the field polynomial x^8 + x^4 + x^3 + x^2 + 1.
struct EccTables {
    std::array<uint8_t, 256> forward{};
    std::array<uint8_t, 256> backward{};
    std::array<uint32_t, 256> edc{};
    EccTables() {
        for (uint32_t i = 0; i < 256; ++i) {
            const uint32_t j = (i << 1) ^ ((i & 0x80) ? 0x11D : 0);
            forward[i] = static_cast<uint8_t>(j);
            backward[i ^ j] = static_cast<uint8_t>(i);
            uint32_t crc = i;
            for (int k = 0; k < 8; ++k) {
                crc = (crc >> 1) ^ ((crc & 1) ? 0xD8018001u : 0);
            }
            edc[i] = crc;
        }
    }
};

const EccTables& Tables() {
    static const EccTables tables;
    return tables;
}

// One parity pass (P: 86 columns of 24, Q: 52 diagonals of 43) over the
// header and user data starting at `source`, written to `parity`.
void ComputeParity(const uint8_t* source, int majorCount, int minorCount, int majorMult,
                   int minorInc, uint8_t* parity) {
    const EccTables& t = Tables();
    const int size = majorCount * minorCount;
    for (int major = 0; major < majorCount; ++major) {
        int index = (major >> 1) * majorMult + (major & 1);
        uint8_t a = 0;
        uint8_t b = 0;
        for (int minor = 0; minor < minorCount; ++minor) {
            const uint8_t value = source[index];
            index += minorInc;
            if (index >= size) {
                index -= size;
            }
            a ^= value;
            b ^= value;
            a = t.forward[a];
        }
        a = t.backward[t.forward[a] ^ b];
        parity[major] = a;
        parity[major + majorCount] = static_cast<uint8_t>(a ^ b);
    }
}

uint8_t Bcd(int value) { return static_cast<uint8_t>(((value / 10) << 4) | (value % 10)); }

class SilenceSource : public SectorSource {
public:
    explicit SilenceSource(bool data) : data_(data) {}
    bool Read(int64_t, SectorAddress address, uint8_t* out) const override {
        if (data_) {
            static const std::array<uint8_t, kMode1UserBytes> zeros{};
            EncodeMode1Sector(address, zeros.data(), out);
        } else {
            std::memset(out, 0, kSectorBytes);
        }
        return true;
    }

private:
    bool data_;
};

// The bytes an unstable sector delivers on one read: every byte is changed,
// by a value that depends on the address, the byte and the read.
uint8_t Disturbance(SectorAddress address, int byte, uint64_t readNumber) {
    return static_cast<uint8_t>(DamageHash(address, byte, readNumber) | 1);
}

constexpr int kSamplesPerSector = kSectorBytes / 4;

// A wrong reading that got `samples` of the sector's samples wrong: distinct
// samples at places that change with the read number, each of their bytes
// changed.
void DisturbSamples(SectorAddress address, uint64_t readNumber, int32_t samples, uint8_t* out) {
    std::array<bool, kSamplesPerSector> hit{};
    const int32_t n = std::min(samples, kSamplesPerSector);
    for (int32_t k = 0; k < n; ++k) {
        // Byte positions past the sector's end name the choice of place k.
        auto at = static_cast<int>(DamageHash(address, kSectorBytes + k, readNumber) %
                                   kSamplesPerSector);
        while (hit[static_cast<std::size_t>(at)]) {
            at = (at + 1) % kSamplesPerSector;
        }
        hit[static_cast<std::size_t>(at)] = true;
        for (int b = at * 4; b < at * 4 + 4; ++b) {
            out[b] ^= Disturbance(address, b, readNumber);
        }
    }
}

} // namespace

uint64_t DamageHash(SectorAddress address, int byte, uint64_t readNumber) {
    uint64_t x = (static_cast<uint64_t>(static_cast<uint32_t>(address)) << 32) ^
                 (static_cast<uint64_t>(static_cast<uint32_t>(byte)) << 12) ^
                 (readNumber * 0x9E3779B97F4A7C15ull);
    x ^= x >> 31;
    x *= 0xBF58476D1CE4E5B9ull;
    x ^= x >> 29;
    x *= 0x94D049BB133111EBull;
    x ^= x >> 32;
    return x;
}

void EncodeMode1Sector(SectorAddress address, const uint8_t* userData, uint8_t* out) {
    std::memset(out, 0, kSectorBytes);
    std::memset(out + 1, 0xFF, 10);
    const int32_t msf = address + 150;
    out[12] = Bcd(msf / kSectorsPerMinute);
    out[13] = Bcd((msf / kSectorsPerSecond) % 60);
    out[14] = Bcd(msf % kSectorsPerSecond);
    out[15] = 1; // mode
    std::memcpy(out + kMode1UserOffset, userData, kMode1UserBytes);
    const EccTables& t = Tables();
    uint32_t edc = 0;
    for (int i = 0; i < 0x810; ++i) {
        edc = (edc >> 8) ^ t.edc[(edc ^ out[i]) & 0xFF];
    }
    for (int i = 0; i < 4; ++i) {
        out[0x810 + i] = static_cast<uint8_t>(edc >> (8 * i));
    }
    ComputeParity(out + 12, 86, 24, 2, 86, out + 0x81C);
    ComputeParity(out + 12, 52, 43, 86, 88, out + 0x8C8);
}

std::shared_ptr<const SectorSource> MakeSilenceSource(bool data) {
    return std::make_shared<SilenceSource>(data);
}

void SectorRanges::Add(SectorAddress first, int32_t count) {
    if (count <= 0) {
        return;
    }
    SectorAddress begin = first;
    SectorAddress end = static_cast<SectorAddress>(
        std::min<int64_t>(int64_t{first} + count, INT32_MAX));
    // Merge with every interval that overlaps or touches [begin, end).
    auto it = ranges_.upper_bound(begin);
    if (it != ranges_.begin()) {
        auto before = std::prev(it);
        if (before->second >= begin) {
            it = before;
        }
    }
    while (it != ranges_.end() && it->first <= end) {
        begin = std::min(begin, it->first);
        end = std::max(end, it->second);
        it = ranges_.erase(it);
    }
    ranges_[begin] = end;
}

bool SectorRanges::Contains(SectorAddress address) const {
    return Intersects(address, 1);
}

bool SectorRanges::Intersects(SectorAddress first, int32_t count) const {
    if (count <= 0 || ranges_.empty()) {
        return false;
    }
    const int64_t end = int64_t{first} + count;
    auto it = ranges_.upper_bound(first);
    if (it != ranges_.begin() && std::prev(it)->second > first) {
        return true;
    }
    return it != ranges_.end() && it->first < end;
}

void Disc::AddTrack(int number, bool data, SectorAddress start, int session,
                    uint8_t controlFlags) {
    tracks_.push_back(DiscTrack{number, data, start, 0, session, controlFlags, start, {}});
    UpdateLengths();
}

void Disc::SetIndexes(std::size_t track, SectorAddress pregapStart,
                      std::vector<SectorAddress> laterIndexes) {
    if (track < tracks_.size()) {
        tracks_[track].pregapStart = std::min(pregapStart, tracks_[track].start);
        tracks_[track].laterIndexes = std::move(laterIndexes);
    }
}

bool Disc::Position(SectorAddress address, SectorPosition& position) const {
    if (tracks_.empty() || address < 0 || address >= leadOut_ || IsBetweenSessions(address)) {
        return false;
    }
    // The last track whose pregap begins at or before the address; a
    // sector before every pregap belongs to the first track's.
    const DiscTrack* found = &tracks_.front();
    for (const DiscTrack& track : tracks_) {
        if (track.pregapStart > address) {
            break;
        }
        found = &track;
    }
    position.track = found;
    position.relative = address - found->start;
    position.index = address < found->start ? 0 : 1;
    for (const SectorAddress later : found->laterIndexes) {
        if (address >= later) {
            ++position.index;
        }
    }
    return true;
}

SectorAddress Disc::SessionLeadOut(int session) const {
    for (const DiscTrack& track : tracks_) {
        if (track.session > session) {
            return track.start - kSessionGapSectors;
        }
    }
    return leadOut_;
}

const DiscTrack* Disc::FirstTrackOfLastSession() const {
    const DiscTrack* first = nullptr;
    for (auto it = tracks_.rbegin(); it != tracks_.rend() && it->session == LastSession(); ++it) {
        first = &*it;
    }
    return first;
}

void Disc::SetLeadOut(SectorAddress leadOut) {
    leadOut_ = leadOut;
    UpdateLengths();
}

void Disc::UpdateLengths() {
    for (std::size_t i = 0; i < tracks_.size(); ++i) {
        const SectorAddress end = i + 1 < tracks_.size() ? tracks_[i + 1].start : leadOut_;
        tracks_[i].length = std::max<int32_t>(0, end - tracks_[i].start);
    }
}

void Disc::AddSegment(SectorAddress start, int32_t count, bool data,
                      std::shared_ptr<const SectorSource> source, int64_t firstIndex) {
    if (count <= 0 || !source) {
        return;
    }
    segments_[start] = Segment{start, count, data, std::move(source), firstIndex};
}

int32_t SectorSource::ReadRun(int64_t index, SectorAddress address, int32_t count,
                              uint8_t* out) const {
    for (int32_t i = 0; i < count; ++i) {
        if (!Read(index + i, address + i, out + static_cast<std::size_t>(i) * kSectorBytes)) {
            return i;
        }
    }
    return count;
}

int32_t Disc::ReadSectors(SectorAddress address, int32_t count, uint8_t* out,
                          uint64_t firstReadNumber) const {
    int32_t done = 0;
    while (done < count) {
        const SectorAddress at = address + done;
        uint8_t* into = out + static_cast<std::size_t>(done) * kSectorBytes;
        const Segment* segment = FindSegment(at);
        int32_t run = 0;
        if (segment != nullptr && at >= 0 && at < leadOut_) {
            // The undamaged stretch of this segment from `at` on.
            const int64_t segmentEnd = int64_t{segment->start} + segment->count;
            run = static_cast<int32_t>(
                std::min<int64_t>({int64_t{count - done}, segmentEnd - at, int64_t{leadOut_} - at}));
            for (int32_t i = 0; i < run; ++i) {
                if (unreadable_.Contains(at + i) || unstable_.Contains(at + i) ||
                    flakyRanges_.Contains(at + i) || triesRanges_.Contains(at + i) ||
                    betweenSessions_.Contains(at + i)) {
                    run = i;
                    break;
                }
            }
        }
        if (run > 1) {
            const int32_t got = segment->source->ReadRun(
                segment->firstIndex + (at - segment->start), at, run, into);
            done += got;
            if (got < run) {
                return done;
            }
            continue;
        }
        if (!ReadSector(at, into, firstReadNumber + static_cast<uint64_t>(done))) {
            return done;
        }
        ++done;
    }
    return done;
}

const Disc::Segment* Disc::FindSegment(SectorAddress address) const {
    auto it = segments_.upper_bound(address);
    if (it == segments_.begin()) {
        return nullptr;
    }
    --it;
    const Segment& segment = it->second;
    return int64_t{address} < int64_t{segment.start} + segment.count ? &segment : nullptr;
}

const DiscTrack* Disc::FindTrack(SectorAddress address) const {
    auto it = std::upper_bound(tracks_.begin(), tracks_.end(), address,
                               [](SectorAddress a, const DiscTrack& t) { return a < t.start; });
    return it == tracks_.begin() ? nullptr : &*std::prev(it);
}

bool Disc::IsDataSector(SectorAddress address) const {
    if (const Segment* segment = FindSegment(address)) {
        return segment->data;
    }
    const DiscTrack* track = FindTrack(address);
    return track != nullptr && track->data;
}

bool Disc::CleanSector(SectorAddress address, uint8_t* out) const {
    if (address < 0 || address >= leadOut_ || unreadable_.Contains(address) ||
        betweenSessions_.Contains(address)) {
        return false;
    }
    if (const Segment* segment = FindSegment(address)) {
        return segment->source->Read(segment->firstIndex + (address - segment->start), address,
                                     out);
    }
    static const SilenceSource audioSilence(false);
    static const SilenceSource dataSilence(true);
    (IsDataSector(address) ? dataSilence : audioSilence).Read(0, address, out);
    return true;
}

bool Disc::ReadSector(SectorAddress address, uint8_t* out, uint64_t readNumber) const {
    if (TryFails(address) || !CleanSector(address, out)) {
        return false;
    }
    const bool unstable = unstable_.Contains(address);
    const bool wrong = unstable || FlakyReadingWrong(address, readNumber);
    const Flaky* flaky = wrong && !unstable ? FindFlaky(address) : nullptr;
    if (flaky != nullptr && flaky->samples > 0) {
        DisturbSamples(address, readNumber, flaky->samples, out);
    } else if (wrong) {
        for (int i = 0; i < kSectorBytes; ++i) {
            out[i] ^= Disturbance(address, i, readNumber);
        }
    }
    return true;
}

void Disc::AddUnreadableTries(SectorAddress first, int32_t count, int32_t tries) {
    std::lock_guard<std::mutex> lock(tries_->mutex);
    for (int32_t i = 0; i < count; ++i) {
        tries_->needed[first + i] = tries;
    }
    triesRanges_.Add(first, count);
}

bool Disc::TryFails(SectorAddress address) const {
    if (!triesRanges_.Contains(address)) {
        return false;
    }
    std::lock_guard<std::mutex> lock(tries_->mutex);
    auto needed = tries_->needed.find(address);
    if (needed == tries_->needed.end()) {
        return false;
    }
    int32_t& made = tries_->made[address];
    if (made >= needed->second) {
        return false;
    }
    ++made;
    return true;
}

void Disc::AddFlaky(SectorAddress first, int32_t count, int32_t percent, int32_t samples) {
    flaky_.push_back(Flaky{first, count, percent, std::max(samples, 0)});
    flakyRanges_.Add(first, count);
}

const Disc::Flaky* Disc::FindFlaky(SectorAddress address) const {
    if (!flakyRanges_.Contains(address)) {
        return nullptr;
    }
    for (const Flaky& flaky : flaky_) {
        if (address >= flaky.first && address - flaky.first < flaky.count) {
            return &flaky;
        }
    }
    return nullptr;
}

bool Disc::IsFlaky(SectorAddress address) const { return flakyRanges_.Contains(address); }

bool Disc::FlakyReadingWrong(SectorAddress address, uint64_t readNumber) const {
    const Flaky* flaky = FindFlaky(address);
    if (flaky == nullptr) {
        return false;
    }
    // One hash of the address and the read number, spread to 0..99.
    const uint32_t draw = (uint32_t{Disturbance(address, 7, readNumber)} << 8 |
                           Disturbance(address, 11, readNumber)) %
                          100u;
    return draw < static_cast<uint32_t>(flaky->percent);
}

} // namespace vindral::emulated

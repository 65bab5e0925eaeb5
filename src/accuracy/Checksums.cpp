#include "accuracy/Checksums.h"

#include <algorithm>
#include <limits>

#include <zlib.h>

namespace vindral::accuracy {

namespace {

// zlib takes lengths as uInt; feed it in pieces that fit.
unsigned long CrcOver(unsigned long crc, const uint8_t* data, std::size_t bytes) {
    constexpr std::size_t kPiece = std::numeric_limits<uInt>::max() / 2;
    while (bytes > 0) {
        const std::size_t n = std::min(bytes, kPiece);
        crc = crc32(crc, data, static_cast<uInt>(n));
        data += n;
        bytes -= n;
    }
    return crc;
}

uint32_t SampleAt(const uint8_t* p) {
    return static_cast<uint32_t>(p[0]) | static_cast<uint32_t>(p[1]) << 8 |
           static_cast<uint32_t>(p[2]) << 16 | static_cast<uint32_t>(p[3]) << 24;
}

constexpr uint64_t kWindowStart =
    kOffsetFindingSector * kSamplesPerSector - static_cast<uint64_t>(kOffsetSearchSamples);
constexpr uint64_t kWindowSamples =
    2 * static_cast<uint64_t>(kOffsetSearchSamples) + kSamplesPerSector;

} // namespace

AccurateRipRange AccurateRipRangeOf(TrackPlace place, uint64_t trackSamples) {
    AccurateRipRange range;
    range.first = place.first ? kAccurateRipEdgeSamples : 1;
    range.last =
        place.last
            ? (trackSamples > kAccurateRipEdgeSamples ? trackSamples - kAccurateRipEdgeSamples : 0)
            : trackSamples;
    return range;
}

CtdbTrim CtdbTrimFor(TrackPlace place, uint64_t discAudioSamples) {
    CtdbTrim trim;
    if (place.first) {
        trim.head = kCtdbStrideSamples;
    }
    if (place.last) {
        trim.tail = kCtdbStrideSamples + discAudioSamples % kCtdbStrideSamples;
    }
    return trim;
}

uint32_t Crc32(const uint8_t* data, std::size_t bytes, uint32_t previous) {
    return static_cast<uint32_t>(CrcOver(previous, data, bytes));
}

TrackChecksums::TrackChecksums(uint64_t trackSamples, TrackPlace place, CtdbTrim trim)
    : trackSamples_(trackSamples), crc_(crc32(0, nullptr, 0)), ctdbCrc_(crc32(0, nullptr, 0)) {
    const AccurateRipRange range = AccurateRipRangeOf(place, trackSamples);
    arFirst_ = range.first;
    arLast_ = range.last;
    // The edges reach one stride beyond the CTDB trim at each end.
    headKeep_ = std::min(trackSamples, trim.head + kCtdbStrideSamples);
    const uint64_t tailKeep = trim.tail + kCtdbStrideSamples;
    tailStart_ = trackSamples > tailKeep ? trackSamples - tailKeep : 0;
    crcBeforeTail_ = crc32(0, nullptr, 0);
    ctdbFirst_ = trim.head;
    ctdbEnd_ = trackSamples > trim.tail ? trackSamples - trim.tail : 0;
}

void TrackChecksums::Add(const uint8_t* pcm, std::size_t bytes) {
    if (bytes == 0) {
        return;
    }
    // The copy CRC covers whole samples in AddSamples; the bytes of an
    // unfinished last sample are added by Result.
    if (partialBytes_ > 0) {
        const std::size_t take = std::min(bytes, kBytesPerSample - partialBytes_);
        std::copy(pcm, pcm + take, partial_ + partialBytes_);
        partialBytes_ += take;
        pcm += take;
        bytes -= take;
        if (partialBytes_ < kBytesPerSample) {
            return;
        }
        AddSamples(partial_, 1);
        partialBytes_ = 0;
    }
    const std::size_t whole = bytes / kBytesPerSample;
    AddSamples(pcm, whole);
    pcm += whole * kBytesPerSample;
    bytes -= whole * kBytesPerSample;
    std::copy(pcm, pcm + bytes, partial_);
    partialBytes_ = bytes;
}

void TrackChecksums::AddSamples(const uint8_t* pcm, uint64_t count) {
    const uint64_t begin = position_; // 0-based index of pcm[0]
    const uint64_t end = begin + count;

    // Three CRCs cover ranges of the same samples: every sample (the copy
    // CRC), the CTDB range and everything before the kept tail. The samples
    // are cut where a range begins or ends; each piece's CRC is computed
    // once and combined into the CRCs whose range holds it.
    uint64_t cuts[5] = {begin, ctdbFirst_, ctdbEnd_, tailStart_, end};
    std::sort(cuts + 1, cuts + 4);
    uint64_t from = begin;
    for (uint64_t cut : cuts) {
        const uint64_t to = std::min(std::max(cut, from), end);
        if (to == from) {
            continue;
        }
        const std::size_t bytes = static_cast<std::size_t>((to - from) * kBytesPerSample);
        const unsigned long piece = CrcOver(crc32(0, nullptr, 0), pcm + (from - begin) * kBytesPerSample, bytes);
        const auto length = static_cast<z_off_t>(bytes);
        crc_ = crc32_combine(crc_, piece, length);
        if (from >= ctdbFirst_ && to <= ctdbEnd_) {
            ctdbCrc_ = crc32_combine(ctdbCrc_, piece, length);
        }
        if (to <= tailStart_) {
            crcBeforeTail_ = crc32_combine(crcBeforeTail_, piece, length);
        }
        from = to;
    }

    // The edges: the head and the tail.
    const uint64_t headTo = std::min(end, headKeep_);
    if (begin < headTo) {
        head_.insert(head_.end(), pcm, pcm + (headTo - begin) * kBytesPerSample);
    }
    const uint64_t tailFrom = std::max(begin, tailStart_);
    const uint64_t tailTo = std::min(end, trackSamples_);
    if (tailFrom < tailTo) {
        tail_.insert(tail_.end(), pcm + (tailFrom - begin) * kBytesPerSample,
                     pcm + (tailTo - begin) * kBytesPerSample);
    }

    // AccurateRip: sample k (1-based position in the track) weighs k.
    const uint64_t arFrom = std::max(begin + 1, arFirst_);
    const uint64_t arTo = std::min(end, arLast_);
    uint32_t v1 = v1_;
    uint32_t v2 = v2_;
    uint32_t sum = arSum_;
    for (uint64_t k = arFrom; k <= arTo; ++k) {
        const uint32_t sample = SampleAt(pcm + (k - 1 - begin) * kBytesPerSample);
        const uint64_t product = static_cast<uint64_t>(sample) * static_cast<uint32_t>(k);
        v1 += static_cast<uint32_t>(product);
        v2 += static_cast<uint32_t>(product) + static_cast<uint32_t>(product >> 32);
        sum += sample;
    }
    v1_ = v1;
    v2_ = v2;
    arSum_ = sum;

    // The offset-finding sum: sector 450 alone, weights 1..588.
    const uint64_t sectorStart = kOffsetFindingSector * kSamplesPerSector;
    const uint64_t fFrom = std::max(begin, sectorStart);
    const uint64_t fTo = std::min(end, sectorStart + kSamplesPerSector);
    for (uint64_t i = fFrom; i < fTo; ++i) {
        offsetFinding_ += SampleAt(pcm + (i - begin) * kBytesPerSample) *
                          static_cast<uint32_t>(i - sectorStart + 1);
    }

    // The samples around sector 450, kept for the offset search.
    const uint64_t wFrom = std::max(begin, kWindowStart);
    const uint64_t wTo = std::min(end, kWindowStart + kWindowSamples);
    if (wFrom < wTo) {
        window_.resize(kWindowSamples);
        for (uint64_t i = wFrom; i < wTo; ++i) {
            window_[i - kWindowStart] = SampleAt(pcm + (i - begin) * kBytesPerSample);
        }
        windowFilled_ = wTo - kWindowStart;
    }
    position_ = end;
}

namespace {

// f(w) = sum of x[w + i] * (i + 1) over one sector, for every start w of
// the window; sliding by one sample takes off the sector's plain sum and
// adds the new sample 588 times.
std::vector<uint32_t> SlidingSums(const uint32_t* window) {
    std::vector<uint32_t> sums(kWindowSamples - kSamplesPerSector + 1);
    uint32_t f = 0;
    uint32_t plain = 0;
    for (uint32_t i = 0; i < kSamplesPerSector; ++i) {
        f += window[i] * (i + 1);
        plain += window[i];
    }
    for (std::size_t w = 0;; ++w) {
        sums[w] = f;
        if (w + 1 == sums.size()) {
            break;
        }
        const uint32_t incoming = window[w + kSamplesPerSector];
        f = f - plain + incoming * kSamplesPerSector;
        plain = plain - window[w] + incoming;
    }
    return sums;
}

} // namespace

std::vector<uint32_t> TrackChecksums::OffsetFindingSums() const {
    if (windowFilled_ < kWindowSamples) {
        return {};
    }
    return SlidingSums(window_.data());
}

std::vector<uint32_t> OffsetFindingSumsOfWindow(const uint8_t* pcm) {
    std::vector<uint32_t> window(kWindowSamples);
    for (std::size_t i = 0; i < window.size(); ++i) {
        window[i] = SampleAt(pcm + i * kBytesPerSample);
    }
    return SlidingSums(window.data());
}

TrackEdges TrackChecksums::Edges() const {
    TrackEdges edges;
    edges.complete = position_ >= trackSamples_;
    edges.samples = std::min(position_, trackSamples_);
    edges.arV1 = v1_;
    edges.arSum = arSum_;
    edges.crcBeforeTail = static_cast<uint32_t>(crcBeforeTail_);
    edges.head = head_;
    edges.tail = tail_;
    return edges;
}

namespace {

// CRC of samples [from, to) of a track from its edges, when `from` lies in
// the head and `to` in the tail (or the range is empty).
std::optional<uint32_t> EdgeRangeCrc(const TrackEdges& t, uint64_t from, uint64_t to) {
    const uint64_t headLen = t.head.size() / kBytesPerSample;
    const uint64_t tailLen = t.tail.size() / kBytesPerSample;
    const uint64_t tailStart = t.samples - tailLen;
    if (from >= to) {
        return static_cast<uint32_t>(crc32(0, nullptr, 0));
    }
    if (from <= headLen && to >= tailStart && to <= t.samples) {
        const uLong toCrc = CrcOver(t.crcBeforeTail, t.tail.data(),
                                    static_cast<std::size_t>((to - tailStart) * kBytesPerSample));
        const uLong fromCrc = CrcOver(crc32(0, nullptr, 0), t.head.data(),
                                      static_cast<std::size_t>(from * kBytesPerSample));
        // CRC(A + B) = shift(CRC(A), |B|) ^ CRC(B), and crc32_combine with a
        // zero second CRC is that shift.
        return static_cast<uint32_t>(
            toCrc ^ crc32_combine(fromCrc, 0, static_cast<z_off_t>((to - from) * kBytesPerSample)));
    }
    if (to <= headLen) {
        return static_cast<uint32_t>(
            CrcOver(crc32(0, nullptr, 0), t.head.data() + from * kBytesPerSample,
                    static_cast<std::size_t>((to - from) * kBytesPerSample)));
    }
    if (from >= tailStart && to <= t.samples) {
        return static_cast<uint32_t>(
            CrcOver(crc32(0, nullptr, 0), t.tail.data() + (from - tailStart) * kBytesPerSample,
                    static_cast<std::size_t>((to - from) * kBytesPerSample)));
    }
    return std::nullopt;
}

} // namespace

std::optional<uint32_t> CtdbShiftedCrc(const std::vector<TrackEdges>& disc, std::size_t track,
                                       CtdbTrim trim, int shift) {
    if (track >= disc.size()) {
        return std::nullopt;
    }
    const TrackEdges& own = disc[track];
    const int64_t length = static_cast<int64_t>(own.samples);
    const int64_t from = static_cast<int64_t>(trim.head) + shift;
    const int64_t to = length - static_cast<int64_t>(trim.tail) + shift;
    if (from >= to) {
        return static_cast<uint32_t>(crc32(0, nullptr, 0));
    }
    uLong crc = crc32(0, nullptr, 0);
    auto append = [&crc](std::optional<uint32_t> part, int64_t samples) {
        if (!part) {
            return false;
        }
        crc = crc32_combine(crc, *part, static_cast<z_off_t>(samples * kBytesPerSample));
        return true;
    };
    if (from < 0) { // the end of the previous track
        if (track == 0) {
            return std::nullopt;
        }
        const TrackEdges& prev = disc[track - 1];
        const int64_t prevLength = static_cast<int64_t>(prev.samples);
        const int64_t end = std::min<int64_t>(to, 0);
        if (prevLength + from < 0 ||
            !append(EdgeRangeCrc(prev, static_cast<uint64_t>(prevLength + from),
                                 static_cast<uint64_t>(prevLength + end)),
                    end - from)) {
            return std::nullopt;
        }
    }
    const int64_t ownFrom = std::max<int64_t>(from, 0);
    const int64_t ownTo = std::min(to, length);
    if (ownFrom < ownTo &&
        !append(EdgeRangeCrc(own, static_cast<uint64_t>(ownFrom), static_cast<uint64_t>(ownTo)),
                ownTo - ownFrom)) {
        return std::nullopt;
    }
    if (to > length) { // the start of the next track
        if (track + 1 >= disc.size()) {
            return std::nullopt;
        }
        const int64_t start = std::max(from, length);
        if (!append(EdgeRangeCrc(disc[track + 1], static_cast<uint64_t>(start - length),
                                 static_cast<uint64_t>(to - length)),
                    to - start)) {
            return std::nullopt;
        }
    }
    return static_cast<uint32_t>(crc);
}

TrackSums TrackChecksums::Result() const {
    TrackSums sums;
    sums.samples = position_;
    sums.crc32 = static_cast<uint32_t>(CrcOver(crc_, partial_, partialBytes_));
    sums.arV1 = v1_;
    sums.arV2 = v2_;
    sums.arOffsetFinding = offsetFinding_;
    sums.ctdbCrc = static_cast<uint32_t>(ctdbCrc_);
    return sums;
}


namespace {

// Sample j (from 0) of one track, from its kept head or tail.
std::optional<uint32_t> KeptSample(const TrackEdges& t, int64_t j) {
    const auto headLen = static_cast<int64_t>(t.head.size() / kBytesPerSample);
    const auto tailLen = static_cast<int64_t>(t.tail.size() / kBytesPerSample);
    const auto length = static_cast<int64_t>(t.samples);
    if (!t.complete || j < 0 || j >= length) {
        return std::nullopt;
    }
    if (j < headLen) {
        return SampleAt(t.head.data() + j * kBytesPerSample);
    }
    if (j >= length - tailLen) {
        return SampleAt(t.tail.data() + (j - (length - tailLen)) * kBytesPerSample);
    }
    return std::nullopt;
}

// Sample i of track `track` counted from its start: negative i reaches into
// the previous track, i past the end into the next one, and beyond the
// disc's first or last audio track lie zeros.
std::optional<uint32_t> DiscSample(const std::vector<TrackEdges>& disc, std::size_t track,
                                   int64_t i) {
    const TrackEdges& own = disc[track];
    const auto length = static_cast<int64_t>(own.samples);
    if (i < 0) {
        if (track == 0) {
            return 0u;
        }
        const TrackEdges& prev = disc[track - 1];
        return KeptSample(prev, static_cast<int64_t>(prev.samples) + i);
    }
    if (i >= length) {
        if (track + 1 == disc.size()) {
            return 0u;
        }
        return KeptSample(disc[track + 1], i - length);
    }
    return KeptSample(own, i);
}

TrackPlace PlaceIn(const std::vector<TrackEdges>& disc, std::size_t track) {
    return {track == 0, track + 1 == disc.size()};
}

// Adds sign * (p * x_p, x_p) over positions p in [from, to] (1-based in the
// track; the sample of position p is DiscSample(p - 1)).
bool AddPositions(const std::vector<TrackEdges>& disc, std::size_t track, int64_t from,
                  int64_t to, uint32_t sign, uint32_t& weighted, uint32_t& plain) {
    for (int64_t p = from; p <= to; ++p) {
        const std::optional<uint32_t> x = DiscSample(disc, track, p - 1);
        if (!x) {
            return false;
        }
        weighted += sign * static_cast<uint32_t>(p) * *x;
        plain += sign * *x;
    }
    return true;
}

} // namespace

std::optional<uint32_t> AccurateRipV1Shifted(const std::vector<TrackEdges>& disc,
                                             std::size_t track, int shift) {
    if (track >= disc.size() || !disc[track].complete) {
        return std::nullopt;
    }
    const TrackEdges& own = disc[track];
    const AccurateRipRange range = AccurateRipRangeOf(PlaceIn(disc, track), own.samples);
    if (range.first > range.last) {
        return std::nullopt;
    }
    // v1 at the shift is the sum over positions q of [first + shift,
    // last + shift] of (q - shift) * x_q: the weighted sum W and the plain
    // sum S of that window, W - shift * S. Both are the track's own sums
    // with the positions that leave the window taken off and those that
    // enter it added.
    const auto a = static_cast<int64_t>(range.first);
    const auto b = static_cast<int64_t>(range.last);
    const int64_t k = shift;
    uint32_t weighted = own.arV1;
    uint32_t plain = own.arSum;
    constexpr uint32_t kAdd = 1;
    constexpr uint32_t kTake = ~uint32_t{0}; // -1 modulo 2^32
    bool ok = true;
    if (k > 0) {
        ok = AddPositions(disc, track, a, std::min(b, a + k - 1), kTake, weighted, plain) &&
             AddPositions(disc, track, std::max(a + k, b + 1), b + k, kAdd, weighted, plain);
    } else if (k < 0) {
        ok = AddPositions(disc, track, a + k, std::min(b + k, a - 1), kAdd, weighted, plain) &&
             AddPositions(disc, track, std::max(b + k + 1, a), b, kTake, weighted, plain);
    }
    if (!ok) {
        return std::nullopt;
    }
    return weighted - static_cast<uint32_t>(k) * plain;
}

ShiftedAccurateRip::ShiftedAccurateRip(const std::vector<TrackEdges>& disc, std::size_t track,
                                       std::vector<int> shifts) {
    samples_ = track < disc.size() ? disc[track].samples : 0;
    range_ = track < disc.size() ? AccurateRipRangeOf(PlaceIn(disc, track), samples_)
                                 : AccurateRipRange{};
    const auto length = static_cast<int64_t>(samples_);
    for (int shift : shifts) {
        Shift entry;
        entry.shift = shift;
        entry.usable = track < disc.size() && disc[track].complete && range_.first <= range_.last;
        // Positions whose samples lie outside the track come from the
        // neighbours' edges now; the track's own arrive through Add.
        const auto first = static_cast<int64_t>(range_.first);
        const auto last = static_cast<int64_t>(range_.last);
        for (int64_t p = first; entry.usable && p <= last; ++p) {
            const int64_t i = p - 1 + shift;
            if (i >= 0 && i < length) {
                p = length - shift; // the next position outside: i == length
                continue;
            }
            const std::optional<uint32_t> x = DiscSample(disc, track, i);
            if (!x) {
                entry.usable = false;
                break;
            }
            const uint64_t product = static_cast<uint64_t>(*x) * static_cast<uint32_t>(p);
            entry.sums.v1 += static_cast<uint32_t>(product);
            entry.sums.v2 += static_cast<uint32_t>(product) + static_cast<uint32_t>(product >> 32);
        }
        shifts_.push_back(entry);
    }
}

void ShiftedAccurateRip::Add(const uint8_t* pcm, std::size_t bytes) {
    const uint64_t begin = position_;
    const uint64_t end = std::min(begin + bytes / kBytesPerSample, samples_);
    for (Shift& entry : shifts_) {
        if (!entry.usable) {
            continue;
        }
        // Own sample i sits at position i + 1 - shift.
        const int64_t from = std::max<int64_t>(static_cast<int64_t>(begin),
                                               static_cast<int64_t>(range_.first) - 1 + entry.shift);
        const int64_t to = std::min<int64_t>(static_cast<int64_t>(end) - 1,
                                             static_cast<int64_t>(range_.last) - 1 + entry.shift);
        uint32_t v1 = entry.sums.v1;
        uint32_t v2 = entry.sums.v2;
        for (int64_t i = from; i <= to; ++i) {
            const uint64_t product =
                static_cast<uint64_t>(SampleAt(
                    pcm + static_cast<uint64_t>(i - static_cast<int64_t>(begin)) * kBytesPerSample)) *
                static_cast<uint32_t>(i + 1 - entry.shift);
            v1 += static_cast<uint32_t>(product);
            v2 += static_cast<uint32_t>(product) + static_cast<uint32_t>(product >> 32);
        }
        entry.sums.v1 = v1;
        entry.sums.v2 = v2;
    }
    position_ = begin + bytes / kBytesPerSample;
}

std::vector<std::optional<AccurateRipSums>> ShiftedAccurateRip::Result() const {
    std::vector<std::optional<AccurateRipSums>> result;
    for (const Shift& entry : shifts_) {
        if (entry.usable && position_ == samples_) {
            result.emplace_back(entry.sums);
        } else {
            result.emplace_back();
        }
    }
    return result;
}
} // namespace vindral::accuracy

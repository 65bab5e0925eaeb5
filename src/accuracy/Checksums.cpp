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
    arFirst_ = place.first ? kAccurateRipEdgeSamples : 1;
    arLast_ =
        place.last
            ? (trackSamples > kAccurateRipEdgeSamples ? trackSamples - kAccurateRipEdgeSamples : 0)
            : trackSamples;
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
    for (uint64_t k = arFrom; k <= arTo; ++k) {
        const uint64_t product =
            static_cast<uint64_t>(SampleAt(pcm + (k - 1 - begin) * kBytesPerSample)) *
            static_cast<uint32_t>(k);
        v1 += static_cast<uint32_t>(product);
        v2 += static_cast<uint32_t>(product) + static_cast<uint32_t>(product >> 32);
    }
    v1_ = v1;
    v2_ = v2;

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
    edges.samples = std::min(position_, trackSamples_);
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

} // namespace vindral::accuracy

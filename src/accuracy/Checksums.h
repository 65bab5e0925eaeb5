// Per-track checksums computed while the audio arrives: the copy CRC
// (CRC32 of every byte), AccurateRip v1 and v2, the AccurateRip
// offset-finding checksum and the CTDB track CRC. One object per track,
// fed with PCM blocks of any size; nothing is read twice.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <vector>

namespace vindral::accuracy {

constexpr uint32_t kSamplesPerSector = 588; // stereo samples of one audio sector
constexpr uint32_t kBytesPerSample = 4;

// AccurateRip leaves out the first track's first five sectors less one
// sample and the last track's last five sectors.
constexpr uint64_t kAccurateRipEdgeSamples = 5 * kSamplesPerSector;
// The offset-finding checksum covers this sector of each track (counted from 0).
constexpr uint64_t kOffsetFindingSector = 450;
// CTDB leaves out the first 10 sectors of the disc's audio, and at its end
// 10 sectors plus what does not fill a whole run of 10.
constexpr uint64_t kCtdbStrideSamples = 10 * kSamplesPerSector;
// Read offsets the offset-finding window covers: ±5 sectors.
constexpr int kOffsetSearchSamples = 5 * static_cast<int>(kSamplesPerSector);

struct TrackPlace {
    bool first = false; // the first audio track of the disc
    bool last = false;  // the last audio track of the disc
};

// Samples of a track the CTDB track CRC leaves out at its head and tail.
struct CtdbTrim {
    uint64_t head = 0;
    uint64_t tail = 0;
};

// The trim of one track, given the disc's audio length in samples (from
// the first audio track's start to the end of the last audio track).
CtdbTrim CtdbTrimFor(TrackPlace place, uint64_t discAudioSamples);

struct TrackSums {
    uint64_t samples = 0;         // whole stereo samples received
    uint32_t crc32 = 0;           // every byte received
    uint32_t arV1 = 0;            // AccurateRip v1
    uint32_t arV2 = 0;            // AccurateRip v2
    uint32_t arOffsetFinding = 0; // v1 sum of sector 450 alone, weights 1..588
    uint32_t ctdbCrc = 0;         // CRC32 of the samples the CTDB trim keeps
};

// What a track keeps for sums of its samples shifted against the disc (a
// pressing with another offset): its first and last samples, 10 sectors
// beyond its CTDB trim at each end, the CRC of everything before the kept
// tail, and its AccurateRip v1 with the plain sum of the same samples.
struct TrackEdges {
    bool complete = false;      // the whole track arrived
    uint64_t samples = 0;
    uint32_t crcBeforeTail = 0; // CRC of the samples before `tail`
    uint32_t arV1 = 0;          // AccurateRip v1
    uint32_t arSum = 0;         // the samples v1 weighs, summed with weight 1
    std::vector<uint8_t> head;  // the first samples of the track
    std::vector<uint8_t> tail;  // the last samples of the track
};

// The samples AccurateRip weighs in a track: 1-based positions first..last
// (none when first > last).
struct AccurateRipRange {
    uint64_t first = 1;
    uint64_t last = 0;
};
AccurateRipRange AccurateRipRangeOf(TrackPlace place, uint64_t trackSamples);

struct AccurateRipSums {
    uint32_t v1 = 0;
    uint32_t v2 = 0;
};

// AccurateRip v1 of track `track` of `disc` (every audio track in order; an
// entry that is not `complete` stands for a track that was not read) as a
// pressing whose samples lie `shift` samples later than this disc's would
// give it: position p of that pressing's track holds this track's sample
// p - 1 + shift (counted from 0; before the track come the previous track's
// last samples, after it the next one's first, and zeros beyond the disc's
// audio). v1 is linear, so it is the track's own v1 corrected at both ends
// from the kept edges. Nothing when the edges do not hold the samples
// needed or the track has no samples to weigh; |shift| <=
// kOffsetSearchSamples is always covered for tracks of 10 sectors or more.
std::optional<uint32_t> AccurateRipV1Shifted(const std::vector<TrackEdges>& disc,
                                             std::size_t track, int shift);

// AccurateRip v1 and v2 of one track for a few shifts of the disc (as
// AccurateRipV1Shifted), from the track's own samples fed in order (read
// back from its file) and the neighbours' kept edges: v2 folds 64-bit
// products and cannot be moved like v1, so it is summed again.
class ShiftedAccurateRip {
public:
    ShiftedAccurateRip(const std::vector<TrackEdges>& disc, std::size_t track,
                       std::vector<int> shifts);

    // Little-endian 16-bit stereo PCM, whole samples.
    void Add(const uint8_t* pcm, std::size_t bytes);

    // One element per shift, in the order given; nothing for a shift whose
    // samples the edges do not hold, and for all of them until exactly the
    // track's samples have arrived.
    std::vector<std::optional<AccurateRipSums>> Result() const;

private:
    struct Shift {
        int shift = 0;
        bool usable = false;
        AccurateRipSums sums;
    };
    uint64_t samples_;
    AccurateRipRange range_;
    uint64_t position_ = 0;
    std::vector<Shift> shifts_;
};

// The CTDB CRC of track `track` of `disc` (its audio tracks in order, each
// completely received) as it would be with the whole disc shifted by
// `shift` samples: the trimmed range moves `shift` samples later (into the
// next track when positive, from the previous one when negative). Nothing
// when the range leaves the disc or what the edges hold; shifts of up to
// ±5880 samples are covered.
std::optional<uint32_t> CtdbShiftedCrc(const std::vector<TrackEdges>& disc, std::size_t track,
                                       CtdbTrim trim, int shift);

class TrackChecksums {
public:
    // trackSamples: the track's full length in stereo samples (needed for
    // the end exclusions). The trim defaults to none.
    TrackChecksums(uint64_t trackSamples, TrackPlace place, CtdbTrim trim = {});

    // Little-endian 16-bit stereo PCM; a block may end inside a sample.
    void Add(const uint8_t* pcm, std::size_t bytes);

    // The sums of what has arrived so far.
    TrackSums Result() const;

    // The offset-finding sum of the sector that starts `shift` samples after
    // sector 450, for every shift from -kOffsetSearchSamples to
    // +kOffsetSearchSamples (element 0 is the most negative shift). When
    // the database's sum for the track equals the one at `shift`, the
    // reading needs a read-offset correction of +shift samples. Empty until
    // sectors 445 to 455 of the track have arrived.
    std::vector<uint32_t> OffsetFindingSums() const;

    // The track's edges, once the whole track has arrived.
    TrackEdges Edges() const;

private:
    void AddSamples(const uint8_t* pcm, uint64_t count);

    uint64_t trackSamples_;
    uint64_t arFirst_; // 1-based positions counted by AccurateRip
    uint64_t arLast_;
    uint64_t ctdbFirst_; // 0-based range [first, end) for the CTDB CRC
    uint64_t ctdbEnd_;
    uint64_t position_ = 0; // samples so far
    unsigned long crc_;
    unsigned long ctdbCrc_;
    uint32_t v1_ = 0;
    uint32_t v2_ = 0;
    uint32_t arSum_ = 0;
    uint32_t offsetFinding_ = 0;
    uint64_t headKeep_;  // samples kept at the head
    uint64_t tailStart_; // first sample of the kept tail
    unsigned long crcBeforeTail_;
    std::vector<uint8_t> head_;
    std::vector<uint8_t> tail_;
    std::vector<uint32_t> window_; // samples of sectors 445..455
    uint64_t windowFilled_ = 0;
    uint8_t partial_[kBytesPerSample] = {};
    std::size_t partialBytes_ = 0;
};

// The first sector of a track that the offset search looks at, and how
// many: the sectors around sector 450 that OffsetFindingSums needs.
constexpr uint64_t kOffsetWindowFirstSector =
    kOffsetFindingSector - static_cast<uint64_t>(kOffsetSearchSamples) / kSamplesPerSector;
constexpr uint64_t kOffsetWindowSectors =
    2 * static_cast<uint64_t>(kOffsetSearchSamples) / kSamplesPerSector + 1;

// OffsetFindingSums from those sectors alone (kOffsetWindowSectors whole
// sectors of PCM from the track's sector kOffsetWindowFirstSector on).
std::vector<uint32_t> OffsetFindingSumsOfWindow(const uint8_t* pcm);

// CRC32 (zlib's) of a byte run, for callers that need no other sum.
uint32_t Crc32(const uint8_t* data, std::size_t bytes, uint32_t previous = 0);

} // namespace vindral::accuracy

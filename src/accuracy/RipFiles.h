// The files of a finished rip seen as the disc's audio: every audio track
// of the disc, in disc order, in WAV or FLAC files (one per track, or one
// for the whole disc). The audio is read in pieces in disc order, and a file
// is rewritten with some of its samples replaced, through a temporary file
// that takes the file's name only when complete.
#pragma once

#include <cstddef>
#include <cstdint>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "accuracy/DiscIds.h"

namespace vindral::accuracy {

// One audio track of a rip: where its samples lie.
struct RipTrackFile {
    int number = 0;
    std::string path;         // a WAV or FLAC file of CD audio
    uint64_t firstSample = 0; // the track's first sample in that file
    uint64_t samples = 0;     // the track's length in samples
};

struct RipFiles {
    DiscToc toc;
    // Every audio track of the disc, in disc order: sample 0 of the disc's
    // audio is the first track's first sample.
    std::vector<RipTrackFile> tracks;

    uint64_t Samples() const;
    // The disc sample where track `k` (index into `tracks`) starts.
    uint64_t TrackStart(std::size_t k) const;
};

// Reads a rip's audio in disc order. Files are opened when first needed and
// kept open.
class RipAudioReader {
public:
    explicit RipAudioReader(const RipFiles& files);
    ~RipAudioReader();
    RipAudioReader(const RipAudioReader&) = delete;
    RipAudioReader& operator=(const RipAudioReader&) = delete;

    // Fills `count` samples (4 bytes each) from disc sample `first` on.
    // False with `error` set ("<path>: <reason>") when a file cannot be read,
    // is not CD audio, or is shorter than its tracks.
    bool Read(uint64_t first, std::size_t count, uint8_t* out, std::string& error);

private:
    struct Open;
    Open* FileOf(const std::string& path, std::string& error);

    const RipFiles& files_;
    std::vector<uint64_t> starts_;
    std::map<std::string, std::unique_ptr<Open>> open_;
};

// Samples to put in place of a file's own: sample position in the file
// (counted from its first sample) → the right 4 bytes, little-endian.
using SampleFixes = std::map<uint64_t, uint32_t>;

// Writes `path` again with `fixes` in place of its samples: a WAV file byte
// for byte as it was but for those samples, a FLAC file encoded anew (level
// 8) with its tags and front cover. The new file replaces the old only when
// complete and flushed to the disk; on failure the old one stays and
// `error` says why.
bool RewriteWithFixes(const std::string& path, const SampleFixes& fixes, std::string& error);

} // namespace vindral::accuracy

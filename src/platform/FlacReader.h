// Random-access reading of a FLAC file of CD audio (44.1 kHz, 16 bits,
// stereo) through libFLAC's stream decoder: the frames of any stretch come
// out as interleaved 16-bit little-endian stereo, as a WAV file holds them.
// Reads that follow each other decode on; a read elsewhere seeks.
//
// A file that is not FLAC, is FLAC of another format, does not record its
// length, or cannot be decoded to its last sample is refused when it is
// opened, with a reason that continues the file's name ("'x.flac' is ...").
// Damage found later (a frame whose checksum is wrong) fails that read.
//
// Builds without libFLAC (the Windows cross build) refuse every file.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <string>

namespace vindral::platform {

enum class FlacFault {
    kNone,
    kCannotOpen,  // the file cannot be opened or read
    kNotFlac,     // no FLAC stream, or its header is broken
    kUnsupported, // FLAC, but not 44.1 kHz 16-bit stereo, or of unknown length
    kDamaged,     // cut short, or its audio cannot be decoded
};

// The first bytes of a file say FLAC: "fLaC", or an ID3v2 tag that libFLAC
// skips before it.
bool LooksLikeFlac(const uint8_t* head, std::size_t bytes);

class FlacReader {
public:
    // Reads `length` bytes at `offset` of the file; false when it cannot.
    // Called only under the reader's lock.
    using ReadAtFunction = std::function<bool(uint64_t offset, void* out, std::size_t length)>;

    // Opens the FLAC file at `path`. nullptr with `fault` and `reason` set
    // when it cannot be read as CD audio.
    static std::unique_ptr<FlacReader> Open(const std::string& path, FlacFault& fault,
                                            std::string& reason);
    // The same over `size` bytes that `readAt` fetches (an image file, memory).
    static std::unique_ptr<FlacReader> Open(uint64_t size, ReadAtFunction readAt,
                                            FlacFault& fault, std::string& reason);

    ~FlacReader();
    FlacReader(const FlacReader&) = delete;
    FlacReader& operator=(const FlacReader&) = delete;

    // Stereo frames of the file, as its STREAMINFO block states.
    uint64_t TotalFrames() const { return totalFrames_; }

    // Writes frames `first` ... `first + count - 1` to `out` (4 bytes each).
    // False, with `out` undefined, when they reach past the end or cannot be
    // decoded. Safe to call from several threads at once.
    bool Read(uint64_t first, std::size_t count, uint8_t* out);
    // The same as far as it goes: the frames written before the end of the
    // file or the first that cannot be decoded.
    std::size_t ReadUpTo(uint64_t first, std::size_t count, uint8_t* out);

    struct Decoder; // libFLAC's state and the last decoded block

private:
    FlacReader() = default;

    std::mutex mutex_;
    std::unique_ptr<Decoder> decoder_;
    uint64_t totalFrames_ = 0;
};

} // namespace vindral::platform

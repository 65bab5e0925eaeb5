#include "platform/media/WaveFile.h"

#include <cstring>

namespace vindral::platform {

namespace {

constexpr uint16_t kFormatPcm = 1;
constexpr uint16_t kFormatExtensible = 0xFFFE;

uint16_t Get16(const uint8_t* p) { return static_cast<uint16_t>(p[0] | (p[1] << 8)); }

uint32_t Get32(const uint8_t* p) {
    return static_cast<uint32_t>(p[0]) | (static_cast<uint32_t>(p[1]) << 8) |
           (static_cast<uint32_t>(p[2]) << 16) | (static_cast<uint32_t>(p[3]) << 24);
}

bool ReadExactly(std::FILE* file, uint8_t* out, std::size_t bytes) {
    return std::fread(out, 1, bytes, file) == bytes;
}

bool SeekTo(std::FILE* file, uint64_t offset) {
#if defined(_WIN32)
    return _fseeki64(file, static_cast<__int64>(offset), SEEK_SET) == 0;
#else
    return fseeko(file, static_cast<off_t>(offset), SEEK_SET) == 0;
#endif
}

uint64_t FileSize(std::FILE* file) {
#if defined(_WIN32)
    if (_fseeki64(file, 0, SEEK_END) != 0) {
        return 0;
    }
    const __int64 size = _ftelli64(file);
#else
    if (fseeko(file, 0, SEEK_END) != 0) {
        return 0;
    }
    const off_t size = ftello(file);
#endif
    return size < 0 ? 0 : static_cast<uint64_t>(size);
}

} // namespace

WaveError ReadWaveFormat(std::FILE* file, WaveFormat& format) {
    const uint64_t size = FileSize(file);
    uint8_t riff[12];
    if (!SeekTo(file, 0) || !ReadExactly(file, riff, sizeof riff) ||
        std::memcmp(riff, "RIFF", 4) != 0 || std::memcmp(riff + 8, "WAVE", 4) != 0) {
        return WaveError::kNotWave;
    }
    bool haveFormat = false;
    uint64_t at = 12;
    while (at + 8 <= size) {
        uint8_t head[8];
        if (!SeekTo(file, at) || !ReadExactly(file, head, sizeof head)) {
            return WaveError::kNotWave;
        }
        const uint32_t chunkBytes = Get32(head + 4);
        const uint64_t body = at + 8;
        if (std::memcmp(head, "fmt ", 4) == 0) {
            if (chunkBytes < 16 || body + chunkBytes > size) {
                return WaveError::kNotWave;
            }
            uint8_t fmt[40] = {};
            const std::size_t take = chunkBytes < sizeof fmt ? chunkBytes : sizeof fmt;
            if (!ReadExactly(file, fmt, take)) {
                return WaveError::kNotWave;
            }
            format.formatTag = Get16(fmt);
            format.channels = Get16(fmt + 2);
            format.sampleRate = Get32(fmt + 4);
            format.blockAlign = Get16(fmt + 12);
            format.bitsPerSample = Get16(fmt + 14);
            // An extensible header names the real format in its sub-format.
            if (format.formatTag == kFormatExtensible && take >= 26) {
                format.formatTag = Get16(fmt + 24);
            }
            haveFormat = true;
        } else if (std::memcmp(head, "data", 4) == 0) {
            if (!haveFormat) {
                return WaveError::kNotWave;
            }
            format.dataOffset = body;
            // A file cut short (an interrupted copy) plays as far as it goes.
            const uint64_t available = size - body;
            format.dataBytes = chunkBytes < available ? chunkBytes : available;
            if (format.formatTag != kFormatPcm || format.channels != kOutputChannels ||
                format.sampleRate != static_cast<uint32_t>(kOutputRate) ||
                format.bitsPerSample != kOutputBits || format.blockAlign != kFrameBytes) {
                return WaveError::kUnsupported;
            }
            return WaveError::kNone;
        }
        // Chunks are padded to an even length.
        at = body + chunkBytes + (chunkBytes & 1u);
    }
    return WaveError::kNotWave;
}

std::shared_ptr<WaveFileSource> WaveFileSource::Open(const std::string& path, WaveError& error) {
    std::FILE* file = std::fopen(path.c_str(), "rb");
    if (file == nullptr) {
        error = WaveError::kNotFound;
        return nullptr;
    }
    WaveFormat format;
    error = ReadWaveFormat(file, format);
    if (error != WaveError::kNone) {
        std::fclose(file);
        return nullptr;
    }
    return std::shared_ptr<WaveFileSource>(new WaveFileSource(file, format));
}

WaveFileSource::WaveFileSource(std::FILE* file, const WaveFormat& format)
    : file_(file), format_(format), totalFrames_(format.dataBytes / kFrameBytes) {}

WaveFileSource::~WaveFileSource() { std::fclose(file_); }

void WaveFileSource::Seek(uint64_t frame) {
    nextFrame_ = frame < totalFrames_ ? frame : totalFrames_;
    positioned_ = false;
}

std::size_t WaveFileSource::Read(uint8_t* out, std::size_t frames) {
    const uint64_t left = totalFrames_ - nextFrame_;
    const std::size_t want = left < frames ? static_cast<std::size_t>(left) : frames;
    if (want == 0) {
        return 0;
    }
    if (!positioned_) {
        if (!SeekTo(file_, format_.dataOffset + nextFrame_ * kFrameBytes)) {
            return 0;
        }
        positioned_ = true;
    }
    const std::size_t got = std::fread(out, kFrameBytes, want, file_);
    nextFrame_ += got;
    if (got < want) {
        // The file shrank under us: what is left counts as the end.
        totalFrames_ = nextFrame_;
        positioned_ = false;
    }
    return got;
}

} // namespace vindral::platform

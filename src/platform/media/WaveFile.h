// Reading a WAV file for playback: the RIFF chunks up to the audio data, and
// the data chunk as a source of frames.
#pragma once

#include <cstdint>
#include <cstdio>
#include <memory>
#include <string>

#include "platform/media/AudioOutput.h"

namespace vindral::platform {

struct WaveFormat {
    uint16_t formatTag = 0; // 1: PCM
    uint16_t channels = 0;
    uint32_t sampleRate = 0;
    uint16_t bitsPerSample = 0;
    uint16_t blockAlign = 0;
    uint64_t dataOffset = 0; // of the first audio byte in the file
    uint64_t dataBytes = 0;  // as far as the file really holds them
};

enum class WaveError {
    kNone,
    kNotFound,    // no such file, or it cannot be opened for reading
    kNotWave,     // no RIFF/WAVE header, a broken chunk, no format or data chunk
    kUnsupported, // a WAV file, but not 44.1 kHz 16-bit stereo PCM
};

// Reads the chunk list of an open file; the file position is left anywhere.
WaveError ReadWaveFormat(std::FILE* file, WaveFormat& format);

// A file the wave device plays, frame by frame, with a position to move.
class FileFrameSource : public FrameSource {
public:
    virtual uint64_t TotalFrames() const = 0;
    virtual uint64_t NextFrame() const = 0;
    // Moves to `frame`, at most to the end.
    virtual void Seek(uint64_t frame) = 0;
};

// The data chunk of one WAV file, frame by frame.
class WaveFileSource : public FileFrameSource {
public:
    // nullptr with `error` set when the file cannot be played.
    static std::shared_ptr<WaveFileSource> Open(const std::string& path, WaveError& error);
    ~WaveFileSource() override;

    WaveFileSource(const WaveFileSource&) = delete;
    WaveFileSource& operator=(const WaveFileSource&) = delete;

    std::size_t Read(uint8_t* out, std::size_t frames) override;

    uint64_t TotalFrames() const override { return totalFrames_; }
    uint64_t NextFrame() const override { return nextFrame_; }
    void Seek(uint64_t frame) override;

private:
    WaveFileSource(std::FILE* file, const WaveFormat& format);

    std::FILE* file_;
    WaveFormat format_;
    uint64_t totalFrames_ = 0;
    uint64_t nextFrame_ = 0;
    bool positioned_ = false;
};

} // namespace vindral::platform

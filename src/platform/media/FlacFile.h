// Reading a FLAC file for playback, and opening whichever of a WAV or a FLAC
// file a path names.
#pragma once

#include <cstdint>
#include <memory>
#include <string>

#include "platform/FlacReader.h"
#include "platform/media/WaveFile.h"

namespace vindral::platform {

// The decoded samples of one FLAC file of 44.1 kHz 16-bit stereo.
class FlacFileSource : public FileFrameSource {
public:
    // nullptr with `error` set when the file cannot be played: kNotFound
    // when it cannot be opened, kUnsupported for FLAC of another format,
    // kNotWave when it is no FLAC file or is damaged.
    static std::shared_ptr<FlacFileSource> Open(const std::string& path, WaveError& error);

    std::size_t Read(uint8_t* out, std::size_t frames) override;

    uint64_t TotalFrames() const override { return totalFrames_; }
    uint64_t NextFrame() const override { return nextFrame_; }
    void Seek(uint64_t frame) override;

private:
    explicit FlacFileSource(std::unique_ptr<FlacReader> reader);

    std::unique_ptr<FlacReader> reader_;
    uint64_t totalFrames_ = 0;
    uint64_t nextFrame_ = 0;
};

// Opens `path` as a FLAC file when its first bytes say so, else as a WAV
// file; nullptr with `error` set when it cannot be played.
std::shared_ptr<FileFrameSource> OpenPlayableFile(const std::string& path, WaveError& error);

} // namespace vindral::platform

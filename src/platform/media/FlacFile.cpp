#include "platform/media/FlacFile.h"

#include <cstdio>

namespace vindral::platform {

std::shared_ptr<FlacFileSource> FlacFileSource::Open(const std::string& path, WaveError& error) {
    FlacFault fault = FlacFault::kNone;
    std::string reason;
    std::unique_ptr<FlacReader> reader = FlacReader::Open(path, fault, reason);
    switch (fault) {
    case FlacFault::kNone:
        break;
    case FlacFault::kCannotOpen:
        error = WaveError::kNotFound;
        return nullptr;
    case FlacFault::kUnsupported:
        error = WaveError::kUnsupported;
        return nullptr;
    case FlacFault::kNotFlac:
    case FlacFault::kDamaged:
        error = WaveError::kNotWave;
        return nullptr;
    }
    error = WaveError::kNone;
    return std::shared_ptr<FlacFileSource>(new FlacFileSource(std::move(reader)));
}

FlacFileSource::FlacFileSource(std::unique_ptr<FlacReader> reader)
    : reader_(std::move(reader)), totalFrames_(reader_->TotalFrames()) {}

void FlacFileSource::Seek(uint64_t frame) {
    nextFrame_ = frame < totalFrames_ ? frame : totalFrames_;
}

std::size_t FlacFileSource::Read(uint8_t* out, std::size_t frames) {
    const uint64_t left = totalFrames_ - nextFrame_;
    const std::size_t want = left < frames ? static_cast<std::size_t>(left) : frames;
    if (want == 0) {
        return 0;
    }
    const std::size_t got = reader_->ReadUpTo(nextFrame_, want, out);
    nextFrame_ += got;
    if (got < want) {
        // Damage in the middle of the file: what comes before it is played,
        // and the damage counts as the end.
        totalFrames_ = nextFrame_;
    }
    return got;
}

std::shared_ptr<FileFrameSource> OpenPlayableFile(const std::string& path, WaveError& error) {
    std::FILE* file = std::fopen(path.c_str(), "rb");
    if (file == nullptr) {
        error = WaveError::kNotFound;
        return nullptr;
    }
    uint8_t head[4] = {};
    const std::size_t got = std::fread(head, 1, sizeof head, file);
    std::fclose(file);
    if (LooksLikeFlac(head, got)) {
        return FlacFileSource::Open(path, error);
    }
    return WaveFileSource::Open(path, error);
}

} // namespace vindral::platform

#include "platform/media/AudioOutput.h"

#include <algorithm>

namespace vindral::platform {

namespace {

constexpr std::size_t kScratchFrames = 4096;

bool IsCdFormat(int rate, int bits, int channels) {
    return rate == kOutputRate && bits == kOutputBits && channels == kOutputChannels;
}

} // namespace

SilentAudioOutput::SilentAudioOutput(TickSource clock) : clock_(std::move(clock)) {}

bool SilentAudioOutput::Open(int rate, int bits, int channels) {
    return IsCdFormat(rate, bits, channels);
}

bool SilentAudioOutput::Start(std::shared_ptr<FrameSource> source) {
    source_ = std::move(source);
    lastTick_ = clock_();
    elapsedMs_ = 0;
    played_ = 0;
    running_ = source_ != nullptr;
    paused_ = false;
    exhausted_ = false;
    return running_;
}

void SilentAudioOutput::Advance() {
    if (!running_ || paused_) {
        return;
    }
    const uint32_t now = clock_();
    elapsedMs_ += static_cast<uint32_t>(now - lastTick_); // wraps like the tick
    lastTick_ = now;
    if (exhausted_) {
        return;
    }
    // Whole frames due since the start, from the total time: no drift from
    // rounding each step.
    const uint64_t due = elapsedMs_ * kOutputRate / 1000;
    if (scratch_.empty()) {
        scratch_.resize(kScratchFrames * kFrameBytes);
    }
    while (played_ < due) {
        const std::size_t want =
            static_cast<std::size_t>(std::min<uint64_t>(due - played_, kScratchFrames));
        const std::size_t got = source_->Read(scratch_.data(), want);
        played_ += got;
        if (got < want) {
            exhausted_ = true;
            break;
        }
    }
}

void SilentAudioOutput::Pause() {
    Advance();
    paused_ = true;
}

void SilentAudioOutput::Resume() {
    if (paused_) {
        lastTick_ = clock_();
        paused_ = false;
    }
}

void SilentAudioOutput::Stop() {
    Advance();
    running_ = false;
    paused_ = false;
    source_.reset();
}

uint64_t SilentAudioOutput::FramesPlayed() {
    Advance();
    return played_;
}

RecordingAudioOutput::RecordingAudioOutput(std::shared_ptr<Record> record, bool openSucceeds)
    : record_(std::move(record)), openSucceeds_(openSucceeds) {}

bool RecordingAudioOutput::Open(int rate, int bits, int channels) {
    record_->events.push_back("open " + std::to_string(rate) + " " + std::to_string(bits) + " " +
                              std::to_string(channels));
    return openSucceeds_ && IsCdFormat(rate, bits, channels);
}

bool RecordingAudioOutput::Start(std::shared_ptr<FrameSource> source) {
    record_->events.push_back("start");
    source_ = std::move(source);
    played_ = 0;
    paused_ = false;
    return source_ != nullptr;
}

void RecordingAudioOutput::Pause() {
    record_->events.push_back("pause");
    paused_ = true;
}

void RecordingAudioOutput::Resume() {
    record_->events.push_back("resume");
    paused_ = false;
}

void RecordingAudioOutput::Stop() {
    record_->events.push_back("stop");
    source_.reset();
    paused_ = false;
}

std::size_t RecordingAudioOutput::Consume(std::size_t frames) {
    if (!source_ || paused_) {
        return 0;
    }
    std::vector<uint8_t> buffer(frames * kFrameBytes);
    const std::size_t got = source_->Read(buffer.data(), frames);
    record_->audio.insert(record_->audio.end(), buffer.begin(),
                          buffer.begin() + static_cast<std::ptrdiff_t>(got * kFrameBytes));
    played_ += got;
    return got;
}

OutputFactory FirstOpeningOutput(std::vector<OutputFactory> makers) {
    return [makers = std::move(makers)]() -> std::unique_ptr<AudioOutput> {
        for (const OutputFactory& make : makers) {
            if (!make) {
                continue;
            }
            std::unique_ptr<AudioOutput> output = make();
            if (output && output->Open(kOutputRate, kOutputBits, kOutputChannels)) {
                return output;
            }
        }
        return nullptr;
    };
}

} // namespace vindral::platform

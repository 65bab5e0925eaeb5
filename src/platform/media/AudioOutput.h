// Where the media interpreter's wave device sends its audio: an output that
// pulls frames of 16-bit stereo at 44.1 kHz from a source and counts the
// frames it has consumed. A real output plays them on a sound device; the
// silent one consumes them at the pace of a millisecond clock, for machines
// without a sound device and for tests.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "platform/Platform.h"

namespace vindral::platform {

constexpr int kOutputRate = 44100;
constexpr int kOutputBits = 16;
constexpr int kOutputChannels = 2;
constexpr std::size_t kFrameBytes = 4;

// Frames of interleaved 16-bit little-endian stereo.
class FrameSource {
public:
    virtual ~FrameSource() = default;
    // Copies up to `frames` frames into `out` (4 bytes each); returns how
    // many, 0 once the source is exhausted.
    virtual std::size_t Read(uint8_t* out, std::size_t frames) = 0;
};

class AudioOutput {
public:
    virtual ~AudioOutput() = default;
    // Prepares the output for `rate` Hz, `bits` bits, `channels` channels.
    // False when no device can play that.
    virtual bool Open(int rate, int bits, int channels) = 0;
    // Streams from `source` from its current frame on, replacing any
    // previous source; the count of played frames starts again at 0.
    virtual bool Start(std::shared_ptr<FrameSource> source) = 0;
    virtual void Pause() = 0;
    virtual void Resume() = 0;
    // Stops streaming and lets go of the source; the count stays readable.
    virtual void Stop() = 0;
    // Frames consumed since the last Start.
    virtual uint64_t FramesPlayed() = 0;
};

using OutputFactory = std::function<std::unique_ptr<AudioOutput>()>;

// Consumes frames in real time by a millisecond clock and plays nothing.
class SilentAudioOutput : public AudioOutput {
public:
    explicit SilentAudioOutput(TickSource clock = TickCount);

    bool Open(int rate, int bits, int channels) override;
    bool Start(std::shared_ptr<FrameSource> source) override;
    void Pause() override;
    void Resume() override;
    void Stop() override;
    uint64_t FramesPlayed() override;

private:
    void Advance();

    TickSource clock_;
    std::shared_ptr<FrameSource> source_;
    std::vector<uint8_t> scratch_;
    uint32_t lastTick_ = 0;
    uint64_t elapsedMs_ = 0;
    uint64_t played_ = 0;
    bool running_ = false;
    bool paused_ = false;
    bool exhausted_ = false;
};

// Keeps what it is asked to do and the audio it consumed; frames are consumed
// only when the test calls Consume.
class RecordingAudioOutput : public AudioOutput {
public:
    struct Record {
        std::vector<std::string> events; // "open 44100 16 2", "start", "pause", ...
        std::vector<uint8_t> audio;       // every byte consumed, in order
    };

    // `record` outlives the output so that a test can look at it after the
    // interpreter has destroyed the output. `openSucceeds` false: no device.
    explicit RecordingAudioOutput(std::shared_ptr<Record> record, bool openSucceeds = true);

    bool Open(int rate, int bits, int channels) override;
    bool Start(std::shared_ptr<FrameSource> source) override;
    void Pause() override;
    void Resume() override;
    void Stop() override;
    uint64_t FramesPlayed() override { return played_; }

    // Pulls up to `frames` frames from the source (none while paused or
    // stopped); returns how many came.
    std::size_t Consume(std::size_t frames);

private:
    std::shared_ptr<Record> record_;
    bool openSucceeds_;
    std::shared_ptr<FrameSource> source_;
    uint64_t played_ = 0;
    bool paused_ = false;
};

// Makes the first of `makers` whose output opens for 44.1 kHz 16-bit stereo,
// or nullptr when none does. Typically the real output, then the silent one.
OutputFactory FirstOpeningOutput(std::vector<OutputFactory> makers);

} // namespace vindral::platform

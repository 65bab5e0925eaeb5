// The real audio output of the media interpreter: a QAudioSink fed by a
// timer on the window thread, which counts the frames the sink has taken.
#pragma once

#include <QAudioDevice>
#include <QAudioFormat>
#include <QElapsedTimer>
#include <QTimer>

#include <cstdint>
#include <memory>
#include <vector>

#include "platform/media/AudioOutput.h"

class QAudioSink;
class QIODevice;

namespace vindral::ui {

class QtAudioOutput : public platform::AudioOutput {
public:
    // How often the sink's free space is refilled.
    static constexpr int kFeedMilliseconds = 10;

    QtAudioOutput();
    ~QtAudioOutput() override;

    QtAudioOutput(const QtAudioOutput&) = delete;
    QtAudioOutput& operator=(const QtAudioOutput&) = delete;

    // False at once when there is no output device or the sink cannot be
    // opened (no sound server): the cue for the silent output.
    bool Open(int rate, int bits, int channels) override;
    bool Start(std::shared_ptr<platform::FrameSource> source) override;
    void Pause() override;
    void Resume() override;
    void Stop() override;
    // Frames by the stream's running time (pauses left out); after the end
    // of the source, or a failure of the sink, no more than the sink took.
    uint64_t FramesPlayed() override;

    // The real output first, the silent one on the system tick when no
    // device opens; for MediaInterpreter.
    static platform::OutputFactory FactoryWithFallback();

private:
    void Feed();
    uint64_t RunningMilliseconds() const;
    // The count of a live stream (the sink is there).
    uint64_t CountPlayed();
    void EndStream();

    QAudioDevice device_;
    QAudioFormat format_;
    std::unique_ptr<QAudioSink> sink_;
    QIODevice* input_ = nullptr; // owned by the sink
    QTimer feeder_;
    std::shared_ptr<platform::FrameSource> source_;
    std::vector<uint8_t> pending_; // read from the source, not yet taken by the sink
    std::size_t pendingAt_ = 0;
    uint64_t taken_ = 0;  // bytes the sink has accepted in this stream
    QElapsedTimer sinceResume_;
    uint64_t runningBefore_ = 0; // ms the stream ran before the last pause
    uint64_t played_ = 0; // never goes back while one stream lasts
    bool running_ = false;
    bool paused_ = false;
    bool exhausted_ = false; // the source has given its last frame
    bool ending_ = false;    // EndStream is under way
};

} // namespace vindral::ui

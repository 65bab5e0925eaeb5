#include "ui/player/QtAudioOutput.h"

#include <QAudioSink>
#include <QIODevice>
#include <QMediaDevices>

#include <algorithm>

namespace vindral::ui {

using platform::kFrameBytes;

namespace {

// At most this much is read from the file per refill.
constexpr std::size_t kMaxFeedFrames = 16384;
// The sink's buffer: about half a second (the sound server may grant less).
constexpr qsizetype kSinkBufferBytes = platform::kOutputRate / 2 * kFrameBytes;

} // namespace

QtAudioOutput::QtAudioOutput() {
    QObject::connect(&feeder_, &QTimer::timeout, [this] { Feed(); });
}

QtAudioOutput::~QtAudioOutput() { EndStream(); }

bool QtAudioOutput::Open(int rate, int bits, int channels) {
    if (bits != 16) {
        return false;
    }
    const QAudioDevice device = QMediaDevices::defaultAudioOutput();
    if (device.isNull()) {
        return false;
    }
    QAudioFormat format;
    format.setSampleRate(rate);
    format.setChannelCount(channels);
    format.setSampleFormat(QAudioFormat::Int16);
    if (!device.isFormatSupported(format)) {
        return false;
    }
    // Starting a sink shows whether it opens; without a sound server it
    // fails at once with an open error.
    QAudioSink probe(device, format);
    QIODevice* input = probe.start();
    const bool opened = input != nullptr && probe.error() != QAudio::OpenError &&
                        probe.state() != QAudio::StoppedState;
    probe.stop();
    if (!opened) {
        return false;
    }
    device_ = device;
    format_ = format;
    return true;
}

bool QtAudioOutput::Start(std::shared_ptr<platform::FrameSource> source) {
    EndStream();
    if (ending_ || device_.isNull() || !source) {
        return false;
    }
    // Every stream gets a sink of its own: a stopped sink of Qt 6.4 does not
    // always stream again after a new start.
    sink_ = std::make_unique<QAudioSink>(device_, format_);
    sink_->setBufferSize(kSinkBufferBytes);
    input_ = sink_->start();
    if (input_ == nullptr || sink_->error() == QAudio::OpenError) {
        EndStream();
        return false;
    }
    source_ = std::move(source);
    taken_ = 0;
    played_ = 0;
    runningBefore_ = 0;
    exhausted_ = false;
    sinceResume_.start();
    paused_ = false;
    running_ = true;
    Feed();
    feeder_.start(kFeedMilliseconds);
    return true;
}

void QtAudioOutput::Feed() {
    if (!running_ || paused_ || ending_ || input_ == nullptr || !sink_) {
        return;
    }
    // Fill all the free space: a sound server waits for a full buffer before
    // it begins to play a stream.
    for (int round = 0; round < 4; ++round) {
        const qsizetype free = sink_->bytesFree();
        if (free < static_cast<qsizetype>(kFrameBytes)) {
            return;
        }
        if (pendingAt_ == pending_.size()) {
            const std::size_t frames =
                std::min(static_cast<std::size_t>(free) / kFrameBytes, kMaxFeedFrames);
            pending_.resize(frames * kFrameBytes);
            const std::size_t got = source_->Read(pending_.data(), frames);
            pending_.resize(got * kFrameBytes);
            pendingAt_ = 0;
            if (got == 0) {
                exhausted_ = true; // the sink plays out what it holds
                return;
            }
        }
        const std::size_t bytes = std::min(pending_.size() - pendingAt_,
                                           static_cast<std::size_t>(free) / kFrameBytes * kFrameBytes);
        const qint64 written =
            input_->write(reinterpret_cast<const char*>(pending_.data() + pendingAt_),
                          static_cast<qint64>(bytes));
        if (written <= 0) {
            return;
        }
        pendingAt_ += static_cast<std::size_t>(written);
        taken_ += static_cast<uint64_t>(written);
    }
}

uint64_t QtAudioOutput::RunningMilliseconds() const {
    return runningBefore_ + (paused_ ? 0 : static_cast<uint64_t>(sinceResume_.elapsed()));
}

uint64_t QtAudioOutput::FramesPlayed() {
    // While a stream ends, the sink may be half gone; the count stays.
    if (!running_ || ending_ || !sink_) {
        return played_;
    }
    return CountPlayed();
}

uint64_t QtAudioOutput::CountPlayed() {
    // A sound server takes a stream's data in bursts and may hold a new
    // stream back for as long as its own latency (up to two seconds): the
    // count of taken frames stalls while the stream plays on. So the stream's
    // running time counts, and once the file is at its end or the sink has
    // failed, no more than the frames the sink really took.
    const bool failed = sink_->state() == QAudio::StoppedState && sink_->error() != QAudio::NoError;
    if (failed) {
        exhausted_ = true;
    }
    uint64_t frames = RunningMilliseconds() * platform::kOutputRate / 1000;
    if (exhausted_) {
        frames = std::min(frames, taken_ / kFrameBytes);
    }
    played_ = std::max(played_, frames);
    return played_;
}

void QtAudioOutput::Pause() {
    if (running_ && !paused_ && !ending_ && sink_) {
        FramesPlayed();
        runningBefore_ = RunningMilliseconds();
        sink_->suspend();
        paused_ = true;
    }
}

void QtAudioOutput::Resume() {
    if (running_ && paused_ && !ending_ && sink_) {
        sink_->resume();
        sinceResume_.start();
        paused_ = false;
        Feed();
    }
}

void QtAudioOutput::Stop() { EndStream(); }

void QtAudioOutput::EndStream() {
    // Stopping and destroying a sink can call back into this output (a
    // timer, a poll of the position from a nested event loop, the owner's
    // own teardown): the stream is marked ended and the sink taken out of
    // reach before either happens, and a second call meanwhile does nothing.
    if (ending_) {
        return;
    }
    ending_ = true;
    if (running_ && sink_) {
        CountPlayed();
    }
    running_ = false;
    paused_ = false;
    exhausted_ = false;
    feeder_.stop();
    input_ = nullptr;
    std::unique_ptr<QAudioSink> sink = std::move(sink_);
    if (sink) {
        sink->stop();
        sink.reset();
    }
    source_.reset();
    pending_.clear();
    pendingAt_ = 0;
    ending_ = false;
}

platform::OutputFactory QtAudioOutput::FactoryWithFallback() {
    return platform::FirstOpeningOutput({
        [] { return std::make_unique<QtAudioOutput>(); },
        [] { return std::make_unique<platform::SilentAudioOutput>(); },
    });
}

} // namespace vindral::ui

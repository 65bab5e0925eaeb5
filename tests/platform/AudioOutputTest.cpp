#include "platform/media/AudioOutput.h"

#include <gtest/gtest.h>

namespace vindral::platform {
namespace {

// A source of `frames` numbered frames.
class CountingSource : public FrameSource {
public:
    explicit CountingSource(std::size_t frames) : frames_(frames) {}
    std::size_t Read(uint8_t* out, std::size_t frames) override {
        const std::size_t n = std::min(frames, frames_ - next_);
        for (std::size_t i = 0; i < n; ++i) {
            out[4 * i] = static_cast<uint8_t>(next_ + i);
            out[4 * i + 1] = out[4 * i + 2] = out[4 * i + 3] = 0;
        }
        next_ += n;
        return n;
    }
    std::size_t Next() const { return next_; }

private:
    std::size_t frames_;
    std::size_t next_ = 0;
};

class SilentOutputTest : public ::testing::Test {
protected:
    uint32_t now = 1000;
    SilentAudioOutput output{[this] { return now; }};
};

TEST_F(SilentOutputTest, OpensOnlyForCdAudio) {
    EXPECT_TRUE(output.Open(44100, 16, 2));
    EXPECT_FALSE(output.Open(48000, 16, 2));
    EXPECT_FALSE(output.Open(44100, 8, 2));
    EXPECT_FALSE(output.Open(44100, 16, 1));
}

TEST_F(SilentOutputTest, ConsumesFramesAtTheClocksPace) {
    auto source = std::make_shared<CountingSource>(441000);
    ASSERT_TRUE(output.Start(source));
    EXPECT_EQ(output.FramesPlayed(), 0u);
    now += 250;
    EXPECT_EQ(output.FramesPlayed(), 11025u);
    EXPECT_EQ(source->Next(), 11025u); // the frames were really taken from the source
    now += 1;
    EXPECT_EQ(output.FramesPlayed(), 11069u); // 251 ms: 11069.1 frames
    now += 749;
    EXPECT_EQ(output.FramesPlayed(), 44100u);
}

TEST_F(SilentOutputTest, PauseFreezesTheCountAndResumeGoesOn) {
    auto source = std::make_shared<CountingSource>(441000);
    output.Start(source);
    now += 100;
    output.Pause();
    now += 5000;
    EXPECT_EQ(output.FramesPlayed(), 4410u);
    output.Resume();
    now += 100;
    EXPECT_EQ(output.FramesPlayed(), 8820u);
}

TEST_F(SilentOutputTest, StopsCountingWhenTheSourceEnds) {
    auto source = std::make_shared<CountingSource>(1000);
    output.Start(source);
    now += 10000;
    EXPECT_EQ(output.FramesPlayed(), 1000u);
    now += 10000;
    EXPECT_EQ(output.FramesPlayed(), 1000u);
}

TEST_F(SilentOutputTest, StartBeginsTheCountAgainAndStopKeepsIt) {
    output.Start(std::make_shared<CountingSource>(441000));
    now += 500;
    output.Start(std::make_shared<CountingSource>(441000));
    EXPECT_EQ(output.FramesPlayed(), 0u);
    now += 20;
    output.Stop();
    now += 1000;
    EXPECT_EQ(output.FramesPlayed(), 882u);
}

TEST_F(SilentOutputTest, TheClockWrappingAroundDoesNotJump) {
    now = 0xFFFFFF00u;
    output.Start(std::make_shared<CountingSource>(441000));
    now += 0x200; // wraps to 0x100; 512 ms later
    EXPECT_EQ(output.FramesPlayed(), 512u * 441u / 10u);
}

TEST(RecordingOutputTest, RecordsCallsAndConsumedAudio) {
    auto record = std::make_shared<RecordingAudioOutput::Record>();
    RecordingAudioOutput output(record);
    EXPECT_TRUE(output.Open(44100, 16, 2));
    output.Start(std::make_shared<CountingSource>(10));
    EXPECT_EQ(output.Consume(3), 3u);
    output.Pause();
    EXPECT_EQ(output.Consume(3), 0u);
    output.Resume();
    EXPECT_EQ(output.Consume(30), 7u);
    output.Stop();
    EXPECT_EQ(output.FramesPlayed(), 10u);
    EXPECT_EQ(record->events,
              (std::vector<std::string>{"open 44100 16 2", "start", "pause", "resume", "stop"}));
    ASSERT_EQ(record->audio.size(), 40u);
    EXPECT_EQ(record->audio[4 * 9], 9);
}

TEST(FirstOpeningOutputTest, FallsBackToTheNextOutputWhenOneCannotOpen) {
    auto failing = std::make_shared<RecordingAudioOutput::Record>();
    auto working = std::make_shared<RecordingAudioOutput::Record>();
    const OutputFactory factory = FirstOpeningOutput({
        [failing] { return std::make_unique<RecordingAudioOutput>(failing, false); },
        [working] { return std::make_unique<RecordingAudioOutput>(working, true); },
    });
    const auto output = factory();
    ASSERT_NE(output, nullptr);
    output->Start(std::make_shared<CountingSource>(1));
    EXPECT_EQ(failing->events, (std::vector<std::string>{"open 44100 16 2"}));
    EXPECT_EQ(working->events, (std::vector<std::string>{"open 44100 16 2", "start"}));
}

TEST(FirstOpeningOutputTest, NothingWhenNoOutputOpens) {
    auto record = std::make_shared<RecordingAudioOutput::Record>();
    const OutputFactory factory = FirstOpeningOutput({
        nullptr,
        [record] { return std::make_unique<RecordingAudioOutput>(record, false); },
        [] { return std::unique_ptr<AudioOutput>(); },
    });
    EXPECT_EQ(factory(), nullptr);
}

} // namespace
} // namespace vindral::platform

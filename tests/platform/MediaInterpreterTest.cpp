#include "platform/media/MediaInterpreter.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <functional>
#include <memory>
#include <utility>
#include <vector>

#include "platform/FlacTestFiles.h"
#include "platform/WaveTestFiles.h"
#include "player/Player.h"

namespace vindral::platform {
namespace {

using vindral::testing::PlayableBytes;
using vindral::testing::TempFolder;
using vindral::testing::WaveBytes;
using vindral::testing::WaveLayout;

constexpr uint32_t kTwoSeconds = 88200; // frames

// Every test of the device plays a WAV file and a FLAC file of the same audio.
class MediaInterpreterTest : public ::testing::TestWithParam<std::string> {
protected:
    void SetUp() override {
        wave = folder.Write("track01." + GetParam(), PlayableBytes(GetParam(), kTwoSeconds));
    }

    int Send(const std::string& command) {
        reply.clear();
        return media.Send(command, reply);
    }

    // The position the device reports, or -1 when the query fails.
    long Position() {
        return Send("status vindralwave position") == 0 ? std::stol(reply) : -1;
    }

    void OpenWave() {
        ASSERT_EQ(Send("open waveaudio!" + wave + " alias vindralwave"), 0);
        ASSERT_EQ(Send("set vindralwave time format milliseconds"), 0);
    }

    TempFolder folder;
    std::string wave;
    uint32_t now = 5000;
    MediaInterpreter media{SilentOutputFactory([this] { return now; })};
    std::string reply;
};

INSTANTIATE_TEST_SUITE_P(WavAndFlac, MediaInterpreterTest, ::testing::Values("wav", "flac"));

TEST_P(MediaInterpreterTest, PositionFollowsWhatTheOutputHasPlayed) {
    OpenWave();
    EXPECT_EQ(Position(), 0);
    ASSERT_EQ(Send("play vindralwave from 0"), 0);
    now += 250;
    EXPECT_EQ(Position(), 250);
    now += 500;
    EXPECT_EQ(Position(), 750);
}

TEST_P(MediaInterpreterTest, PlayFromSeeksAndPauseHoldsThePosition) {
    OpenWave();
    ASSERT_EQ(Send("play vindralwave from 1200"), 0);
    now += 100;
    EXPECT_EQ(Position(), 1300);
    ASSERT_EQ(Send("pause vindralwave"), 0);
    now += 3000;
    EXPECT_EQ(Position(), 1300);
    // Resuming is a play from a position, as the player does it.
    ASSERT_EQ(Send("play vindralwave from 1250"), 0);
    now += 100;
    EXPECT_EQ(Position(), 1350);
    // A bare play after a pause goes on where the pause was.
    ASSERT_EQ(Send("pause vindralwave"), 0);
    now += 1000;
    ASSERT_EQ(Send("play vindralwave"), 0);
    now += 50;
    EXPECT_EQ(Position(), 1400);
}

TEST_P(MediaInterpreterTest, StopHoldsThePositionAndKeepsTheDeviceOpen) {
    OpenWave();
    ASSERT_EQ(Send("play vindralwave from 0"), 0);
    now += 400;
    ASSERT_EQ(Send("stop vindralwave"), 0);
    now += 400;
    EXPECT_EQ(Position(), 400);
    EXPECT_TRUE(media.IsOpen());
    ASSERT_EQ(Send("play vindralwave from 0"), 0);
    now += 10;
    EXPECT_EQ(Position(), 10);
}

TEST_P(MediaInterpreterTest, PositionStaysAtTheEndOnceTheFileIsPlayed) {
    OpenWave();
    ASSERT_EQ(Send("play vindralwave from 1900"), 0);
    now += 250;
    EXPECT_EQ(Position(), 2000);
    now += 250;
    EXPECT_EQ(Position(), 2000);
}

TEST_P(MediaInterpreterTest, CloseReleasesTheAliasForTheNextOpen) {
    OpenWave();
    ASSERT_EQ(Send("play vindralwave from 0"), 0);
    ASSERT_EQ(Send("close vindralwave"), 0);
    EXPECT_FALSE(media.IsOpen());
    EXPECT_EQ(Send("status vindralwave position"), kMediaUnknownAlias);
    EXPECT_NE(Send("close vindralwave"), 0);
    OpenWave();
}

TEST_P(MediaInterpreterTest, KeywordsAndAliasIgnoreLetterCase) {
    ASSERT_EQ(Send("OPEN WaveAudio!" + wave + " ALIAS VindralWave"), 0);
    EXPECT_EQ(Send("Play VINDRALWAVE From 500"), 0);
    EXPECT_EQ(Send("  status vindralwave   position  "), 0);
    EXPECT_EQ(reply, "500");
}

TEST_P(MediaInterpreterTest, PathsMayHoldSpacesAndQuotes) {
    const std::string spaced = folder.Write("my track 02." + GetParam(), PlayableBytes(GetParam(), 44100));
    EXPECT_EQ(Send("open waveaudio!" + spaced + " alias vindralwave"), 0);
    EXPECT_EQ(Send("close vindralwave"), 0);
    EXPECT_EQ(Send("open waveaudio!\"" + spaced + "\" alias vindralwave"), 0);
}

TEST_P(MediaInterpreterTest, AnotherAliasIsRefused) {
    EXPECT_EQ(Send("open waveaudio!" + wave + " alias otherwave"), kMediaUnknownAlias);
    EXPECT_FALSE(media.IsOpen());
    OpenWave();
    EXPECT_EQ(Send("play otherwave from 0"), kMediaUnknownAlias);
    EXPECT_EQ(Send("status otherwave position"), kMediaUnknownAlias);
    EXPECT_EQ(Send("close otherwave"), kMediaUnknownAlias);
    EXPECT_EQ(Send("pause"), kMediaUnknownAlias);
    EXPECT_TRUE(media.IsOpen());
}

TEST_P(MediaInterpreterTest, CommandsBeforeOpenFail) {
    EXPECT_EQ(Send("play vindralwave from 0"), kMediaUnknownAlias);
    EXPECT_EQ(Send("pause vindralwave"), kMediaUnknownAlias);
    EXPECT_EQ(Send("stop vindralwave"), kMediaUnknownAlias);
    EXPECT_EQ(Send("set vindralwave time format milliseconds"), kMediaUnknownAlias);
    EXPECT_EQ(Send("status vindralwave position"), kMediaUnknownAlias);
    EXPECT_EQ(Send("close vindralwave"), kMediaUnknownAlias);
}

TEST_P(MediaInterpreterTest, UnknownCommandsAndWordsFail) {
    OpenWave();
    EXPECT_EQ(Send(""), kMediaUnrecognizedCommand);
    EXPECT_EQ(Send("eject vindralwave"), kMediaUnrecognizedCommand);
    EXPECT_EQ(Send("status vindralwave length"), kMediaBadKeyword);
    EXPECT_EQ(Send("set vindralwave time format frames"), kMediaBadKeyword);
    EXPECT_EQ(Send("play vindralwave to 100"), kMediaBadKeyword);
    EXPECT_EQ(Send("play vindralwave from"), kMediaBadKeyword);
    EXPECT_EQ(Send("play vindralwave from -5"), kMediaBadInteger);
    EXPECT_EQ(Send("play vindralwave from 12x"), kMediaBadInteger);
    EXPECT_EQ(Send("play vindralwave from 99999999999"), kMediaBadInteger);
    EXPECT_EQ(Send("play vindralwave from 2001"), kMediaPositionOutOfRange);
    EXPECT_EQ(Send("play vindralwave from 2000"), 0);
}

TEST_P(MediaInterpreterTest, TheStatusReplyIsOnlyWrittenOnSuccess) {
    reply = "kept";
    EXPECT_NE(media.Send("status vindralwave position", reply), 0);
    EXPECT_EQ(reply, "kept");
}

TEST_P(MediaInterpreterTest, OpeningTwiceUnderTheAliasFails) {
    OpenWave();
    EXPECT_EQ(Send("open waveaudio!" + wave + " alias vindralwave"), kMediaAliasInUse);
    EXPECT_TRUE(media.IsOpen());
}

TEST_P(MediaInterpreterTest, FileErrorsAreCodesAndLeaveTheDeviceClosed) {
    EXPECT_EQ(Send("open waveaudio!" + folder.PathOf("gone.wav") + " alias vindralwave"),
              kMediaFileNotFound);
    const std::string text = "RIFX and nothing else";
    const std::string notWave =
        folder.Write("notes.wav", std::vector<uint8_t>(text.begin(), text.end()));
    EXPECT_EQ(Send("open waveaudio!" + notWave + " alias vindralwave"), kMediaInvalidFile);
    const std::string mono = folder.Write("mono.wav", WaveBytes(WaveLayout{.channels = 1, .frames = 9}));
    EXPECT_EQ(Send("open waveaudio!" + mono + " alias vindralwave"), kMediaUnsupportedFormat);
    const std::string monoFlac = folder.Write(
        "mono.flac", vindral::testing::FlacBytes(std::vector<int32_t>(900, 1), {.channels = 1}));
    EXPECT_EQ(Send("open waveaudio!" + monoFlac + " alias vindralwave"), kMediaUnsupportedFormat);
    const std::vector<uint8_t> flac = PlayableBytes("flac", 20000);
    const std::string cutFlac = folder.Write(
        "cut.flac", std::vector<uint8_t>(flac.begin(), flac.begin() + static_cast<std::ptrdiff_t>(flac.size() / 2)));
    EXPECT_EQ(Send("open waveaudio!" + cutFlac + " alias vindralwave"), kMediaInvalidFile);
    const std::string notFlac = folder.Write("notes.flac", std::vector<uint8_t>(text.begin(), text.end()));
    EXPECT_EQ(Send("open waveaudio!" + notFlac + " alias vindralwave"), kMediaInvalidFile);
    EXPECT_EQ(Send("open sequencer!" + wave + " alias vindralwave"), kMediaUnknownDeviceType);
    EXPECT_EQ(Send("open " + wave + " alias vindralwave"), kMediaUnknownDeviceType);
    EXPECT_EQ(Send("open waveaudio!" + wave), kMediaBadKeyword);
    EXPECT_EQ(Send("open waveaudio! alias vindralwave"), kMediaFileNotFound);
    EXPECT_FALSE(media.IsOpen());
}

TEST(MediaInterpreterOutputTest, NoOutputMeansTheOpenFails) {
    TempFolder folder;
    const std::string wave = folder.Write("a.wav", WaveBytes(WaveLayout{.frames = 10}));
    MediaInterpreter media(FirstOpeningOutput({}));
    std::string reply;
    EXPECT_EQ(media.Send("open waveaudio!" + wave + " alias vindralwave", reply), kMediaNoOutput);
    EXPECT_FALSE(media.IsOpen());
}

TEST(MediaInterpreterOutputTest, TheOutputIsChosenWhenTheDeviceOpens) {
    TempFolder folder;
    const std::string wave = folder.Write("a.wav", WaveBytes(WaveLayout{.frames = 44100}));
    auto record = std::make_shared<RecordingAudioOutput::Record>();
    int made = 0;
    MediaInterpreter media(FirstOpeningOutput({
        [&made, record] {
            ++made;
            return std::make_unique<RecordingAudioOutput>(record, false); // no device
        },
        [] { return std::make_unique<SilentAudioOutput>([] { return 0u; }); },
    }));
    std::string reply;
    EXPECT_EQ(made, 0);
    ASSERT_EQ(media.Send("open waveaudio!" + wave + " alias vindralwave", reply), 0);
    EXPECT_EQ(made, 1);
    EXPECT_NE(dynamic_cast<SilentAudioOutput*>(media.Output()), nullptr);
    ASSERT_EQ(media.Send("close vindralwave", reply), 0);
    ASSERT_EQ(media.Send("open waveaudio!" + wave + " alias vindralwave", reply), 0);
    EXPECT_EQ(made, 2);
}

// An output whose count runs past what it was given, as a device clock may.
class OverrunningOutput : public AudioOutput {
public:
    bool Open(int, int, int) override { return true; }
    bool Start(std::shared_ptr<FrameSource>) override { return true; }
    void Pause() override {}
    void Resume() override {}
    void Stop() override {}
    uint64_t FramesPlayed() override { return 10 * 44100; }
};

TEST(MediaInterpreterOutputTest, ThePositionNeverPassesTheEndOfTheFile) {
    TempFolder folder;
    const std::string wave = folder.Write("a.wav", WaveBytes(WaveLayout{.frames = 44100}));
    MediaInterpreter media([] { return std::make_unique<OverrunningOutput>(); });
    std::string reply;
    ASSERT_EQ(media.Send("open waveaudio!" + wave + " alias vindralwave", reply), 0);
    ASSERT_EQ(media.Send("play vindralwave from 250", reply), 0);
    ASSERT_EQ(media.Send("status vindralwave position", reply), 0);
    EXPECT_EQ(reply, "1000");
}

class RecordedPlaybackTest : public ::testing::TestWithParam<std::string> {
protected:
    void SetUp() override {
        wave = folder.Write("a." + GetParam(), PlayableBytes(GetParam(), 2 * 44100));
        ASSERT_EQ(Send("open waveaudio!" + wave + " alias vindralwave"), 0);
        output = dynamic_cast<RecordingAudioOutput*>(media.Output());
        ASSERT_NE(output, nullptr);
    }

    int Send(const std::string& command) { return media.Send(command, reply); }

    // The frame numbers of the consumed audio from byte offset `from` on.
    std::vector<uint32_t> Frames(std::size_t fromFrame, std::size_t count) const {
        std::vector<uint32_t> frames;
        for (std::size_t i = fromFrame; i < fromFrame + count; ++i) {
            const uint8_t* p = record->audio.data() + 4 * i;
            frames.push_back(static_cast<uint32_t>(p[0] | (p[1] << 8) | (p[2] << 16) |
                                                   (static_cast<uint32_t>(p[3]) << 24)));
        }
        return frames;
    }

    TempFolder folder;
    std::string wave;
    std::string reply;
    std::shared_ptr<RecordingAudioOutput::Record> record =
        std::make_shared<RecordingAudioOutput::Record>();
    MediaInterpreter media{FirstOpeningOutput(
        {[this] { return std::make_unique<RecordingAudioOutput>(record); }})};
    RecordingAudioOutput* output = nullptr;
};

INSTANTIATE_TEST_SUITE_P(WavAndFlac, RecordedPlaybackTest, ::testing::Values("wav", "flac"));

TEST_P(RecordedPlaybackTest, PlayFromStreamsTheFileFromThatFrame) {
    ASSERT_EQ(Send("play vindralwave from 1000"), 0);
    ASSERT_EQ(output->Consume(3), 3u);
    EXPECT_EQ(Frames(0, 3), (std::vector<uint32_t>{44100, 44101, 44102}));
    ASSERT_EQ(Send("status vindralwave position"), 0);
    EXPECT_EQ(reply, "1000"); // three frames are less than a millisecond
    output->Consume(441);
    ASSERT_EQ(Send("status vindralwave position"), 0);
    EXPECT_EQ(reply, "1010");
}

TEST_P(RecordedPlaybackTest, ASeekStopsTheStreamAndStartsItAgain) {
    ASSERT_EQ(Send("play vindralwave from 0"), 0);
    output->Consume(2);
    ASSERT_EQ(Send("play vindralwave from 500"), 0);
    output->Consume(2);
    EXPECT_EQ(Frames(0, 4), (std::vector<uint32_t>{0, 1, 22050, 22051}));
    ASSERT_EQ(Send("pause vindralwave"), 0);
    ASSERT_EQ(Send("close vindralwave"), 0);
    EXPECT_EQ(record->events, (std::vector<std::string>{"open 44100 16 2", "start", "stop",
                                                        "start", "pause", "stop"}));
}

TEST_P(RecordedPlaybackTest, NothingIsConsumedWhilePaused) {
    ASSERT_EQ(Send("play vindralwave from 0"), 0);
    ASSERT_EQ(Send("pause vindralwave"), 0);
    EXPECT_EQ(output->Consume(100), 0u);
    ASSERT_EQ(Send("status vindralwave position"), 0);
    EXPECT_EQ(reply, "0");
}

// A FLAC file damaged in its third block plays up to the damage, which then
// counts as its end, as a WAV file cut short does.
TEST(DamagedFlacPlaybackTest, PlaysUpToTheDamage) {
    TempFolder folder;
    const std::vector<uint8_t> pcm = vindral::testing::NoisePcm(4 * 4096);
    std::vector<uint8_t> flac = vindral::testing::FlacOfPcm(pcm);
    flac[flac.size() * 5 / 8] ^= 0x5A;
    const std::string path = folder.Write("damaged.flac", flac);
    auto record = std::make_shared<RecordingAudioOutput::Record>();
    MediaInterpreter media(
        FirstOpeningOutput({[record] { return std::make_unique<RecordingAudioOutput>(record); }}));
    std::string reply;
    ASSERT_EQ(media.Send("open waveaudio!" + path + " alias vindralwave", reply), 0);
    ASSERT_EQ(media.Send("play vindralwave from 0", reply), 0);
    auto* output = dynamic_cast<RecordingAudioOutput*>(media.Output());
    ASSERT_NE(output, nullptr);
    std::size_t played = 0;
    while (std::size_t got = output->Consume(1000)) {
        played += got;
    }
    EXPECT_EQ(played, 2u * 4096);
    EXPECT_TRUE(std::equal(record->audio.begin(), record->audio.end(), pcm.begin()));
    ASSERT_EQ(media.Send("status vindralwave position", reply), 0);
    EXPECT_EQ(reply, std::to_string(2 * 4096 * 1000 / 44100));
}

// The player over the interpreter with the silent output, as on a machine
// without a sound device.
class PlayerOverInterpreterTest : public ::testing::TestWithParam<std::string> {
protected:
    class QuietView : public PlayerView {
    public:
        void PaintDisplay(const PlayerState&) override { ++paints; }
        void DrawMarker(const PlayerState& state) override { lastMarker = state.markerColumn; }
        void TrackPictureRendered(int32_t) override {}
        void ScrollLogTo(int32_t) override {}
        void ShowTrack(int32_t, int32_t) override {}
        int paints = 0;
        int32_t lastMarker = -1;
    };

    void SetUp() override {
        // One second of audio: 75 sectors, 10 ms per column on 100 columns.
        const std::string wave = folder.Write("track01." + GetParam(), PlayableBytes(GetParam(), 44100));
        display.Initialise(PeakArea{0, 24, 100, 40});
        player.SetTracks({{wave, 0, 75, 0}});
        state.ready = true;
    }

    // One tick of the player's timer.
    void Tick() {
        now += Player::kPollMilliseconds;
        player.Poll();
    }

    TempFolder folder;
    uint32_t now = 100;
    MediaInterpreter media{SilentOutputFactory([this] { return now; })};
    QuietView view;
    PlayerState state;
    PeakDisplay display;
    PeakTable table;
    Player player{state, media, view, display, table};
};

INSTANTIATE_TEST_SUITE_P(WavAndFlac, PlayerOverInterpreterTest, ::testing::Values("wav", "flac"));

TEST_P(PlayerOverInterpreterTest, TheMarkerFollowsPlaybackAndTheEndStopsWithinTwoPolls) {
    player.Play();
    ASSERT_TRUE(state.playing);
    Tick();
    EXPECT_EQ(state.position, 250u);
    EXPECT_EQ(view.lastMarker, 25);
    Tick();
    Tick();
    Tick(); // 1000 ms: the file has been played
    EXPECT_EQ(state.position, 1000u);
    EXPECT_TRUE(state.playing);
    Tick();
    EXPECT_FALSE(state.playing);
    EXPECT_EQ(state.position, 0u);
    EXPECT_EQ(state.markerColumn, 0);
    EXPECT_TRUE(state.deviceOpen);

    // The device stayed open on the file: Play starts it again from 0.
    player.Play();
    Tick();
    EXPECT_EQ(state.position, 250u);
    player.Close();
    EXPECT_FALSE(media.IsOpen());
}

TEST_P(PlayerOverInterpreterTest, PauseAndResumeContinueFromTheLastPoll) {
    player.Play();
    Tick();
    now += 100; // the pause comes 100 ms after the poll
    player.Pause();
    now += 2000;
    player.Pause();
    Tick();
    EXPECT_EQ(state.position, 500u); // 250 from the poll, 250 since the resume
    EXPECT_TRUE(state.playing);
}

TEST_P(PlayerOverInterpreterTest, AClickSeeksWhilePlaying) {
    player.Play();
    Tick();
    ASSERT_TRUE(player.ClickPicture(70, 5)); // 700 ms
    Tick();
    EXPECT_EQ(state.position, 950u);
}

TEST_P(PlayerOverInterpreterTest, AMissingFileLeavesThePlayerClosed) {
    std::filesystem::remove(folder.PathOf("track01." + GetParam()));
    player.Play();
    EXPECT_FALSE(state.deviceOpen);
    EXPECT_FALSE(state.playing);
    player.Poll();
    player.Close();
    EXPECT_FALSE(media.IsOpen());
}

// An output whose Stop runs other commands before it returns, as a sound
// system's teardown that runs the window's event loop (the player's poll, a
// button) does. It records what it was asked and whether it still existed.
class ReentrantOutput : public AudioOutput {
public:
    struct Record {
        std::function<void()> duringStop; // run once, inside the first Stop
        int stops = 0;
        int starts = 0;
        bool destroyed = false;
        bool destroyedDuringStop = false;
    };
    explicit ReentrantOutput(std::shared_ptr<Record> record) : record_(std::move(record)) {}
    ~ReentrantOutput() override { record_->destroyed = true; }

    bool Open(int, int, int) override { return true; }
    bool Start(std::shared_ptr<FrameSource> source) override {
        ++record_->starts;
        source_ = std::move(source);
        return true;
    }
    void Pause() override {}
    void Resume() override {}
    void Stop() override {
        ++record_->stops;
        if (auto hook = std::exchange(record_->duringStop, nullptr)) {
            const std::shared_ptr<Record> record = record_; // outlives this object
            hook();
            record->destroyedDuringStop = record->destroyed;
            if (record->destroyed) {
                return;
            }
        }
        source_.reset();
    }
    uint64_t FramesPlayed() override { return 4410; }

private:
    std::shared_ptr<Record> record_;
    std::shared_ptr<FrameSource> source_;
};

class ReentrantTeardownTest : public ::testing::Test {
protected:
    void SetUp() override {
        wave = folder.Write("track01.wav", WaveBytes(WaveLayout{.frames = kTwoSeconds}));
        ASSERT_EQ(Send("open waveaudio!" + wave + " alias vindralwave"), 0);
        ASSERT_EQ(Send("play vindralwave from 500"), 0);
    }
    int Send(const std::string& command) {
        std::string reply;
        const int rc = media.Send(command, reply);
        replies.push_back(command + " -> " + std::to_string(rc) + " " + reply);
        return rc;
    }

    TempFolder folder;
    std::string wave;
    std::shared_ptr<ReentrantOutput::Record> record = std::make_shared<ReentrantOutput::Record>();
    MediaInterpreter media{[this] { return std::make_unique<ReentrantOutput>(record); }};
    std::vector<std::string> replies;
};

TEST_F(ReentrantTeardownTest, CommandsDuringCloseFindTheDeviceClosed) {
    int nestedStatus = -1;
    int nestedClose = -1;
    int nestedPlay = -1;
    record->duringStop = [&] {
        nestedStatus = Send("status vindralwave position");
        nestedClose = Send("close vindralwave");
        nestedPlay = Send("play vindralwave from 0");
    };
    ASSERT_EQ(Send("close vindralwave"), 0);
    EXPECT_EQ(nestedStatus, kMediaUnknownAlias);
    EXPECT_EQ(nestedClose, kMediaUnknownAlias);
    EXPECT_EQ(nestedPlay, kMediaUnknownAlias);
    EXPECT_EQ(record->stops, 1);
    EXPECT_FALSE(record->destroyedDuringStop); // not destroyed under its own Stop
    EXPECT_TRUE(record->destroyed);
    EXPECT_FALSE(media.IsOpen());
}

TEST_F(ReentrantTeardownTest, CommandsDuringStopSeeTheDeviceStopped) {
    int nestedStop = -1;
    std::string position;
    record->duringStop = [&] {
        std::string reply;
        EXPECT_EQ(media.Send("status vindralwave position", reply), 0);
        position = reply;
        nestedStop = Send("stop vindralwave");
    };
    ASSERT_EQ(Send("stop vindralwave"), 0);
    EXPECT_EQ(nestedStop, 0);
    EXPECT_EQ(record->stops, 1); // the nested stop found nothing more to stop
    EXPECT_EQ(position, "600"); // 500 ms + the 100 ms the output played
    std::string reply;
    ASSERT_EQ(media.Send("status vindralwave position", reply), 0);
    EXPECT_EQ(reply, "600");
    EXPECT_TRUE(media.IsOpen());
}

TEST_F(ReentrantTeardownTest, ACloseDuringASeekEndsTheSeek) {
    record->duringStop = [&] { EXPECT_EQ(Send("close vindralwave"), 0); };
    EXPECT_EQ(Send("play vindralwave from 1000"), kMediaUnknownAlias);
    EXPECT_FALSE(media.IsOpen());
    EXPECT_EQ(record->starts, 1); // nothing started after the close
    EXPECT_FALSE(record->destroyedDuringStop);
    EXPECT_TRUE(record->destroyed);
}

} // namespace
} // namespace vindral::platform

#include "player/Player.h"

#include <gtest/gtest.h>

#include <deque>
#include <map>
#include <string>
#include <vector>

namespace vindral {
namespace {

using Strings = std::vector<std::string>;

// Records every command; fails the ones it is told to, answers status polls
// from a queue.
class RecordingMedia : public MediaCommands {
public:
    int Send(const std::string& command, std::string& reply) override {
        sent.push_back(command);
        for (const auto& [prefix, code] : failures) {
            if (command.rfind(prefix, 0) == 0) {
                return code;
            }
        }
        if (command == media::kStatusPosition) {
            if (statusReplies.empty()) {
                return 277;
            }
            const auto [code, text] = statusReplies.front();
            statusReplies.pop_front();
            if (code == 0) {
                reply = text;
            }
            return code;
        }
        return 0;
    }

    Strings Take() {
        Strings out;
        out.swap(sent);
        return out;
    }

    Strings sent;
    std::map<std::string, int> failures; // command prefix -> error code
    std::deque<std::pair<int, std::string>> statusReplies;
};

class RecordingView : public PlayerView {
public:
    void PaintDisplay(const PlayerState& state) override {
        events.push_back("paint " + std::to_string(state.markerColumn) + " " +
                         std::to_string(state.position));
    }
    void DrawMarker(const PlayerState& state) override {
        events.push_back("marker " + std::to_string(state.markerColumn) + " " +
                         std::to_string(state.position));
    }
    void TrackPictureRendered(int32_t track) override {
        events.push_back("rendered " + std::to_string(track));
    }
    void ScrollLogTo(int32_t line) override { events.push_back("scroll " + std::to_string(line)); }
    void ShowTrack(int32_t track, int32_t count) override {
        events.push_back("track " + TrackCaptionText(track, count) + " " + TrackNumberText(track));
    }

    Strings Take() {
        Strings out;
        out.swap(events);
        return out;
    }

    Strings events;
};

class PlayerTest : public ::testing::Test {
protected:
    void SetUp() override {
        // 100 columns; 7500 sectors = 100 s, 1000 ms per column.
        display.Initialise(PeakArea{10, 50, 100, 80});
        player.SetTracks({{"/music/track01.wav", 0, 7500, 1},
                          {"/music/track02.wav", 7500, 7500, 5},
                          {"/music/track 03.wav", 15000, 7500, 9}});
        // The end of the run.
        state.currentTrack = 2;
        state.ready = true;
    }

    // Closed -> Playing on the current track, with the commands taken.
    void StartPlaying() {
        player.Play();
        ASSERT_TRUE(state.playing);
        media.Take();
        view.Take();
    }

    void PollReturning(const std::string& text) {
        media.statusReplies.push_back({0, text});
        player.Poll();
    }

    PlayerState state;
    RecordingMedia media;
    RecordingView view;
    PeakDisplay display;
    PeakTable table;
    Player player{state, media, view, display, table};
};

TEST(MediaCommandTextTest, CommandsCarryTheFixedAlias) {
    EXPECT_EQ(media::OpenCommand("/a/b.wav"), "open waveaudio!/a/b.wav alias vindralwave");
    EXPECT_EQ(media::PlayFromCommand(0), "play vindralwave from 0");
    EXPECT_EQ(media::PlayFromCommand(4294967295u), "play vindralwave from 4294967295");
}

TEST(TrackTextTest, CaptionAndNumberCountFromOne) {
    EXPECT_EQ(TrackCaptionText(2, 5), "Track 3/5");
    EXPECT_EQ(TrackNumberText(2), "03");
    EXPECT_EQ(TrackNumberText(98), "99");
}

TEST(PlayerTracksTest, TakesPathStartLengthAndLogLineOfEveryEntry) {
    ExtractJob job;
    job.tracks.push_back({"/x/01.wav", TrackEntry{0, 1, 150, 1000}});
    job.tracks.push_back({"/x/02.wav", TrackEntry{0, 2, 1150, 2000}});
    const auto tracks = PlayerTracksOf(job, [](int i) { return 10 + 4 * i; });
    ASSERT_EQ(tracks.size(), 2u);
    EXPECT_EQ(tracks[1].path, "/x/02.wav");
    EXPECT_EQ(tracks[1].start, 1150);
    EXPECT_EQ(tracks[1].length, 2000);
    EXPECT_EQ(tracks[0].logStart, 10);
    EXPECT_EQ(tracks[1].logStart, 14);
}

TEST_F(PlayerTest, PlayFromClosedClosesOpensSetsTheFormatAndPlays) {
    player.Play();
    EXPECT_EQ(media.Take(), (Strings{"close vindralwave",
                                     "open waveaudio!/music/track 03.wav alias vindralwave",
                                     "set vindralwave time format milliseconds",
                                     "play vindralwave from 0"}));
    EXPECT_TRUE(state.deviceOpen);
    EXPECT_TRUE(state.playing);
    EXPECT_FALSE(state.paused);
}

TEST_F(PlayerTest, PlayTwiceSendsNothingTheSecondTime) {
    StartPlaying();
    player.Play();
    EXPECT_TRUE(media.Take().empty());
    EXPECT_TRUE(state.playing);
}

TEST_F(PlayerTest, FailedOpenLeavesTheDeviceClosedAndEveryFlagAsItWas) {
    media.failures["open "] = 275;
    state.paused = true;
    player.Play();
    EXPECT_EQ(media.Take(), (Strings{"close vindralwave",
                                     "open waveaudio!/music/track 03.wav alias vindralwave"}));
    EXPECT_FALSE(state.deviceOpen);
    EXPECT_FALSE(state.playing);
    EXPECT_TRUE(state.paused);
}

TEST_F(PlayerTest, ResultsOfCloseAndSetAreIgnored) {
    media.failures["close"] = 263;
    media.failures["set "] = 259;
    player.Play();
    EXPECT_EQ(media.Take().size(), 4u);
    EXPECT_TRUE(state.playing);
}

TEST_F(PlayerTest, FailedPlayLeavesStoppedAndTheNextPlayTriesAgain) {
    media.failures["play "] = 282;
    player.Play();
    EXPECT_TRUE(state.deviceOpen);
    EXPECT_FALSE(state.playing);
    media.Take();
    // No polling while stopped.
    player.Poll();
    EXPECT_TRUE(media.Take().empty());

    media.failures.clear();
    player.Play();
    EXPECT_EQ(media.Take(), (Strings{"play vindralwave from 0"}));
    EXPECT_TRUE(state.playing);
}

TEST_F(PlayerTest, StopResetsThePositionAndRepaintsButKeepsTheDeviceOpen) {
    StartPlaying();
    PollReturning("3500");
    ASSERT_EQ(state.position, 3500u);
    view.Take();
    player.Stop();
    EXPECT_EQ(media.Take(), (Strings{"status vindralwave position", "stop vindralwave"}));
    EXPECT_EQ(view.Take(), (Strings{"paint 0 0"}));
    EXPECT_TRUE(state.deviceOpen);
    EXPECT_FALSE(state.playing);
    EXPECT_EQ(state.position, 0u);
    EXPECT_EQ(state.lastPolled, -1);
    EXPECT_EQ(state.markerColumn, 0);
}

TEST_F(PlayerTest, StopAndPauseDoNothingWhileClosed) {
    player.Stop();
    player.Pause();
    EXPECT_TRUE(media.Take().empty());
    EXPECT_TRUE(view.Take().empty());
    EXPECT_FALSE(state.paused);
}

TEST_F(PlayerTest, PauseTwiceResumesFromTheLastPolledPosition) {
    StartPlaying();
    PollReturning("1200");
    PollReturning("1450");
    media.Take();
    player.Pause();
    EXPECT_EQ(media.Take(), (Strings{"pause vindralwave"}));
    EXPECT_TRUE(state.paused);
    // No polls while paused.
    player.Poll();
    EXPECT_TRUE(media.Take().empty());
    player.Pause();
    EXPECT_EQ(media.Take(), (Strings{"play vindralwave from 1450"}));
    EXPECT_FALSE(state.paused);
    EXPECT_TRUE(state.playing);
}

TEST_F(PlayerTest, PauseThenPlayAlsoResumesFromTheLastPoll) {
    StartPlaying();
    PollReturning("2750");
    player.Pause();
    media.Take();
    player.Play();
    EXPECT_EQ(media.Take(), (Strings{"play vindralwave from 2750"}));
    EXPECT_FALSE(state.paused);
}

TEST_F(PlayerTest, StopWhilePausedKeepsPausedUntilTheNextPlay) {
    StartPlaying();
    player.Pause();
    player.Stop();
    EXPECT_TRUE(state.paused);
    EXPECT_FALSE(state.playing);
    media.Take();
    player.Play();
    EXPECT_EQ(media.Take(), (Strings{"play vindralwave from 0"}));
    EXPECT_FALSE(state.paused);
    EXPECT_TRUE(state.playing);
}

TEST_F(PlayerTest, PauseWhileStoppedOnlyInvertsPausedAndSendsPauseTheFirstTime) {
    StartPlaying();
    player.Stop();
    media.Take();
    player.Pause();
    EXPECT_EQ(media.Take(), (Strings{"pause vindralwave"}));
    EXPECT_TRUE(state.paused);
    player.Pause(); // resuming needs playing: nothing is sent
    EXPECT_TRUE(media.Take().empty());
    EXPECT_FALSE(state.paused);
    EXPECT_FALSE(state.playing);
}

TEST_F(PlayerTest, PollReadsTheDecimalReplyAndMovesTheMarker) {
    StartPlaying();
    PollReturning("  +2500 ms");
    EXPECT_EQ(state.position, 2500u);
    EXPECT_EQ(state.markerColumn, 2);
    EXPECT_EQ(state.lastPolled, 2500);
    EXPECT_EQ(view.Take(), (Strings{"marker 2 2500"}));
}

TEST_F(PlayerTest, PollAtMarkerColumnZeroDrawsNothing) {
    StartPlaying();
    PollReturning("999");
    EXPECT_EQ(state.markerColumn, 0);
    EXPECT_TRUE(view.Take().empty());
}

TEST_F(PlayerTest, FailedOrUnreadableStatusKeepsThePreviousPosition) {
    // Start at 3000 ms by a click while stopped, then play.
    ASSERT_TRUE(player.ClickPicture(3, 10));
    player.Play();
    media.Take();
    view.Take();
    media.statusReplies.push_back({277, "9999"});
    player.Poll();
    EXPECT_EQ(state.position, 3000u);
    EXPECT_TRUE(state.playing);
    EXPECT_EQ(view.Take(), (Strings{"marker 3 3000"}));
    PollReturning("4000");
    media.Take();
    PollReturning("no digits");
    // The kept position equals the last poll: taken for a stall, stopped.
    EXPECT_EQ(media.Take(), (Strings{"status vindralwave position", "stop vindralwave"}));
    EXPECT_FALSE(state.playing);
    EXPECT_EQ(state.position, 0u);
}

TEST_F(PlayerTest, TwoPollsWithTheSamePositionStopAtTheEndOfTheFile) {
    StartPlaying();
    PollReturning("99000");
    EXPECT_TRUE(state.playing);
    view.Take();
    media.Take();
    PollReturning("99000");
    EXPECT_EQ(media.Take(), (Strings{"status vindralwave position", "stop vindralwave"}));
    EXPECT_EQ(view.Take(), (Strings{"paint 0 0"}));
    EXPECT_FALSE(state.playing);
    EXPECT_TRUE(state.deviceOpen);
    EXPECT_EQ(state.position, 0u);
    EXPECT_EQ(state.markerColumn, 0);
    // No automatic step to another track, and the poll is idle again.
    EXPECT_EQ(state.currentTrack, 2);
    player.Poll();
    EXPECT_TRUE(media.Take().empty());
}

TEST_F(PlayerTest, FirstPollAfterAPlayIsNeverTakenForTheEnd) {
    StartPlaying();
    PollReturning("5000");
    player.Pause();
    player.Pause(); // resumes from 5000
    // The device has not moved yet when the next poll comes.
    PollReturning("5000");
    EXPECT_TRUE(state.playing);
    PollReturning("5000");
    EXPECT_FALSE(state.playing);
}

TEST_F(PlayerTest, NextOnTheLastAndPreviousOnTheFirstTrackDoNothing) {
    player.NextTrack();
    EXPECT_EQ(state.currentTrack, 2);
    state.currentTrack = 0;
    player.PreviousTrack();
    EXPECT_EQ(state.currentTrack, 0);
    EXPECT_TRUE(media.Take().empty());
    EXPECT_TRUE(view.Take().empty());
}

TEST_F(PlayerTest, ACurrentTrackOutsideTheListStepsNowhere) {
    state.currentTrack = 7;
    player.PreviousTrack();
    state.currentTrack = -3;
    player.NextTrack();
    EXPECT_EQ(state.currentTrack, -3);
    player.Play(); // no file to open
    EXPECT_TRUE(media.Take().empty());
    EXPECT_TRUE(view.Take().empty());
}

TEST_F(PlayerTest, TrackStepWhilePlayingStopsAndLeavesTheAliasToTheNextPlay) {
    StartPlaying();
    PollReturning("42000");
    media.Take();
    view.Take();
    player.PreviousTrack();
    EXPECT_EQ(state.currentTrack, 1);
    EXPECT_EQ(media.Take(), (Strings{"stop vindralwave"}));
    EXPECT_EQ(view.Take(), (Strings{"rendered 1", "scroll 5", "track Track 2/3 02", "paint 0 0",
                                    "paint 0 0"}));
    EXPECT_FALSE(state.deviceOpen);
    EXPECT_FALSE(state.playing);
    EXPECT_EQ(state.position, 0u);
    EXPECT_EQ(state.lastPolled, -1);

    player.Play();
    EXPECT_EQ(media.Take(), (Strings{"close vindralwave",
                                     "open waveaudio!/music/track02.wav alias vindralwave",
                                     "set vindralwave time format milliseconds",
                                     "play vindralwave from 0"}));
}

TEST_F(PlayerTest, TrackStepWhileClosedSendsNothing) {
    state.currentTrack = 0;
    player.NextTrack();
    EXPECT_TRUE(media.Take().empty());
    EXPECT_EQ(view.Take(), (Strings{"rendered 1", "scroll 5", "track Track 2/3 02", "paint 0 0"}));
    player.NextTrack();
    EXPECT_EQ(state.currentTrack, 2);
    EXPECT_EQ(view.Take(), (Strings{"rendered 2", "scroll 9", "track Track 3/3 03", "paint 0 0"}));
}

TEST_F(PlayerTest, TrackStepRebuildsThePictureOfTheNewTrack) {
    // Only track 2 (sectors 7500 ...) has loud blocks.
    for (int k = 0; k < 7500 / 16; ++k) {
        *table.At(7500 + 16 * k) = PeakPair{127, 128, 127, 128, 0, 0};
    }
    player.PreviousTrack();
    EXPECT_EQ(display.Picture().Pixel(50, 5), (PeakColour{0, 255, 0}));
    player.PreviousTrack();
    EXPECT_EQ(display.Picture().Pixel(50, 5), kBlack);
}

TEST_F(PlayerTest, ClickBeforeTheRunHasFinishedChangesNothing) {
    state.ready = false;
    EXPECT_FALSE(player.Click(60, 70));
    EXPECT_FALSE(player.ClickPicture(50, 20));
    EXPECT_EQ(state.position, 0u);
    EXPECT_EQ(state.markerColumn, 0);
    EXPECT_TRUE(view.Take().empty());
}

TEST_F(PlayerTest, ClickOutsideTheDisplayChangesNothing) {
    EXPECT_FALSE(player.Click(110, 70));
    EXPECT_FALSE(player.Click(60, 106));
    EXPECT_EQ(state.markerColumn, 0);
    EXPECT_TRUE(view.Take().empty());
}

TEST_F(PlayerTest, ClickWhileStoppedOnlyMovesThePositionForTheNextPlay) {
    EXPECT_TRUE(player.Click(60, 70)); // column 50
    EXPECT_EQ(state.markerColumn, 50);
    EXPECT_EQ(state.position, 50000u);
    EXPECT_EQ(view.Take(), (Strings{"marker 50 50000"}));
    EXPECT_TRUE(media.Take().empty());
    player.Play();
    EXPECT_EQ(media.Take().back(), "play vindralwave from 50000");
}

TEST_F(PlayerTest, ClickWhilePlayingPlaysFromTheClickedPosition) {
    StartPlaying();
    EXPECT_TRUE(player.ClickPicture(25, 40));
    EXPECT_EQ(media.Take(), (Strings{"play vindralwave from 25000"}));
    EXPECT_EQ(view.Take(), (Strings{"marker 25 25000"}));
    EXPECT_TRUE(state.playing);
}

TEST_F(PlayerTest, CloseAlwaysSendsClose) {
    player.Close();
    EXPECT_EQ(media.Take(), (Strings{"close vindralwave"}));
    StartPlaying();
    player.Close();
    EXPECT_EQ(media.Take(), (Strings{"close vindralwave"}));
    EXPECT_FALSE(state.deviceOpen);
    EXPECT_FALSE(state.playing);
}

} // namespace
} // namespace vindral

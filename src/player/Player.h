// The player of the extraction dialog without a screen: once every track of
// a run has been written, it plays the WAV files through media command
// strings, one device at a time under the alias "vindralwave", follows the
// position with a 250 ms poll and moves the peak display's marker.
#pragma once

#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include "extract/ExtractRun.h"
#include "platform/media/MediaCommands.h"
#include "player/PeakDisplay.h"

namespace vindral {

// What the screen does for the player. Every call comes on the window thread.
class PlayerView {
public:
    virtual ~PlayerView() = default;
    // Outline and picture; once the player is ready also the marker at
    // state.markerColumn and the position text of state.position.
    virtual void PaintDisplay(const PlayerState& state) = 0;
    // The picture over the previous marker, the marker, the position text.
    virtual void DrawMarker(const PlayerState& state) = 0;
    // The display's picture has been rebuilt for `track`; the screen's copy
    // of it is out of date.
    virtual void TrackPictureRendered(int32_t track) = 0;
    // Scroll the status log so that `line` is the top line.
    virtual void ScrollLogTo(int32_t line) = 0;
    // Group box caption TrackCaptionText() and track number TrackNumberText().
    virtual void ShowTrack(int32_t track, int32_t count) = 0;
};

std::string TrackCaptionText(int32_t track, int32_t count); // "Track %d/%d", counted from 1
std::string TrackNumberText(int32_t track);                 // "%02d", counted from 1

// What the player needs of each track of the job.
struct PlayerTrack {
    std::string path;
    SectorAddress start = 0;
    int32_t length = 0;   // sectors
    int32_t logStart = 0; // the status-log line at which the track's lines begin
};

// The tracks of a job, with the log line of each entry from `logStart`.
std::vector<PlayerTrack> PlayerTracksOf(const ExtractJob& job,
                                        const std::function<int32_t(int)>& logStart);

class Player {
public:
    static constexpr int kPollMilliseconds = 250;

    // `state` is the run's PlayerState, `display` the peak display the
    // marker moves in, `peaks` the run's peak table (pictures of other tracks).
    Player(PlayerState& state, MediaCommands& media, PlayerView& view, PeakDisplay& display,
           const PeakTable& peaks);

    // The tracks that can be played; set at the end of the run.
    void SetTracks(std::vector<PlayerTrack> tracks) { tracks_ = std::move(tracks); }
    int32_t TrackCount() const { return static_cast<int32_t>(tracks_.size()); }

    // The buttons.
    void Play();
    void Stop();
    void Pause();
    void NextTrack();
    void PreviousTrack();

    // The 250 ms timer.
    void Poll();

    // A click in the dialog's client coordinates (see PeakDisplay::HitTest),
    // or in picture coordinates. Moves the marker and the position while the
    // player is ready; plays from there if something is playing. Returns
    // whether the click hit the display.
    bool Click(int32_t x, int32_t y);
    bool ClickPicture(int32_t x, int32_t y);

    // Plays from the position when the device is open and playing; a failed
    // play clears playing.
    void PlayFromPosition();

    // The dialog closes: "close vindralwave" whether or not a device was
    // opened.
    void Close();

    const PlayerState& State() const { return state_; }

private:
    int Send(const std::string& command);
    int32_t CurrentLength() const;
    void StepTo(int32_t track);
    // Position and marker back to the start of the track, and a repaint.
    void Rewind();
    bool ApplyClick(const std::optional<ClickTarget>& target);

    PlayerState& state_;
    MediaCommands& media_;
    PlayerView& view_;
    PeakDisplay& display_;
    const PeakTable& peaks_;
    std::vector<PlayerTrack> tracks_;
};

} // namespace vindral

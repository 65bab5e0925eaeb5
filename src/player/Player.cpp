#include "player/Player.h"

#include <cctype>
#include <cstdio>
#include <optional>

namespace vindral {

namespace {

// A decimal integer after optional white space and an optional sign; nothing
// when there are no digits.
std::optional<int64_t> ParseDecimal(const std::string& text) {
    std::size_t i = 0;
    while (i < text.size() && std::isspace(static_cast<unsigned char>(text[i])) != 0) {
        ++i;
    }
    bool negative = false;
    if (i < text.size() && (text[i] == '+' || text[i] == '-')) {
        negative = text[i] == '-';
        ++i;
    }
    const std::size_t digits = i;
    int64_t value = 0;
    while (i < text.size() && std::isdigit(static_cast<unsigned char>(text[i])) != 0) {
        if (value < (int64_t{1} << 40)) {
            value = value * 10 + (text[i] - '0');
        }
        ++i;
    }
    if (i == digits) {
        return std::nullopt;
    }
    return negative ? -value : value;
}

} // namespace

std::string TrackCaptionText(int32_t track, int32_t count) {
    char text[64];
    std::snprintf(text, sizeof text, "Track %d/%d", track + 1, count);
    return text;
}

std::string TrackNumberText(int32_t track) {
    char text[32];
    std::snprintf(text, sizeof text, "%02d", track + 1);
    return text;
}

std::vector<PlayerTrack> PlayerTracksOf(const ExtractJob& job,
                                        const std::function<int32_t(int)>& logStart) {
    std::vector<PlayerTrack> tracks;
    tracks.reserve(job.tracks.size());
    for (std::size_t i = 0; i < job.tracks.size(); ++i) {
        const JobEntry& entry = job.tracks[i];
        PlayerTrack track;
        track.path = entry.path;
        track.start = entry.track.start;
        track.length = entry.track.length;
        track.logStart = logStart ? logStart(static_cast<int>(i)) : 0;
        tracks.push_back(std::move(track));
    }
    return tracks;
}

Player::Player(PlayerState& state, MediaCommands& media, PlayerView& view, PeakDisplay& display,
               const PeakTable& peaks)
    : state_(state), media_(media), view_(view), display_(display), peaks_(peaks) {}

int Player::Send(const std::string& command) {
    std::string reply;
    return media_.Send(command, reply);
}

int32_t Player::CurrentLength() const {
    const int32_t t = state_.currentTrack;
    if (t < 0 || t >= TrackCount()) {
        return 0;
    }
    return tracks_[static_cast<std::size_t>(t)].length;
}

void Player::PlayFromPosition() {
    if (!state_.deviceOpen || !state_.playing) {
        return;
    }
    if (Send(media::PlayFromCommand(state_.position)) != 0) {
        state_.playing = false;
        return;
    }
    // The device may not have moved yet when the next poll comes; only two
    // polls after this play may tell that it has stopped.
    state_.lastPolled = -1;
}

void Player::Play() {
    if (state_.playing && !state_.paused) {
        return;
    }
    if (!state_.deviceOpen) {
        const int32_t t = state_.currentTrack;
        if (t < 0 || t >= TrackCount()) {
            return;
        }
        Send(media::kClose);
        if (Send(media::OpenCommand(tracks_[static_cast<std::size_t>(t)].path)) == 0) {
            state_.deviceOpen = true;
            Send(media::kTimeFormat);
        }
        if (!state_.deviceOpen) {
            return;
        }
    }
    state_.playing = true;
    state_.paused = false;
    PlayFromPosition();
}

void Player::Stop() {
    if (!state_.deviceOpen) {
        return;
    }
    Send(media::kStop);
    state_.playing = false;
    Rewind();
}

void Player::Rewind() {
    state_.position = 0;
    state_.lastPolled = -1;
    state_.markerColumn = 0;
    view_.PaintDisplay(state_);
}

void Player::Pause() {
    if (!state_.deviceOpen) {
        return;
    }
    if (!state_.paused) {
        Send(media::kPause);
    } else {
        PlayFromPosition();
    }
    state_.paused = !state_.paused;
}

void Player::NextTrack() {
    if (state_.currentTrack >= TrackCount() - 1) {
        return;
    }
    StepTo(state_.currentTrack + 1);
}

void Player::PreviousTrack() {
    if (state_.currentTrack <= 0) {
        return;
    }
    StepTo(state_.currentTrack - 1);
}

void Player::StepTo(int32_t track) {
    if (track < 0 || track >= TrackCount()) {
        return; // a current track outside the list steps nowhere
    }
    state_.currentTrack = track;
    const PlayerTrack& entry = tracks_[static_cast<std::size_t>(track)];
    display_.RenderTrackPicture(entry.start, entry.length, peaks_);
    view_.TrackPictureRendered(track);
    view_.ScrollLogTo(entry.logStart);
    view_.ShowTrack(track, TrackCount());
    Stop();
    // The alias still names the previous file; the next Play closes it.
    state_.deviceOpen = false;
    Rewind();
}

void Player::Poll() {
    if (!state_.playing || state_.paused) {
        return;
    }
    std::string reply;
    if (media_.Send(media::kStatusPosition, reply) == 0) {
        if (const auto value = ParseDecimal(reply)) {
            state_.position = static_cast<uint32_t>(*value);
        }
    }
    const uint32_t perColumn = MillisecondsPerColumn(CurrentLength(), display_.Area().width);
    state_.markerColumn = static_cast<int32_t>(state_.position / perColumn);
    if (static_cast<int32_t>(state_.position) == state_.lastPolled) {
        // The position has not moved since the last poll: the file has ended.
        Stop();
    }
    state_.lastPolled = static_cast<int32_t>(state_.position);
    if (state_.markerColumn != 0) {
        view_.DrawMarker(state_);
    }
}

bool Player::ApplyClick(const std::optional<ClickTarget>& target) {
    if (!state_.ready || !target) {
        return false;
    }
    state_.markerColumn = target->markerColumn;
    state_.position = target->position;
    view_.DrawMarker(state_);
    PlayFromPosition();
    return true;
}

bool Player::Click(int32_t x, int32_t y) {
    if (!state_.ready) {
        return false;
    }
    return ApplyClick(display_.HitTest(x, y, CurrentLength()));
}

bool Player::ClickPicture(int32_t x, int32_t y) {
    if (!state_.ready) {
        return false;
    }
    return ApplyClick(display_.HitTestPicture(x, y, CurrentLength()));
}

void Player::Close() {
    Send(media::kClose);
    state_.deviceOpen = false;
    state_.playing = false;
}

} // namespace vindral

#include <algorithm>
#include <chrono>
#include <mutex>
#include <thread>

#include <nlohmann/json.hpp>

#include "metadata/Services.h"

namespace vindral::metadata::detail {

namespace {

using Json = nlohmann::json;

// The service asks for at most one request a second from a program.
constexpr auto kMusicBrainzInterval = std::chrono::milliseconds(1000);

std::mutex gateMutex;
std::chrono::steady_clock::time_point lastRequest{};
bool anyRequest = false;

// Waits until a second has passed since the process's last request; false
// when cancelled meanwhile.
bool WaitForTurn(const std::atomic<bool>* cancel) {
    while (true) {
        {
            std::lock_guard<std::mutex> lock(gateMutex);
            const auto now = std::chrono::steady_clock::now();
            if (!anyRequest || now - lastRequest >= kMusicBrainzInterval) {
                anyRequest = true;
                lastRequest = now;
                return true;
            }
        }
        if (cancel != nullptr && cancel->load()) {
            return false;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
}

// A string member, or empty (absent, null or not a string).
std::string Text(const Json& object, const char* name) {
    if (!object.is_object()) {
        return {};
    }
    const auto it = object.find(name);
    return it != object.end() && it->is_string() ? it->get<std::string>() : std::string();
}

int Number(const Json& object, const char* name) {
    if (!object.is_object()) {
        return 0;
    }
    const auto it = object.find(name);
    if (it == object.end() || !it->is_number_integer()) {
        return 0;
    }
    const auto value = it->get<long long>();
    return value < 0 || value > 1000000000 ? 0 : static_cast<int>(value);
}

const Json& Member(const Json& object, const char* name) {
    static const Json none;
    if (!object.is_object()) {
        return none;
    }
    const auto it = object.find(name);
    return it != object.end() ? *it : none;
}

// The credited names joined by their join phrases, and the artists' MBIDs.
std::string Credit(const Json& credits, std::vector<std::string>* ids) {
    std::string text;
    if (!credits.is_array()) {
        return text;
    }
    for (const Json& credit : credits) {
        std::string name = Text(credit, "name");
        if (name.empty()) {
            name = Text(Member(credit, "artist"), "name");
        }
        text += name + Text(credit, "joinphrase");
        if (ids != nullptr) {
            if (const std::string id = Text(Member(credit, "artist"), "id"); !id.empty()) {
                ids->push_back(id);
            }
        }
    }
    return text;
}

bool MediumHoldsDisc(const Json& medium, const std::string& discId) {
    const Json& discs = Member(medium, "discs");
    if (!discs.is_array()) {
        return false;
    }
    return std::any_of(discs.begin(), discs.end(),
                       [&discId](const Json& disc) { return Text(disc, "id") == discId; });
}

bool IsCdFormat(const std::string& format) {
    return format.find("CD") != std::string::npos || format.empty();
}

Release ReadRelease(const Json& json, const DiscKey& key) {
    Release release;
    release.mbid = Text(json, "id");
    release.album = Text(json, "title");
    release.albumArtist = Credit(Member(json, "artist-credit"), &release.albumArtistMbids);
    release.releaseGroupMbid = Text(Member(json, "release-group"), "id");
    release.date = Text(json, "date");
    release.country = Text(json, "country");
    release.barcode = Text(json, "barcode");
    const Json& labels = Member(json, "label-info");
    if (labels.is_array() && !labels.empty()) {
        release.label = Text(Member(labels.front(), "label"), "name");
        release.catalogNumber = Text(labels.front(), "catalog-number");
    }
    const Json& media = Member(json, "media");
    if (!media.is_array() || media.empty()) {
        return release;
    }
    release.discTotal = static_cast<int>(media.size());
    // The medium whose disc list holds the disc ID; else the first CD with
    // as many tracks as the disc (a fuzzy match or a release asked for by
    // its MBID).
    const Json* chosen = nullptr;
    for (const Json& medium : media) {
        if (MediumHoldsDisc(medium, key.discId)) {
            chosen = &medium;
            break;
        }
    }
    for (const Json& medium : media) {
        if (chosen == nullptr && IsCdFormat(Text(medium, "format")) &&
            Number(medium, "track-count") == key.audioTracks) {
            chosen = &medium;
        }
    }
    if (chosen == nullptr) {
        return release; // no medium is this disc: the release's names only
    }
    release.discNumber = Number(*chosen, "position");
    release.format = Text(*chosen, "format");
    const Json& tracks = Member(*chosen, "tracks");
    if (!tracks.is_array()) {
        return release;
    }
    for (const Json& track : tracks) {
        const int position = Number(track, "position");
        if (position < 1 || position > 99) {
            continue; // a hidden track before track 1 has position 0
        }
        TrackMetadata meta;
        meta.number = key.firstAudioTrack + position - 1;
        const Json& recording = Member(track, "recording");
        meta.title = Text(track, "title");
        if (meta.title.empty()) {
            meta.title = Text(recording, "title");
        }
        meta.trackMbid = Text(track, "id");
        meta.recordingMbid = Text(recording, "id");
        meta.lengthMs = Number(track, "length");
        meta.artist = Credit(Member(track, "artist-credit"), &meta.artistMbids);
        if (meta.artist.empty()) {
            meta.artist = Credit(Member(recording, "artist-credit"), &meta.artistMbids);
        }
        const Json& isrcs = Member(recording, "isrcs");
        if (isrcs.is_array() && !isrcs.empty() && isrcs.front().is_string()) {
            meta.isrc = isrcs.front().get<std::string>();
        }
        release.tracks.push_back(std::move(meta));
    }
    std::sort(release.tracks.begin(), release.tracks.end(),
              [](const TrackMetadata& a, const TrackMetadata& b) { return a.number < b.number; });
    return release;
}

bool Parse(const std::string& text, Json& json, std::string& error) {
    json = Json::parse(text, nullptr, false);
    if (json.is_discarded() || !json.is_object()) {
        error = "the answer is not a JSON object";
        return false;
    }
    return true;
}

} // namespace

DiscKey KeyOf(const accuracy::DiscToc& toc) {
    DiscKey key;
    key.discId = accuracy::MusicBrainzId(toc);
    const SectorAddress end = accuracy::AudioEnd(toc);
    bool first = true;
    for (const accuracy::DiscTrack& track : toc.tracks) {
        if (track.start < end && !track.data) {
            if (first) {
                key.firstAudioTrack = track.number;
                first = false;
            }
            ++key.audioTracks;
        }
    }
    return key;
}

std::string MusicBrainzToc(const accuracy::DiscToc& toc) {
    const SectorAddress end = accuracy::AudioEnd(toc);
    std::vector<const accuracy::DiscTrack*> rows;
    for (const accuracy::DiscTrack& track : toc.tracks) {
        if (track.start < end) {
            rows.push_back(&track);
        }
    }
    if (rows.empty()) {
        return {};
    }
    std::string text = std::to_string(rows.front()->number) + "+" +
                       std::to_string(rows.back()->number) + "+" +
                       std::to_string(end + accuracy::kLeadInSectors);
    for (const accuracy::DiscTrack* track : rows) {
        text += "+" + std::to_string(track->start + accuracy::kLeadInSectors);
    }
    return text;
}

net::HttpAnswer MusicBrainzGet(const std::string& url, const std::atomic<bool>* cancel) {
    net::HttpAnswer answer;
    for (int attempt = 0; attempt < 2; ++attempt) {
        if (!WaitForTurn(cancel)) {
            answer = {};
            answer.reason = "cancelled";
            return answer;
        }
        answer = net::HttpGet(url, net::kRequestTimeoutSeconds, cancel);
        // 503 is the service's answer to too many requests: the turn waited
        // for above is the pause before the one more try.
        if (answer.status != 503) {
            break;
        }
    }
    return answer;
}

bool ReadDiscIdAnswer(const std::string& text, const DiscKey& key, std::vector<Release>& releases,
                      std::string& error) {
    Json json;
    if (!Parse(text, json, error)) {
        return false;
    }
    const Json& list = Member(json, "releases");
    if (!list.is_array()) {
        error = "the answer lists no releases";
        return false;
    }
    releases.clear();
    for (const Json& item : list) {
        if (item.is_object() && !Text(item, "id").empty()) {
            releases.push_back(ReadRelease(item, key));
        }
    }
    return true;
}

bool ReadReleaseAnswer(const std::string& text, const DiscKey& key, Release& release,
                       std::string& error) {
    Json json;
    if (!Parse(text, json, error)) {
        return false;
    }
    if (Text(json, "id").empty()) {
        error = "the answer is not a release";
        return false;
    }
    release = ReadRelease(json, key);
    return true;
}

} // namespace vindral::metadata::detail

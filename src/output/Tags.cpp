#include "output/Tags.h"

#include <algorithm>

namespace vindral::output {

namespace {

std::string OneLine(const std::string& value) {
    return value.substr(0, value.find_first_of(std::string("\r\n\0", 3)));
}

} // namespace

std::vector<std::string> VorbisComments(const TrackTags& tags) {
    std::vector<std::string> comments;
    auto add = [&comments](const char* field, const std::string& value) {
        const std::string text = OneLine(value);
        if (!text.empty()) {
            comments.push_back(std::string(field) + "=" + text);
        }
    };
    auto number = [&add](const char* field, int value, int lowest) {
        if (value >= lowest) {
            add(field, std::to_string(value));
        }
    };
    add("TITLE", tags.title);
    add("ARTIST", tags.artist);
    add("ALBUM", tags.album);
    add("ALBUMARTIST", tags.albumArtist);
    add("COMPOSER", tags.composer);
    add("GENRE", tags.genre);
    add("DATE", tags.date);
    number("TRACKNUMBER", tags.trackNumber, 0);
    number("TRACKTOTAL", tags.trackTotal, 1);
    number("DISCNUMBER", tags.discNumber, 1);
    number("DISCTOTAL", tags.discTotal, 1);
    add("ISRC", tags.isrc);
    add("BARCODE", tags.barcode);
    add("MUSICBRAINZ_DISCID", tags.musicBrainzDiscId);
    add("ACCURATERIPID", tags.accurateRipId);
    add("CTDBTOCID", tags.ctdbTocId);
    add("LABEL", tags.label);
    add("CATALOGNUMBER", tags.catalogNumber);
    add("RELEASECOUNTRY", tags.releaseCountry);
    add("MUSICBRAINZ_ALBUMID", tags.musicBrainzAlbumId);
    add("MUSICBRAINZ_RELEASEGROUPID", tags.musicBrainzReleaseGroupId);
    // Several artists: one comment for each ID, as taggers and libraries
    // read them (an ID never holds a '/').
    auto each = [&add](const char* field, const std::string& ids) {
        for (std::size_t from = 0; from <= ids.size();) {
            const std::size_t slash = std::min(ids.find('/', from), ids.size());
            add(field, ids.substr(from, slash - from));
            from = slash + 1;
        }
    };
    each("MUSICBRAINZ_ALBUMARTISTID", tags.musicBrainzAlbumArtistId);
    each("MUSICBRAINZ_ARTISTID", tags.musicBrainzArtistId);
    add("MUSICBRAINZ_TRACKID", tags.musicBrainzTrackId);
    add("MUSICBRAINZ_RELEASETRACKID", tags.musicBrainzReleaseTrackId);
    if (tags.preEmphasis) {
        add("PRE_EMPHASIS", "1");
    }
    add("ENCODER", tags.encoder);
    return comments;
}

TrackTags TagsFromDisc(const DiscDetails& details, int number, const DiscIdTexts& ids) {
    TrackTags tags;
    tags.trackNumber = number;
    tags.trackTotal = static_cast<int>(std::count_if(
        details.tracks.begin(), details.tracks.end(), [](const TrackDetails& t) { return !t.data; }));
    tags.album = details.Text(kCdTextTitle, 0);
    tags.albumArtist = details.Text(kCdTextPerformer, 0);
    tags.genre = details.Text(kCdTextGenre, 0);
    tags.barcode = details.catalog;
    if (number > 0) {
        tags.title = details.Text(kCdTextTitle, number);
        tags.artist = details.Text(kCdTextPerformer, number);
        tags.composer = details.Text(kCdTextComposer, number);
    }
    if (tags.artist.empty()) {
        tags.artist = tags.albumArtist;
    }
    if (tags.composer.empty()) {
        tags.composer = details.Text(kCdTextComposer, 0);
    }
    // The hidden track's audio lies in track 1's pregap: it has no code of
    // its own, and the flags of track 1's sub-channel.
    for (const TrackDetails& track : details.tracks) {
        if (track.number == std::max(number, 1)) {
            tags.isrc = number > 0 ? track.isrc : std::string();
            tags.preEmphasis = track.flags.preEmphasis;
        }
    }
    tags.musicBrainzDiscId = ids.musicBrainz;
    tags.accurateRipId = ids.accurateRip;
    tags.ctdbTocId = ids.ctdb;
    tags.encoder = std::string("Vindral ") + VINDRAL_VERSION;
    return tags;
}

TrackTags WholeDiscTags(const DiscDetails& details, const DiscIdTexts& ids) {
    TrackTags tags = TagsFromDisc(details, 0, ids);
    tags.trackNumber = -1;
    tags.title = tags.album;
    tags.isrc.clear();
    bool any = false;
    tags.preEmphasis = true;
    for (const TrackDetails& track : details.tracks) {
        if (!track.data) {
            any = true;
            tags.preEmphasis = tags.preEmphasis && track.flags.preEmphasis;
        }
    }
    tags.preEmphasis = tags.preEmphasis && any;
    return tags;
}

} // namespace vindral::output

#include "metadata/DiscMetadata.h"

#include <algorithm>
#include <cctype>
#include <cstdlib>

#include "metadata/Services.h"
#include "net/HttpClient.h"

namespace vindral::metadata {

namespace {

constexpr const char* kInclude = "inc=artist-credits+recordings+isrcs+labels+release-groups";

std::string MusicBrainzBase(const LookupOptions& options) {
    return options.musicBrainzUrl.empty() ? kDefaultMusicBrainzUrl : options.musicBrainzUrl;
}

// A cached answer, else one fetched by `get` and kept when `readable` takes
// it; Ok, NotFound or a failure with its reason.
template <typename Get, typename Readable>
net::HttpAnswer CachedGet(const LookupOptions& options, const std::string& name, Get get,
                          Readable readable) {
    if (options.cache != nullptr) {
        if (auto stored = options.cache->Load(name)) {
            if (readable(*stored)) {
                net::HttpAnswer answer;
                answer.outcome = net::HttpAnswer::Outcome::Ok;
                answer.status = 200;
                answer.body = std::move(*stored);
                answer.fromCache = true;
                return answer;
            }
            options.cache->Drop(name);
        }
    }
    net::HttpAnswer answer = get();
    if (answer.outcome == net::HttpAnswer::Outcome::Ok && options.cache != nullptr &&
        readable(answer.body)) {
        options.cache->Store(name, answer.body);
    }
    return answer;
}

std::string Unreached(const char* service, const net::HttpAnswer& answer) {
    return std::string(service) + " could not be reached (" + answer.reason + ")";
}

// Digits only, leading zeros left out: a UPC-A and its EAN-13 form compare
// equal.
std::string BarcodeDigits(const std::string& code) {
    std::string digits;
    for (char c : code) {
        if (std::isdigit(static_cast<unsigned char>(c)) && !(digits.empty() && c == '0')) {
            digits += c;
        }
    }
    return digits;
}

Release ReleaseFromCdText(const DiscDetails& details) {
    Release release;
    release.album = details.Text(kCdTextTitle, 0);
    release.albumArtist = details.Text(kCdTextPerformer, 0);
    release.genre = details.Text(kCdTextGenre, 0);
    release.barcode = details.catalog;
    for (const TrackDetails& track : details.tracks) {
        if (track.data) {
            continue;
        }
        TrackMetadata meta;
        meta.number = track.number;
        meta.title = details.Text(kCdTextTitle, track.number);
        meta.artist = details.Text(kCdTextPerformer, track.number);
        meta.isrc = track.isrc;
        if (!meta.title.empty() || !meta.artist.empty()) {
            release.tracks.push_back(std::move(meta));
        }
    }
    return release;
}

} // namespace

const char* SourceName(Source source) {
    switch (source) {
    case Source::MusicBrainz:
        return "MusicBrainz";
    case Source::CdText:
        return "CD-Text";
    case Source::GnuDb:
        return "GnuDB";
    case Source::None:
        break;
    }
    return "nothing";
}

const TrackMetadata* Release::Track(int number) const {
    for (const TrackMetadata& track : tracks) {
        if (track.number == number) {
            return &track;
        }
    }
    return nullptr;
}

std::string Release::Year() const {
    if (date.size() >= 4 && std::all_of(date.begin(), date.begin() + 4,
                                         [](char c) { return c >= '0' && c <= '9'; })) {
        return date.substr(0, 4);
    }
    return {};
}

const Release* DiscMetadata::Chosen() const {
    if (chosen < 0 || static_cast<std::size_t>(chosen) >= releases.size()) {
        return nullptr;
    }
    return &releases[static_cast<std::size_t>(chosen)];
}

bool IsMbid(const std::string& text) {
    if (text.size() != 36) {
        return false;
    }
    for (std::size_t i = 0; i < text.size(); ++i) {
        const bool dash = i == 8 || i == 13 || i == 18 || i == 23;
        if (dash ? text[i] != '-' : !std::isxdigit(static_cast<unsigned char>(text[i]))) {
            return false;
        }
    }
    return true;
}

std::string UserCountry() {
    for (const char* name : {"LC_ALL", "LC_MESSAGES", "LANG"}) {
        const char* value = std::getenv(name);
        if (value == nullptr || *value == '\0') {
            continue;
        }
        // language[_TERRITORY][.codeset][@modifier]
        std::string locale = value;
        locale = locale.substr(0, locale.find_first_of(".@"));
        const auto underscore = locale.find('_');
        if (underscore == std::string::npos || locale.size() - underscore - 1 != 2) {
            return {};
        }
        std::string country = locale.substr(underscore + 1);
        for (char& c : country) {
            c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
        }
        return std::isalpha(static_cast<unsigned char>(country[0])) &&
                       std::isalpha(static_cast<unsigned char>(country[1]))
                   ? country
                   : std::string();
    }
    return {};
}

int ChooseRelease(const std::vector<Release>& releases, const DiscDetails& details,
                  const std::string& country) {
    if (releases.empty()) {
        return -1;
    }
    const std::string barcode = BarcodeDigits(details.catalog);
    auto isrcsInCommon = [&details](const Release& release) {
        int count = 0;
        for (const TrackDetails& track : details.tracks) {
            const TrackMetadata* meta = release.Track(track.number);
            count += !track.isrc.empty() && meta != nullptr && meta->isrc == track.isrc ? 1 : 0;
        }
        return count;
    };
    // Better first: the disc's barcode, its ISRCs, the user's country, the
    // earliest date (a release without one last), the service's order.
    auto better = [&](const Release& a, const Release& b) {
        const bool barcodeA = !barcode.empty() && BarcodeDigits(a.barcode) == barcode;
        const bool barcodeB = !barcode.empty() && BarcodeDigits(b.barcode) == barcode;
        if (barcodeA != barcodeB) {
            return barcodeA;
        }
        const int isrcA = isrcsInCommon(a);
        const int isrcB = isrcsInCommon(b);
        if (isrcA != isrcB) {
            return isrcA > isrcB;
        }
        const bool countryA = !country.empty() && a.country == country;
        const bool countryB = !country.empty() && b.country == country;
        if (countryA != countryB) {
            return countryA;
        }
        if (a.date.empty() != b.date.empty()) {
            return !a.date.empty();
        }
        return a.date < b.date;
    };
    std::size_t best = 0;
    for (std::size_t k = 1; k < releases.size(); ++k) {
        if (better(releases[k], releases[best])) {
            best = k;
        }
    }
    return static_cast<int>(best);
}

DiscMetadata LookUpDisc(const DiscFacts& disc, const LookupOptions& options) {
    DiscMetadata result;
    const detail::DiscKey key = detail::KeyOf(disc.toc);
    const std::string base = MusicBrainzBase(options);
    const std::string cacheFolder = net::CacheFolderForUrl(base) + "/ws2/";
    auto cancelled = [&options] { return options.cancel != nullptr && options.cancel->load(); };

    if (options.useMusicBrainz && key.audioTracks > 0) {
        const std::string url = net::JoinUrl(base, "ws/2/discid/" + key.discId) +
                                "?toc=" + detail::MusicBrainzToc(disc.toc) + "&" + kInclude +
                                "&fmt=json";
        std::vector<Release> releases;
        std::string error;
        const net::HttpAnswer answer = CachedGet(
            options, cacheFolder + "discid/" + key.discId + ".json",
            [&] { return detail::MusicBrainzGet(url, options.cancel); },
            [&](const std::string& body) {
                return detail::ReadDiscIdAnswer(body, key, releases, error);
            });
        if (answer.outcome == net::HttpAnswer::Outcome::Ok) {
            if (detail::ReadDiscIdAnswer(answer.body, key, releases, error)) {
                result.releases = std::move(releases);
                result.fuzzy = answer.body.find("\"" + key.discId + "\"") == std::string::npos;
            } else {
                result.notes.push_back("MusicBrainz gave an answer that cannot be read (" +
                                       error + ")");
            }
        } else if (answer.outcome == net::HttpAnswer::Outcome::Unreachable) {
            result.notes.push_back(Unreached("MusicBrainz", answer));
        }
        // The release the user asked for, when the disc's answer lacks it.
        const auto listed = std::find_if(result.releases.begin(), result.releases.end(),
                                         [&](const Release& r) { return r.mbid == options.releaseMbid; });
        if (!options.releaseMbid.empty() && listed == result.releases.end() && !cancelled() &&
            answer.outcome != net::HttpAnswer::Outcome::Unreachable) {
            const std::string releaseUrl =
                net::JoinUrl(base, "ws/2/release/" + options.releaseMbid) + "?" + kInclude +
                "+discids&fmt=json";
            Release release;
            const net::HttpAnswer asked = CachedGet(
                options, cacheFolder + "release/" + options.releaseMbid + ".json",
                [&] { return detail::MusicBrainzGet(releaseUrl, options.cancel); },
                [&](const std::string& body) {
                    return detail::ReadReleaseAnswer(body, key, release, error);
                });
            if (asked.outcome == net::HttpAnswer::Outcome::Ok &&
                detail::ReadReleaseAnswer(asked.body, key, release, error)) {
                result.releases.push_back(std::move(release));
            } else if (asked.outcome == net::HttpAnswer::Outcome::NotFound) {
                result.notes.push_back("MusicBrainz knows no release " + options.releaseMbid);
            } else {
                result.notes.push_back(
                    asked.outcome == net::HttpAnswer::Outcome::Ok
                        ? "MusicBrainz gave a release that cannot be read (" + error + ")"
                        : Unreached("MusicBrainz", asked));
            }
        }
        if (!result.releases.empty()) {
            result.source = Source::MusicBrainz;
            result.chosen = -1;
            for (std::size_t k = 0; k < result.releases.size(); ++k) {
                if (result.releases[k].mbid == options.releaseMbid) {
                    result.chosen = static_cast<int>(k);
                }
            }
            if (result.chosen < 0) {
                result.chosen = ChooseRelease(
                    result.releases, disc.details,
                    options.country.empty() ? UserCountry() : options.country);
            }
            return result;
        }
    }
    // The disc's own CD-Text.
    Release cdText = ReleaseFromCdText(disc.details);
    if (!cdText.album.empty() || !cdText.tracks.empty()) {
        result.source = Source::CdText;
        result.releases.push_back(std::move(cdText));
        result.chosen = 0;
        return result;
    }
    if (options.useGnudb && !cancelled()) {
        Release release;
        std::string note;
        const detail::GnudbResult found = detail::LookUpGnudb(disc.toc, options, release, note);
        if (found == detail::GnudbResult::Found) {
            result.source = Source::GnuDb;
            result.releases.push_back(std::move(release));
            result.chosen = 0;
        } else if (found == detail::GnudbResult::Failed) {
            result.notes.push_back(note);
        }
    }
    return result;
}

std::optional<output::CoverImage> FetchFrontCover(const std::string& releaseMbid,
                                                  const LookupOptions& options,
                                                  std::string& reason) {
    if (!IsMbid(releaseMbid)) {
        reason = "no MusicBrainz release";
        return std::nullopt;
    }
    const std::string base = options.coverArtUrl.empty() ? kDefaultCoverArtUrl : options.coverArtUrl;
    const std::string url = net::JoinUrl(base, "release/" + releaseMbid + "/front-500");
    std::optional<output::CoverImage> image;
    auto readable = [&image, &reason](const std::string& body) {
        image = output::CoverFromBytes(std::vector<uint8_t>(body.begin(), body.end()), reason);
        if (image && image->mimeType != "image/jpeg") {
            reason = "not a JPEG image";
            image.reset();
        } else if (image && std::max(image->width, image->height) < kMinCoverPixels) {
            // The archive's 500-pixel size of a smaller original, or a
            // header that gives no size: too small to be worth embedding.
            reason = "smaller than " + std::to_string(kMinCoverPixels) + " pixels";
            image.reset();
        }
        return image.has_value();
    };
    const net::HttpAnswer answer =
        CachedGet(options, net::CacheFolderForUrl(base) + "/release/" + releaseMbid + "-front.jpg",
                  [&] { return net::HttpGet(url, net::kRequestTimeoutSeconds, options.cancel); },
                  readable);
    if (answer.outcome == net::HttpAnswer::Outcome::NotFound) {
        reason = "the Cover Art Archive has no front cover of the release";
        return std::nullopt;
    }
    if (answer.outcome != net::HttpAnswer::Outcome::Ok) {
        reason = Unreached("The Cover Art Archive", answer);
        return std::nullopt;
    }
    if (!readable(answer.body)) {
        reason = "the Cover Art Archive's front cover is " + reason;
        return std::nullopt;
    }
    return image;
}

output::DiscNames NamesOf(const DiscMetadata& metadata, const output::DiscNames& fallback) {
    output::DiscNames names = fallback;
    const Release* release = metadata.Chosen();
    if (release == nullptr) {
        return names;
    }
    auto take = [](std::string& into, const std::string& value) {
        if (!value.empty()) {
            into = value;
        }
    };
    take(names.album, release->album);
    take(names.albumArtist, release->albumArtist);
    take(names.year, release->Year());
    take(names.genre, release->genre);
    if (release->discNumber > 0) {
        names.discNumber = release->discNumber;
        names.discTotal = release->discTotal;
    }
    for (const TrackMetadata& track : release->tracks) {
        output::TrackNames& into = names.tracks[track.number];
        take(into.title, track.title);
        take(into.artist, track.artist);
    }
    return names;
}

void ApplyToTags(const DiscMetadata& metadata, int number, output::TrackTags& tags) {
    const Release* release = metadata.Chosen();
    if (release == nullptr) {
        return;
    }
    auto take = [](std::string& into, const std::string& value) {
        if (!value.empty()) {
            into = value;
        }
    };
    auto joined = [](const std::vector<std::string>& ids) {
        std::string text;
        for (const std::string& id : ids) {
            text += (text.empty() ? "" : "/") + id;
        }
        return text;
    };
    take(tags.album, release->album);
    take(tags.albumArtist, release->albumArtist);
    take(tags.date, release->date);
    take(tags.genre, release->genre);
    take(tags.label, release->label);
    take(tags.catalogNumber, release->catalogNumber);
    take(tags.releaseCountry, release->country);
    if (tags.barcode.empty()) {
        tags.barcode = release->barcode; // the disc's own code wins
    }
    tags.musicBrainzAlbumId = release->mbid;
    tags.musicBrainzReleaseGroupId = release->releaseGroupMbid;
    tags.musicBrainzAlbumArtistId = joined(release->albumArtistMbids);
    if (release->discNumber > 0) {
        tags.discNumber = release->discNumber;
        tags.discTotal = release->discTotal;
    }
    if (number <= 0) {
        take(tags.title, release->album);
        tags.artist = tags.albumArtist;
        return;
    }
    const TrackMetadata* track = release->Track(number);
    if (track == nullptr) {
        if (!release->albumArtist.empty()) {
            tags.artist = release->albumArtist;
        }
        return;
    }
    take(tags.title, track->title);
    tags.artist = !track->artist.empty() ? track->artist
                  : !release->albumArtist.empty() ? release->albumArtist
                                                  : tags.artist;
    if (tags.isrc.empty()) {
        tags.isrc = track->isrc; // the code read from the disc wins
    }
    tags.musicBrainzTrackId = track->recordingMbid;
    tags.musicBrainzReleaseTrackId = track->trackMbid;
    tags.musicBrainzArtistId = joined(track->artistMbids);
}

} // namespace vindral::metadata

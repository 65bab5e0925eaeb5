#include "cli/MetaCommand.h"

#include <cstdio>
#include <ostream>

#include "cli/Cli.h"
#include "platform/OutputFile.h"
#include "platform/Platform.h"
#ifdef VINDRAL_HAVE_METADATA
#include "metadata/DiscMetadata.h"
#include "net/HttpClient.h"
#endif

namespace vindral::cli {

namespace {

#ifdef VINDRAL_HAVE_METADATA
metadata::LookupOptions LookupOptionsOf(const Options& options, const platform::Settings& settings) {
    metadata::LookupOptions lookup;
    auto pick = [](const std::string& option, const std::string& stored) {
        return !option.empty() ? option : stored;
    };
    lookup.musicBrainzUrl = pick(options.musicBrainzUrl, settings.musicBrainzUrl);
    lookup.gnudbUrl = pick(options.gnudbUrl, settings.gnudbUrl);
    lookup.coverArtUrl = pick(options.coverArtUrl, settings.coverArtUrl);
    lookup.releaseMbid = options.releaseMbid;
    lookup.cancel = &interrupted; // Ctrl+C ends a request on its way
    return lookup;
}

metadata::DiscFacts FactsOf(const TrackTable& table, const DiscDetails& details) {
    return {accuracy::DiscTocFromTable(table), details};
}

// "4:16" of a track's sectors.
std::string Length(int32_t sectors) {
    const int32_t seconds = (sectors + 37) / 75;
    char text[24];
    std::snprintf(text, sizeof text, "%d:%02d", static_cast<int>(seconds / 60),
                  static_cast<int>(seconds % 60));
    return text;
}

std::string OrDash(const std::string& text) { return text.empty() ? "-" : text; }
#endif

} // namespace

bool RipUsesNames(const Options& options) {
    if (options.format == "flac" || options.cue || options.single) {
        return true;
    }
    for (std::size_t i = 0; i + 1 < options.naming.size(); ++i) {
        if (options.naming[i] == '%') {
            const char field = options.naming[++i];
            if (field != 't' && field != 'P' && field != '%') {
                return true;
            }
        }
    }
    return false;
}

DiscDetails SheetDetails(const DiscDetails& details, const RipNames& names) {
    if (!names.tags || !details.cdText.empty()) {
        return details;
    }
    DiscDetails sheet = details;
    CdTextBlock block;
    auto put = [&block](CdTextKind kind, int track, const std::string& value) {
        if (!value.empty()) {
            block.text[static_cast<std::size_t>(kind - kCdTextTitle)][track] = value;
        }
    };
    put(kCdTextTitle, 0, names.names.album);
    put(kCdTextPerformer, 0, names.names.albumArtist);
    for (const auto& [number, track] : names.names.tracks) {
        put(kCdTextTitle, number, track.title);
        put(kCdTextPerformer, number, track.artist);
    }
    sheet.cdText.push_back(std::move(block));
    return sheet;
}

void LookUpRipNames(const Options& options, const platform::Settings& settings,
                    const TrackTable& table, const DiscDetails& details, bool wantCover,
                    RipNames& names, std::ostream& err) {
    if (options.noMetadata) {
        err << "The disc was not looked up (--no-metadata): names come from its CD-Text only\n";
        return;
    }
    if (platform::NoMetadataLookups(settings)) {
        return; // turned off for good: nothing to say
    }
#ifndef VINDRAL_HAVE_METADATA
    (void)table, (void)details, (void)wantCover, (void)names;
    err << "The disc was not looked up: this build has no network look-ups\n";
#else
    metadata::LookupOptions lookup = LookupOptionsOf(options, settings);
    const net::AnswerCache cache(net::DefaultCacheFolder());
    lookup.cache = &cache;
    auto result = std::make_shared<metadata::DiscMetadata>(
        metadata::LookUpDisc(FactsOf(table, details), lookup));
    for (const std::string& note : result->notes) {
        err << note << "\n";
    }
    const metadata::Release* release = result->Chosen();
    if (release == nullptr) {
        err << "No names were found for the disc: the files take the default names\n";
        return;
    }
    names.source = metadata::SourceName(result->source);
    if (result->source == metadata::Source::CdText) {
        return; // the names the rip has already
    }
    if (!release->mbid.empty()) {
        names.source += ", release " + release->mbid;
    }
    err << "Names from " << metadata::SourceName(result->source) << ": " << release->album
        << " / " << release->albumArtist;
    if (!release->mbid.empty()) {
        err << " (release " << release->mbid << ")";
    }
    err << "\n";
    names.names = metadata::NamesOf(*result, names.names);
    names.tags = [result](int number, output::TrackTags& tags) {
        metadata::ApplyToTags(*result, number, tags);
    };
    if (wantCover && !release->mbid.empty()) {
        std::string reason;
        if (auto cover = metadata::FetchFrontCover(release->mbid, lookup, reason)) {
            names.cover = std::make_shared<const output::CoverImage>(std::move(*cover));
        } else {
            err << "No front cover: " << reason << "\n";
        }
    }
#endif
}

int MetaCommand(const Options& options, const platform::Settings& settings,
                const TrackTable& table, const DiscDetails& details, std::ostream& out,
                std::ostream& err) {
#ifndef VINDRAL_HAVE_METADATA
    (void)options, (void)settings, (void)table, (void)details, (void)out;
    err << "vindral-cli: meta is not part of this build (it has no network look-ups)\n";
    return kExitFailed;
#else
    metadata::LookupOptions lookup = LookupOptionsOf(options, settings);
    const net::AnswerCache cache(net::DefaultCacheFolder());
    lookup.cache = &cache;
    const metadata::DiscMetadata result = metadata::LookUpDisc(FactsOf(table, details), lookup);
    for (const std::string& note : result.notes) {
        err << note << "\n";
    }
    const metadata::Release* release = result.Chosen();
    if (release == nullptr) {
        err << "Nothing is known of this disc (MusicBrainz, CD-Text, GnuDB)\n";
        return kExitFailed;
    }
    out << "Names from: " << metadata::SourceName(result.source)
        << (result.fuzzy ? " (matched by the table of contents)" : "") << "\n";
    auto line = [&out](const char* label, const std::string& value) {
        if (!value.empty()) {
            out << label << value << "\n";
        }
    };
    line("Album: ", release->album);
    line("Artist: ", release->albumArtist);
    line("Date: ", release->date);
    line("Country: ", release->country);
    line("Label: ", release->label + (release->catalogNumber.empty()
                                          ? std::string()
                                          : " (" + release->catalogNumber + ")"));
    line("Barcode: ", release->barcode);
    line("Genre: ", release->genre);
    if (release->discNumber > 0) {
        out << "Disc: " << release->discNumber << " of " << release->discTotal << "\n";
    }
    line("Release: ", release->mbid);
    for (int k = 0; k < table.count; ++k) {
        const TrackEntry& entry = table.entries[static_cast<std::size_t>(k)];
        if (entry.dataTrack != 0) {
            continue;
        }
        const metadata::TrackMetadata* track = release->Track(entry.number);
        std::string title = track != nullptr ? track->title : std::string();
        std::string artist = track != nullptr ? track->artist : std::string();
        char number[8];
        std::snprintf(number, sizeof number, "%02d", entry.number);
        out << number << "  " << Length(entry.length) << "  " << OrDash(title);
        if (!artist.empty()) {
            out << "  (" << artist << ")";
        }
        out << "\n";
    }
    if (result.releases.size() > 1) {
        out << "Other releases:\n";
        for (std::size_t k = 0; k < result.releases.size(); ++k) {
            if (static_cast<int>(k) == result.chosen) {
                continue;
            }
            const metadata::Release& other = result.releases[k];
            out << "  " << other.mbid << "  " << other.album << " / " << other.albumArtist << "  "
                << OrDash(other.country) << "  " << OrDash(other.date) << "  "
                << OrDash(other.label) << "  " << OrDash(other.barcode) << "  "
                << OrDash(other.format) << "\n";
        }
    }
    return kExitOk;
#endif
}

} // namespace vindral::cli

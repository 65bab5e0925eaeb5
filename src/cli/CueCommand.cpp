#include "cli/CueCommand.h"

#include <cstdio>

#include "drive/CdCommands.h"

#if defined(VINDRAL_HAVE_ACCURACY)
#include "accuracy/DiscIds.h"
#endif

namespace vindral::cli {

namespace {

// A text in double quotes; a cue sheet has no way to write a double quote
// inside one, so it becomes a single quote.
std::string Quoted(std::string text) {
    for (char& c : text) {
        if (c == '"') {
            c = '\'';
        }
    }
    return "\"" + text + "\"";
}

// The CD-Text keywords of a cue sheet and the kinds behind them.
struct TextKeyword {
    const char* keyword;
    CdTextKind kind;
    bool discOnly;
};
constexpr TextKeyword kTextKeywords[] = {
    {"TITLE", kCdTextTitle, false},         {"PERFORMER", kCdTextPerformer, false},
    {"SONGWRITER", kCdTextSongwriter, false}, {"COMPOSER", kCdTextComposer, false},
    {"ARRANGER", kCdTextArranger, false},   {"MESSAGE", kCdTextMessage, false},
    {"GENRE", kCdTextGenre, true},          {"DISC_ID", kCdTextDiscId, true},
};

void AppendText(std::string& text, const DiscDetails& details, int track, const char* indent) {
    for (const TextKeyword& keyword : kTextKeywords) {
        if (keyword.discOnly && track != 0) {
            continue;
        }
        const std::string value = details.Text(keyword.kind, track);
        if (!value.empty()) {
            text += std::string(indent) + keyword.keyword + " " + Quoted(value) + "\n";
        }
    }
}

std::string FlagWords(const TrackFlags& flags) {
    std::string words;
    auto add = [&words](const char* word) {
        words += words.empty() ? "" : " ";
        words += word;
    };
    if (flags.copyPermitted) {
        add("DCP");
    }
    if (flags.fourChannel) {
        add("4CH");
    }
    if (flags.preEmphasis) {
        add("PRE");
    }
    return words;
}

std::string TwoDigits(int number) {
    char text[8];
    std::snprintf(text, sizeof text, "%02d", number);
    return text;
}

} // namespace

std::string CueTime(int32_t sectors) {
    char text[16];
    std::snprintf(text, sizeof text, "%02d:%02d:%02d", sectors / 4500, (sectors / 75) % 60,
                  sectors % 75);
    return text;
}

std::string CueSheetText(const TrackTable& table, const DiscDetails& details,
                         const std::string& prefix) {
    std::string text = "REM COMMENT \"Vindral " VINDRAL_VERSION "\"\n";
#if defined(VINDRAL_HAVE_ACCURACY)
    const accuracy::DiscToc toc = accuracy::DiscTocFromTable(table);
    text += "REM MUSICBRAINZ_DISCID " + accuracy::MusicBrainzId(toc) + "\n";
    text += "REM ACCURATERIP_ID " + accuracy::AccurateRipIdOf(toc).Text() + "\n";
#else
    (void)table;
#endif
    if (!details.catalog.empty()) {
        text += "CATALOG " + details.catalog + "\n";
    }
    AppendText(text, details, 0, "");
    const bool sessions = details.sessions.size() > 1;
    if (sessions) {
        text += "REM SESSION 01\n";
    }
    text += "FILE " + Quoted(prefix + ".wav") + " WAVE\n";
    int session = details.tracks.empty() ? 1 : details.tracks.front().session;
    for (const TrackDetails& track : details.tracks) {
        if (sessions && track.session != session) {
            session = track.session;
            text += "REM SESSION " + TwoDigits(session) + "\n";
        }
        text += "  TRACK " + TwoDigits(track.number) + (track.data ? " MODE1/2352" : " AUDIO") +
                "\n";
        if (!track.data) {
            AppendText(text, details, track.number, "    ");
            if (!track.isrc.empty()) {
                text += "    ISRC " + track.isrc + "\n";
            }
            if (const std::string flags = FlagWords(track.flags); !flags.empty()) {
                text += "    FLAGS " + flags + "\n";
            }
        }
        if (track.pregapStart < track.start) {
            text += "    INDEX 00 " + CueTime(track.pregapStart) + "\n";
        }
        text += "    INDEX 01 " + CueTime(track.start) + "\n";
        for (std::size_t i = 0; i < track.indexes.size(); ++i) {
            text += "    INDEX " + TwoDigits(track.indexNumbers[i]) + " " +
                    CueTime(track.indexes[i]) + "\n";
        }
    }
    return text;
}

std::string SectorCountLines(const DiscDetails& details) {
    std::string text;
    for (const TrackDetails& track : details.tracks) {
        text += "Track " + TwoDigits(track.number) + ": " + std::to_string(track.sectorsRead) +
                " sectors read\n";
    }
    text += "Disc: " + std::to_string(details.sectorsRead) + " sectors read, " +
            std::to_string(details.qFramesRejected) + " Q frames rejected\n";
    return text;
}

std::string FullTocLines(const DiscDetails& details) {
    std::string text;
    for (std::size_t k = 0; k < details.tracks.size(); ++k) {
        const TrackDetails& track = details.tracks[k];
        const std::string flags = FlagWords(track.flags);
        text += "  Track " + TwoDigits(track.number) + "  pregap " +
                CdCommands::FramesToTimeText(details.PregapLength(k)) + "  indexes " +
                (track.indexesRead ? std::to_string(1 + track.indexes.size()) : "unknown") +
                "  ISRC " + (track.isrc.empty() ? "none" : track.isrc) + "  flags " +
                (flags.empty() ? "none" : flags) + "\n";
    }
    const std::string title = details.Text(kCdTextTitle, 0);
    const std::string performer = details.Text(kCdTextPerformer, 0);
    text += "Catalog: " + (details.catalog.empty() ? "none" : details.catalog) +
            "  Title: " + (title.empty() ? "none" : Quoted(title)) +
            "  Performer: " + (performer.empty() ? "none" : Quoted(performer)) + "\n";
    return text;
}

} // namespace vindral::cli

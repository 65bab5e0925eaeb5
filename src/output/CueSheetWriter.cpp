#include "output/CueSheetWriter.h"

#include <cstdio>
#include <ctime>

#include "drive/CdCommands.h"
#include "output/Naming.h"
#include "platform/OutputFile.h"

#if defined(VINDRAL_HAVE_ACCURACY)
#include "accuracy/DiscIds.h"
#endif

namespace vindral::output {

namespace {

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
            text += std::string(indent) + keyword.keyword + " " + CueQuoted(value) + "\n";
        }
    }
}

// The lines after TRACK that name an audio track: CD-Text, ISRC, flags.
void AppendTrackFields(std::string& text, const DiscDetails& details, const TrackDetails& track) {
    AppendText(text, details, track.number, "    ");
    if (!track.isrc.empty()) {
        text += "    ISRC " + track.isrc + "\n";
    }
    if (const std::string flags = FlagWords(track.flags); !flags.empty()) {
        text += "    FLAGS " + flags + "\n";
    }
}

// The REM lines naming the program and the disc, the catalog number and the
// disc's CD-Text. `allIds` adds the CDDB and CTDB IDs.
std::string SheetHeader(const TrackTable& table, const DiscDetails& details, bool allIds,
                        const std::string& date) {
    std::string text = "REM COMMENT \"Vindral " VINDRAL_VERSION "\"\n";
    if (!date.empty()) {
        text += "REM RIPDATE " + date + "\n";
    }
#if defined(VINDRAL_HAVE_ACCURACY)
    const accuracy::DiscToc toc = accuracy::DiscTocFromTable(table);
    if (allIds) {
        text += "REM DISCID " + accuracy::Hex8(accuracy::CddbId(toc)) + "\n";
    }
    text += "REM MUSICBRAINZ_DISCID " + accuracy::MusicBrainzId(toc) + "\n";
    text += "REM ACCURATERIP_ID " + accuracy::AccurateRipIdOf(toc).Text() + "\n";
    if (allIds) {
        text += "REM CTDB_TOCID " + accuracy::CtdbTocId(toc) + "\n";
    }
#else
    (void)table;
    (void)allIds;
#endif
    if (!details.catalog.empty()) {
        text += "CATALOG " + details.catalog + "\n";
    }
    AppendText(text, details, 0, "");
    return text;
}

std::string FileLine(const std::string& name) { return "FILE " + CueQuoted(name) + " WAVE\n"; }

} // namespace

std::string CueTime(int32_t sectors) {
    char text[16];
    std::snprintf(text, sizeof text, "%02d:%02d:%02d", sectors / 4500, (sectors / 75) % 60,
                  sectors % 75);
    return text;
}

std::string CueQuoted(std::string text) {
    for (char& c : text) {
        if (c == '"') {
            c = '\'';
        }
    }
    return "\"" + text + "\"";
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

std::string OneFileCueSheet(const TrackTable& table, const DiscDetails& details,
                            const std::string& fileName, bool dataTracks) {
    std::string text = SheetHeader(table, details, false, "");
    const bool sessions = dataTracks && details.sessions.size() > 1;
    if (sessions) {
        text += "REM SESSION 01\n";
    }
    text += FileLine(fileName);
    int session = details.tracks.empty() ? 1 : details.tracks.front().session;
    for (const TrackDetails& track : details.tracks) {
        if (track.data && !dataTracks) {
            continue;
        }
        if (sessions && track.session != session) {
            session = track.session;
            text += "REM SESSION " + TwoDigits(session) + "\n";
        }
        text += "  TRACK " + TwoDigits(track.number) + (track.data ? " MODE1/2352" : " AUDIO") +
                "\n";
        if (!track.data) {
            AppendTrackFields(text, details, track);
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

bool TrackFilesCueSheet(const TrackTable& table, const DiscDetails& details,
                        const std::map<int, std::string>& files, const std::string& date,
                        std::string& text, std::string& reason) {
    auto entryOf = [&table](int number) -> const TrackEntry* {
        for (int k = 0; k < table.count; ++k) {
            if (table.entries[static_cast<std::size_t>(k)].number == number) {
                return &table.entries[static_cast<std::size_t>(k)];
            }
        }
        return nullptr;
    };
    std::string missing;
    int lastAudio = -1;
    for (const TrackDetails& track : details.tracks) {
        if (track.data) {
            continue;
        }
        if (files.count(track.number) == 0) {
            missing += (missing.empty() ? "" : ", ") + TwoDigits(track.number);
        }
        if (lastAudio >= 0 && track.number != lastAudio + 1) {
            reason = "a data track lies between audio tracks " + TwoDigits(lastAudio) + " and " +
                     TwoDigits(track.number);
            return false;
        }
        lastAudio = track.number;
    }
    if (lastAudio < 0) {
        reason = "the disc has no audio track";
        return false;
    }
    if (!missing.empty()) {
        reason = "not every audio track was ripped (not ripped: " + missing + ")";
        return false;
    }

    text = SheetHeader(table, details, true, date);
    const TrackDetails* previous = nullptr; // the audio track before, when its file is open
    bool first = true;
    for (const TrackDetails& track : details.tracks) {
        if (track.data) {
            previous = nullptr;
            continue;
        }
        const std::string& file = files.at(track.number);
        const std::string trackLine = "  TRACK " + TwoDigits(track.number) + " AUDIO\n";
        const bool discStart = first && &track == &details.tracks.front() && track.start > 0;
        first = false;
        if (discStart && files.count(0) != 0) {
            // The audio before track 1 is the track-0 file: track 1's pregap.
            text += FileLine(files.at(0)) + trackLine;
            AppendTrackFields(text, details, track);
            text += "    INDEX 00 " + CueTime(0) + "\n" + FileLine(file);
        } else if (discStart) {
            text += FileLine(file) + trackLine;
            AppendTrackFields(text, details, track);
            text += "    REM COMMENT \"The " + CueTime(track.start) +
                    " before track 01 were not ripped (track 00): silence here\"\n";
            text += "    PREGAP " + CueTime(track.start) + "\n";
        } else if (track.pregapStart < track.start) {
            const TrackEntry* before = previous ? entryOf(previous->number) : nullptr;
            const bool inPrevious = before != nullptr &&
                                    before->start + before->length == track.start &&
                                    track.pregapStart > before->start;
            if (inPrevious) {
                // The previous file, as the table of contents bounds it, ends
                // with this pregap.
                text += trackLine;
                AppendTrackFields(text, details, track);
                text += "    INDEX 00 " + CueTime(track.pregapStart - before->start) + "\n" +
                        FileLine(file);
            } else {
                text += FileLine(file) + trackLine;
                AppendTrackFields(text, details, track);
                text += "    PREGAP " + CueTime(track.start - track.pregapStart) + "\n";
            }
        } else {
            text += FileLine(file) + trackLine;
            AppendTrackFields(text, details, track);
        }
        text += "    INDEX 01 " + CueTime(0) + "\n";
        for (std::size_t i = 0; i < track.indexes.size(); ++i) {
            text += "    INDEX " + TwoDigits(track.indexNumbers[i]) + " " +
                    CueTime(track.indexes[i] - track.start) + "\n";
        }
        previous = &track;
    }
    return true;
}

std::string M3uPlaylist(const TrackTable& table, const DiscNames& names,
                        const std::map<int, std::string>& files) {
    std::string text = "#EXTM3U\n";
    for (const auto& [number, file] : files) {
        int32_t sectors = 0;
        for (int k = 0; k < table.count; ++k) {
            const TrackEntry& entry = table.entries[static_cast<std::size_t>(k)];
            if (number == 0 && k == 0) {
                sectors = entry.start; // the audio before track 1
            } else if (entry.number == number) {
                sectors = entry.length;
            }
        }
        text += "#EXTINF:" + std::to_string((sectors + 37) / 75) + "," +
                names.ArtistOf(number) + " - " + names.TitleOf(number) + "\n" + file + "\n";
    }
    return text;
}

bool PlanSheet(const std::map<int, std::string>& trackPaths, const std::string& stem,
               SheetPlan& plan, std::string& reason) {
    if (trackPaths.empty()) {
        reason = "no track was ripped";
        return false;
    }
    const std::string& first = trackPaths.begin()->second;
    const auto slash = first.find_last_of("/\\");
    const std::string folder = slash == std::string::npos ? "" : first.substr(0, slash + 1);
    plan = SheetPlan{};
    for (const auto& [number, path] : trackPaths) {
        const std::string name = path.substr(folder.size());
        if (path.compare(0, folder.size(), folder) != 0 ||
            name.find_first_of("/\\") != std::string::npos) {
            reason = "the track files are not all in one folder";
            return false;
        }
        plan.files[number] = name;
    }
    const std::string base = folder + SafeName(stem, 251);
    plan.cuePath = base + ".cue";
    plan.playlistPath = base + ".m3u";
    return true;
}

RipSheet PlanRipSheet(const TrackTable& table, const DiscDetails& details,
                      const DiscNames& names, const std::map<int, std::string>& trackPaths,
                      const std::string& prefix, const std::string& date) {
    RipSheet sheet;
    if (PlanSheet(trackPaths, names.album.empty() ? prefix : names.album, sheet.plan,
                  sheet.reason) &&
        TrackFilesCueSheet(table, details, sheet.plan.files, date, sheet.cueText,
                           sheet.reason)) {
        sheet.playlistText = M3uPlaylist(table, names, sheet.plan.files);
    }
    return sheet;
}

bool WriteRipSheet(const RipSheet& sheet, std::string& error) {
    error.clear();
    for (const auto& [path, text] : {std::pair{&sheet.plan.cuePath, &sheet.cueText},
                                     std::pair{&sheet.plan.playlistPath, &sheet.playlistText}}) {
        std::string reason;
        if (!path->empty() && !platform::WriteWholeFile(*path, *text, reason)) {
            error += (error.empty() ? "" : "\n") + reason;
        }
    }
    return error.empty();
}

std::string LocalDateText() {
    const std::time_t now = std::time(nullptr);
    std::tm local{};
#if defined(_WIN32)
    localtime_s(&local, &now);
#else
    localtime_r(&now, &local);
#endif
    char text[16];
    std::strftime(text, sizeof text, "%Y-%m-%d", &local);
    return text;
}

} // namespace vindral::output

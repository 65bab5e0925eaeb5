#include "cli/CueCommand.h"

#include <cstdio>

#include "drive/CdCommands.h"
#include "output/CueSheetWriter.h"
#include "output/Naming.h"

namespace vindral::cli {

using output::TwoDigits;

std::string CueSheetText(const TrackTable& table, const DiscDetails& details,
                         const std::string& prefix) {
    return output::OneFileCueSheet(table, details, prefix + ".wav");
}

std::string SectorCountLines(const DiscDetails& details) {
    std::string text;
    for (const TrackDetails& track : details.tracks) {
        text += "Track " + TwoDigits(track.number) + ": " + std::to_string(track.sectorsRead) +
                " sectors read\n";
    }
    text += "Disc: " + std::to_string(details.sectorsRead) + " sectors read, " +
            std::to_string(details.qFramesRejected) + " Q frames rejected, " +
            std::to_string(details.commands) + " commands\n";
    return text;
}

std::string FullTocLines(const DiscDetails& details) {
    std::string text;
    for (std::size_t k = 0; k < details.tracks.size(); ++k) {
        const TrackDetails& track = details.tracks[k];
        const std::string flags = output::FlagWords(track.flags);
        text += "  Track " + TwoDigits(track.number) + "  pregap " +
                CdCommands::FramesToTimeText(details.PregapLength(k)) + "  indexes " +
                (track.indexesRead ? std::to_string(1 + track.indexes.size()) : "unknown") +
                "  ISRC " + (track.isrc.empty() ? "none" : track.isrc) + "  flags " +
                (flags.empty() ? "none" : flags) + "\n";
    }
    const std::string title = details.Text(kCdTextTitle, 0);
    const std::string performer = details.Text(kCdTextPerformer, 0);
    text += "Catalog: " + (details.catalog.empty() ? "none" : details.catalog) +
            "  Title: " + (title.empty() ? "none" : output::CueQuoted(title)) +
            "  Performer: " + (performer.empty() ? "none" : output::CueQuoted(performer)) + "\n";
    return text;
}

} // namespace vindral::cli

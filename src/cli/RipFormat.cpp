#include "cli/RipFormat.h"

#include <ostream>

#include "cli/Cli.h"
#include "drive/DiscInfo.h"
#include "output/Tags.h"
#ifdef VINDRAL_HAVE_ACCURACY
#include "accuracy/DiscIds.h"
#endif
#ifdef VINDRAL_HAVE_FLAC
#include "output/FlacEncoder.h"
#endif

namespace vindral::cli {

int CheckRipFormat(const Options& options, std::shared_ptr<const output::CoverImage>& cover,
                   std::ostream& err) {
    if (options.format != "flac") {
        if (options.flacLevel >= 0 || !options.cover.empty()) {
            err << "vindral-cli: " << (options.flacLevel >= 0 ? "--flac-level" : "--cover")
                << " needs --format flac\n";
            return kExitUsage;
        }
        return 0;
    }
#ifndef VINDRAL_HAVE_FLAC
    (void)cover;
    err << "vindral-cli: FLAC files are not part of this build (use --format wav)\n";
    return kExitUsage;
#else
    if (!options.cover.empty()) {
        std::string error;
        auto image = output::LoadCoverImage(options.cover, error);
        if (!image) {
            err << "vindral-cli: --cover " << error << "\n";
            return kExitUsage;
        }
        cover = std::make_shared<const output::CoverImage>(std::move(*image));
    }
    return 0;
#endif
}

void PrepareRipFormat(const Options& options, std::shared_ptr<const output::CoverImage> cover,
                      const DiscDetails& details, const TrackTable& table, ExtractJob& job,
                      const std::function<void(int number, output::TrackTags& tags)>& adjust) {
#ifndef VINDRAL_HAVE_FLAC
    (void)options, (void)cover, (void)details, (void)table, (void)job, (void)adjust;
#else
    if (options.format != "flac") {
        return;
    }
    output::DiscIdTexts ids;
#ifdef VINDRAL_HAVE_ACCURACY
    const accuracy::DiscToc toc = accuracy::DiscTocFromTable(table);
    ids.musicBrainz = accuracy::MusicBrainzId(toc);
    ids.accurateRip = accuracy::AccurateRipIdOf(toc).Text();
    ids.ctdb = accuracy::CtdbTocId(toc);
#endif
    output::FlacSettings settings;
    settings.level = options.flacLevel >= 0 ? options.flacLevel : output::kDefaultFlacLevel;
    settings.cover = std::move(cover);
    if (job.oneFile) {
        // One file of the whole disc (named .flac already), tagged for it.
        output::TrackTags tags = output::WholeDiscTags(details, ids);
        if (adjust) {
            adjust(0, tags);
        }
        job.makeEncoder =
            output::FlacEncoderFactory(std::move(settings), {output::VorbisComments(tags)});
        return;
    }
    output::UseFlacFiles(job, details, ids, std::move(settings), adjust);
#endif
}

} // namespace vindral::cli

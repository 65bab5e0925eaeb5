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

namespace {

// "Track01.wav" -> "Track01.flac".
std::string WithExtension(const std::string& path, const std::string& extension) {
    const auto slash = path.find_last_of("/\\");
    const auto dot = path.rfind('.');
    const bool hasOne = dot != std::string::npos && (slash == std::string::npos || dot > slash);
    return (hasOne ? path.substr(0, dot) : path) + extension;
}

} // namespace

void PrepareRipFormat(const Options& options, std::shared_ptr<const output::CoverImage> cover,
                      CdDevice device, const TrackTable& table, ExtractJob& job,
                      std::ostream& err) {
#ifndef VINDRAL_HAVE_FLAC
    (void)options, (void)cover, (void)device, (void)table, (void)job, (void)err;
#else
    if (options.format != "flac") {
        return;
    }
    const DiscDetails details = ReadDiscDetails(device.hostAdapter, device.target, table);
    for (const std::string& note : details.notes) {
        err << note << "\n";
    }
    output::DiscIdTexts ids;
#ifdef VINDRAL_HAVE_ACCURACY
    const accuracy::DiscToc toc = accuracy::DiscTocFromTable(table);
    ids.musicBrainz = accuracy::MusicBrainzId(toc);
    ids.accurateRip = accuracy::AccurateRipIdOf(toc).Text();
    ids.ctdb = accuracy::CtdbTocId(toc);
#endif
    std::vector<std::vector<std::string>> comments;
    for (JobEntry& entry : job.tracks) {
        entry.path = WithExtension(entry.path, ".flac");
        comments.push_back(
            output::VorbisComments(output::TagsFromDisc(details, entry.track.number, ids)));
    }
    output::FlacSettings settings;
    settings.level = options.flacLevel >= 0 ? options.flacLevel : output::kDefaultFlacLevel;
    settings.cover = std::move(cover);
    job.makeEncoder = output::FlacEncoderFactory(std::move(settings), std::move(comments));
#endif
}

} // namespace vindral::cli

// rip's --format, --flac-level and --cover: the job's encoded files and
// their tags.
#pragma once

#include <functional>
#include <iosfwd>
#include <memory>

#include "cli/CommandLine.h"
#include "drive/DiscInfo.h"
#include "drive/DriveSearch.h"
#include "extract/ExtractRun.h"
#include "output/CoverImage.h"
#include "output/Tags.h"

namespace vindral::cli {

// Checks the format options before the drive is touched: 0, else the exit
// status with the message written. `cover` receives the image of --cover.
int CheckRipFormat(const Options& options, std::shared_ptr<const output::CoverImage>& cover,
                   std::ostream& err);

// With --format flac: the job's files become NAMEnn.flac, and each gets an
// encoder with its track's tags, from what the disc says about itself
// (`details`, read once by the caller) and its IDs; the one file of a
// --single job gets the whole disc's tags. Nothing with --format wav.
// `adjust`, where given, brings in the names looked up for the disc.
void PrepareRipFormat(const Options& options, std::shared_ptr<const output::CoverImage> cover,
                      const DiscDetails& details, const TrackTable& table, ExtractJob& job,
                      const std::function<void(int number, output::TrackTags& tags)>& adjust = {});

} // namespace vindral::cli

// vindral-cli repair: mends the files of an earlier rip from the CTDB.
#pragma once

#include <iosfwd>
#include <string>

#include "cli/AccuracyCommands.h"

namespace vindral::cli {

// `repair DIR|CUE`: finds the rip through the cue sheet given (or the one in
// DIR), else through the rip log in DIR, looks the disc up and mends the
// files in place; 0 when mended and proven or already exact.
int RepairCommand(const std::string& where, const RipCheckOptions& checks, std::ostream& out,
                  std::ostream& err);

} // namespace vindral::cli

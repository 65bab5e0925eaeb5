// vindral-cli: the drive list, the table of contents and a whole rip without
// a window.
#pragma once

#include <atomic>
#include <cstdint>
#include <iosfwd>
#include <optional>
#include <string>
#include <vector>

#include "cli/CommandLine.h"
#include "drive/DriveSearch.h"

namespace vindral::cli {

constexpr int kExitOk = 0;
constexpr int kExitFailed = 1;
constexpr int kExitUsage = 2;
constexpr int kExitInterrupted = 130;

// Set by the Ctrl+C handler; the rip treats it as a press of Cancel.
extern std::atomic<bool> interrupted;

// "all" or a list such as "1,3-5" of track numbers. Returns the selected
// rows of the table in row order, or nothing with `error` set (unknown
// number, bad syntax, a data track).
std::optional<std::vector<int>> ParseTrackList(const std::string& text, const TrackTable& table,
                                               std::string& error);

// Runs one command line; returns the exit status.
int Run(int argc, char** argv, std::ostream& out, std::ostream& err);

} // namespace vindral::cli

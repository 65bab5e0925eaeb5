// vindral-cli run inside the test process, its output caught.
#pragma once

#include <sstream>
#include <string>
#include <vector>

#include "cli/Cli.h"
#include "drive/Transport.h"

namespace vindral::test {

struct CliResult {
    int status;
    std::string out;
    std::string err;
};

// Runs `vindral-cli ARGS...`. The transport is forgotten afterwards, and
// before, unless the test has selected one for the run.
inline CliResult RunCli(std::vector<std::string> args, bool keepSelectedTransport = false) {
    if (!keepSelectedTransport) {
        ResetTransportForTesting();
    }
    args.insert(args.begin(), "vindral-cli");
    std::vector<char*> argv;
    for (auto& arg : args) {
        argv.push_back(arg.data());
    }
    std::ostringstream out;
    std::ostringstream err;
    const int status = cli::Run(static_cast<int>(argv.size()), argv.data(), out, err);
    ResetTransportForTesting();
    return {status, out.str(), err.str()};
}

// The lines of a text, without their line ends.
inline std::vector<std::string> Lines(const std::string& text) {
    std::vector<std::string> lines;
    std::istringstream in(text);
    for (std::string line; std::getline(in, line);) {
        lines.push_back(line);
    }
    return lines;
}

} // namespace vindral::test

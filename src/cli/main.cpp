#include <csignal>
#include <iostream>

#include "cli/Cli.h"

namespace {

extern "C" void OnInterrupt(int) { vindral::cli::interrupted.store(true); }

} // namespace

int main(int argc, char** argv) {
    std::signal(SIGINT, OnInterrupt);
#if defined(SIGTERM)
    std::signal(SIGTERM, OnInterrupt);
#endif
#if defined(SIGHUP)
    std::signal(SIGHUP, OnInterrupt); // the terminal went away
#endif
    return vindral::cli::Run(argc, argv, std::cout, std::cerr);
}

#include "cli/AccuracyCommands.h"

#include <cerrno>
#include <cstring>
#include <fstream>
#include <ostream>
#include <sstream>
#include <string>

#include "cli/Cli.h"

#if defined(VINDRAL_HAVE_ACCURACY)
#include "accuracy/DiscIds.h"
#include "accuracy/RipLog.h"
#endif

namespace vindral::cli {

#if defined(VINDRAL_HAVE_ACCURACY)

int PrintDiscIds(const TrackTable& table, std::ostream& out, std::ostream&) {
    const accuracy::DiscToc toc = accuracy::DiscTocFromTable(table);
    out << "AccurateRip: " << accuracy::AccurateRipIdOf(toc).Text() << "\n"
        << "CDDB: " << accuracy::Hex8(accuracy::CddbId(toc)) << "\n"
        << "MusicBrainz: " << accuracy::MusicBrainzId(toc) << "\n"
        << "CTDB: " << accuracy::CtdbTocId(toc) << "\n";
    return kExitOk;
}

int VerifyLogCommand(int argc, char** argv, std::ostream& out, std::ostream& err) {
    if (argc != 4 || std::strcmp(argv[2], "verify") != 0) {
        err << "usage: vindral-cli log verify FILE\n";
        return kExitUsage;
    }
    const std::string path = argv[3];
    std::ifstream in(path, std::ios::binary);
    if (!in) {
        err << "vindral-cli: cannot read " << path << ": " << std::strerror(errno) << "\n";
        return kExitFailed;
    }
    std::ostringstream text;
    text << in.rdbuf();
    switch (accuracy::VerifyRipLog(text.str())) {
    case accuracy::RipLogState::Intact:
        out << path << ": intact, unchanged since it was sealed\n";
        return kExitOk;
    case accuracy::RipLogState::Changed:
        out << path << ": changed since it was sealed\n";
        return kExitFailed;
    case accuracy::RipLogState::Unsealed:
        out << path << ": not sealed\n";
        return kExitFailed;
    }
    return kExitFailed;
}

#else

int PrintDiscIds(const TrackTable&, std::ostream&, std::ostream& err) {
    err << "vindral-cli: disc IDs are not part of this build\n";
    return kExitUsage;
}

int VerifyLogCommand(int, char**, std::ostream&, std::ostream& err) {
    err << "vindral-cli: rip logs are not part of this build\n";
    return kExitUsage;
}

#endif

} // namespace vindral::cli

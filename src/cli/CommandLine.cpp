#include "cli/CommandLine.h"

#include <algorithm>
#include <cctype>
#include <ostream>

#include "cli/Cli.h"
#include "extract/ReadOffset.h"
#include "output/Naming.h"

namespace vindral::cli {

namespace {

// A read offset: an optional sign and at most four digits, -3000 to 3000.
bool ParseOffset(const std::string& text, int32_t& offset) {
    std::size_t at = 0;
    bool negative = false;
    if (!text.empty() && (text[0] == '-' || text[0] == '+')) {
        negative = text[0] == '-';
        at = 1;
    }
    int value = 0;
    const std::string digits = text.substr(at);
    if (digits.size() > 4 || !ParseNumber(digits, value) || value > kMaxReadOffset) {
        return false;
    }
    offset = negative ? -value : value;
    return true;
}

// A number from `low` to `high`, else `error` names the option and the range.
bool NumberIn(const std::string& text, int low, int high, const char* option, int& value,
              std::string& error) {
    if (!ParseNumber(text, value) || value < low || value > high) {
        error = std::string(option) + " takes a number from " + std::to_string(low) + " to " +
                std::to_string(high);
        return false;
    }
    return true;
}

// The characters a file-name prefix cannot hold: they would name a folder
// (or, on Windows, a drive).
#if defined(_WIN32)
constexpr std::string_view kPrefixForbidden = "/\\:";
constexpr const char* kPrefixRule = "a prefix cannot hold '/', '\\' or ':'";
#else
constexpr std::string_view kPrefixForbidden = "/";
constexpr const char* kPrefixRule = "a prefix cannot hold '/'";
#endif

const std::vector<OptionSpec> kOptions = {
    // SOURCE: parsed by ParseDriveSourceOption, shared with the window.
    {"--image", "FILE.cue", ValueKind::CueSheet,
     "an emulated drive over a CUE sheet with BIN or WAV files\n"
     "(repeatable: one drive per image)",
     nullptr},
    {"--demo", "", ValueKind::None, "an emulated drive with the built-in demo disc", nullptr},
    {"--device", "/dev/srN", ValueKind::Device, "this drive node only (repeatable)", nullptr},
    {"--emulated-speed", "X", ValueKind::Speed,
     "limit the emulated drives to X times the audio speed\n"
     "(a number such as 40, or max: as fast as the machine reads)",
     nullptr},

    {"--drive", "N", ValueKind::Free,
     "the drive, counted from 0 as 'drives' lists them (default 0)",
     [](Options& o, const std::string& v, std::string& error) {
         if (!ParseNumber(v, o.drive)) {
             error = "--drive takes a drive number from 0";
             return false;
         }
         return true;
     }},
    {"--full", "", ValueKind::None,
     "also print each track's pregap, number of index points,\n"
     "ISRC and flags, and a line with the disc's catalog number\n"
     "and CD-Text title and performer (read from the sub-channel)",
     [](Options& o, const std::string&, std::string&) {
         o.full = true;
         return true;
     }},
    {"--counts", "", ValueKind::None,
     "also print on standard error the sectors read for each\n"
     "track's index points and codes, and for the whole disc\n"
     "with the commands sent to the drive",
     [](Options& o, const std::string&, std::string&) {
         o.counts = true;
         return true;
     }},
    {"--tracks", "LIST", ValueKind::Tracks,
     "all (every audio track, the default) or track numbers\n"
     "such as 1,3-5",
     [](Options& o, const std::string& v, std::string&) {
         o.tracks = v;
         return true;
     }},
    {"--out", "DIR", ValueKind::Folder,
     "the folder for the files (default: the current folder);\n"
     "created with the folders above it when missing",
     [](Options& o, const std::string& v, std::string&) {
         o.out = v;
         return true;
     }},
    {"--prefix", "NAME", ValueKind::Free,
     "the start of every file name (default: Track); the folder\n"
     "is --out's, so NAME cannot hold '/'",
     [](Options& o, const std::string& v, std::string& error) {
         if (v.find_first_of(kPrefixForbidden) != std::string::npos) {
             error = std::string("--prefix '") + v + "': " + kPrefixRule +
                     " (the folder is given with --out)";
             return false;
         }
         o.prefix = v;
         return true;
     }},
    {"--naming", "TEMPLATE", ValueKind::Free,
     "name the files by TEMPLATE instead of NAMEnn ('/' makes\n"
     "folders, created as needed): %t track number (two digits),\n"
     "%n track title, %a track artist, %A album artist, %d album\n"
     "title, %y year, %D disc number, %P the prefix, %% a '%';\n"
     "names come from the disc's CD-Text (a missing title is\n"
     "'Track nn', a missing artist 'Unknown Artist'), made safe\n"
     "for Linux and Windows; two tracks never share a name",
     [](Options& o, const std::string& v, std::string& error) {
         if (!output::CheckNamingTemplate(v, error)) {
             return false;
         }
         o.naming = v;
         return true;
     }},
    {"--cue", "", ValueKind::None,
     "after a rip of every audio track, write a cue sheet that\n"
     "rebuilds the disc (ALBUM.cue, else NAME.cue, beside the\n"
     "track files; each pregap at the end of the file before)\n"
     "and an .m3u playlist of the same name",
     [](Options& o, const std::string&, std::string&) {
         o.cue = true;
         return true;
     }},
    {"--single", "", ValueKind::None,
     "the disc's whole audio, from its first sector (track 1's\n"
     "pregap and hidden audio included) to the end of its last\n"
     "audio track, into one file ALBUM.wav|.flac, else\n"
     "NAME.wav|.flac, with the cue sheet of the cue command\n"
     "beside it (ALBUM.cue, else NAME.cue; no playlist; data\n"
     "tracks left out); every track is still read, verified and\n"
     "checked on its own; refused with --tracks other than all\n"
     "and with --naming",
     [](Options& o, const std::string&, std::string&) {
         o.single = true;
         return true;
     }},
    {"--no-clobber", "", ValueKind::None,
     "refuse to start when a file the rip would write exists",
     [](Options& o, const std::string&, std::string&) {
         o.noClobber = true;
         return true;
     }},
    {"--verify", "", ValueKind::None, "read every track twice and compare the file byte for byte",
     [](Options& o, const std::string&, std::string&) {
         o.verify = true;
         return true;
     }},
    {"--c2", "", ValueKind::None,
     "verify with the drive's C2 error pointers instead (refused\n"
     "where the drive's read method gives none)",
     [](Options& o, const std::string&, std::string&) {
         o.c2 = true;
         return true;
     }},
    {"--speed", "X", ValueKind::Speed, "read speed: 1, 2, 4, 8, 12, 16, 32 or max",
     [](Options& o, const std::string& v, std::string& error) {
         o.speed = SpeedFromArgument(v);
         if (!o.speed) {
             error = "--speed takes 1, 2, 4, 8, 12, 16, 32 or max";
             return false;
         }
         return true;
     }},
    {"--log", "FILE", ValueKind::File,
     "also save the status log into FILE (checked before the\n"
     "first read: it must be possible to create it)",
     [](Options& o, const std::string& v, std::string&) {
         o.logFile = v;
         return true;
     }},
    {"--offset", "N", ValueKind::Free,
     "correct the drive's read offset of N samples (-3000 to\n"
     "3000): sample j of a file is sample j + N of the reading",
     [](Options& o, const std::string& v, std::string& error) {
         if (!ParseOffset(v, o.offset)) {
             error = "--offset takes a number of samples from -3000 to 3000";
             return false;
         }
         // A corrected rip is checked against the databases.
         o.checks.accurate = true;
         return true;
     }},
    {"--accurate", "", ValueKind::None,
     "look the disc up in AccurateRip and CTDB when the run\n"
     "starts, print each track's result after the log and\n"
     "write the rip log DIR/NAME.log, ending with its checksum",
     [](Options& o, const std::string&, std::string&) {
         o.checks.accurate = true;
         return true;
     }},
    {"--verify=auto", "", ValueKind::None,
     "--verify --accurate, without the second reading of\n"
     "tracks the databases confirm",
     [](Options& o, const std::string&, std::string&) {
         o.verify = true;
         o.checks.accurate = true;
         o.checks.skipConfirmed = true;
         return true;
     }},
    {"--accuraterip-url", "URL", ValueKind::Free,
     "the AccurateRip database (default\n"
     "http://www.accuraterip.com/accuraterip)",
     [](Options& o, const std::string& v, std::string&) {
         o.checks.accurateRipUrl = v;
         return true;
     }},
    {"--ctdb-url", "URL", ValueKind::Free, "the CTDB database (default http://db.cuetools.net)",
     [](Options& o, const std::string& v, std::string&) {
         o.checks.ctdbUrl = v;
         return true;
     }},
    {"--secure", "", ValueKind::None,
     "take no sector on one reading: read every track twice\n"
     "(once where --accurate finds it confirmed) and re-read\n"
     "sectors that fail, carry C2 errors or differ until\n"
     "readings agree; a track that never agrees is kept,\n"
     "marked suspicious, and the run goes on",
     [](Options& o, const std::string&, std::string&) {
         o.secure = true;
         return true;
     }},
    {"--agree", "N", ValueKind::Free, "readings that must agree, 2 to 8 (default 2)",
     [](Options& o, const std::string& v, std::string& error) {
         o.agreeGiven = true;
         return NumberIn(v, 2, 8, "--agree", o.secureSettings.agreeing, error);
     }},
    {"--max-reads", "N", ValueKind::Free, "readings of a sector at most (default 20)",
     [](Options& o, const std::string& v, std::string& error) {
         o.maxReadsGiven = true;
         return NumberIn(v, 2, 1000, "--max-reads", o.secureSettings.maxReadings, error);
     }},
    {"--cache-sectors", "N", ValueKind::Free,
     "the drive's cache in sectors, read past before a re-read\n"
     "that may come from it (default: the buffer the drive\n"
     "reports, at most 2048; 0 leaves the cache alone)",
     [](Options& o, const std::string& v, std::string& error) {
         o.cacheGiven = true;
         int sectors = 0;
         if (!NumberIn(v, 0, 100000, "--cache-sectors", sectors, error)) {
             return false;
         }
         o.secureSettings.cacheSectors = sectors;
         return true;
     }},
    {"--format", "FORMAT", ValueKind::Format,
     "the files: wav (the default) or flac (tagged, NAMEnn.flac)",
     [](Options& o, const std::string& v, std::string& error) {
         if (v != "wav" && v != "flac") {
             error = "--format takes wav or flac";
             return false;
         }
         o.format = v;
         return true;
     }},
    {"--flac-level", "N", ValueKind::Free,
     "FLAC compression from 0 (fastest) to 8 (smallest, the\n"
     "default)",
     [](Options& o, const std::string& v, std::string& error) {
         return NumberIn(v, 0, 8, "--flac-level", o.flacLevel, error);
     }},
    {"--cover", "FILE", ValueKind::File,
     "a JPEG or PNG image (at most 10 MB) stored in every FLAC\n"
     "file as its front cover",
     [](Options& o, const std::string& v, std::string&) {
         o.cover = v;
         return true;
     }},
    {"--musicbrainz-url", "URL", ValueKind::Free,
     "the MusicBrainz web service to ask for the disc's names\n"
     "(default: the settings' musicBrainzUrl, else\n"
     "https://musicbrainz.org)",
     [](Options& o, const std::string& v, std::string&) {
         o.musicBrainzUrl = v;
         return true;
     }},
    {"--gnudb-url", "URL", ValueKind::Free,
     "the CDDB server (over HTTP) asked when neither MusicBrainz\n"
     "nor CD-Text names the disc (default: the settings'\n"
     "gnudbUrl, else https://gnudb.gnudb.org)",
     [](Options& o, const std::string& v, std::string&) {
         o.gnudbUrl = v;
         return true;
     }},
    {"--coverart-url", "URL", ValueKind::Free,
     "the Cover Art Archive, for the release's front cover\n"
     "(default: the settings' coverArtUrl, else\n"
     "https://coverartarchive.org)",
     [](Options& o, const std::string& v, std::string&) {
         o.coverArtUrl = v;
         return true;
     }},
    {"--release", "MBID", ValueKind::Free,
     "take the names of this MusicBrainz release instead of the\n"
     "one chosen (by the disc's barcode and ISRCs, then the\n"
     "locale's country, then the earliest date)",
     [](Options& o, const std::string& v, std::string& error) {
         bool mbid = v.size() == 36;
         for (std::size_t i = 0; mbid && i < v.size(); ++i) {
             const bool dash = i == 8 || i == 13 || i == 18 || i == 23;
             mbid = dash ? v[i] == '-' : std::isxdigit(static_cast<unsigned char>(v[i])) != 0;
         }
         if (!mbid) {
             error = "--release takes a MusicBrainz release ID (such as "
                     "6c4f766f-3351-4c10-a53d-b119452c27b2)";
             return false;
         }
         o.releaseMbid = v;
         return true;
     }},
    {"--no-metadata", "", ValueKind::None,
     "look nothing up: names come from the disc's CD-Text only",
     [](Options& o, const std::string&, std::string&) {
         o.noMetadata = true;
         return true;
     }},
    {"--dbar", "FILE", ValueKind::File,
     "the disc's AccurateRip answer (a dBAR file) instead of\n"
     "the database's",
     [](Options& o, const std::string& v, std::string&) {
         o.dbarFile = v;
         return true;
     }},
};

const std::vector<CommandSpec> kCommands = {
    {"drives", "", "[SOURCE]", "",
     "Lists the drives, one a line: [host adapter:target], vendor and product.\n", true, {}, "",
     ""},
    {"toc", "", "[SOURCE] [--drive N] [--full]", "",
     "Prints the disc's table of contents: one line per track with its start, length\n"
     "and size, then the number of tracks and the length of the disc.\n",
     true,
     {{"--drive"}, {"--full"}},
     "",
     ""},
    {"rip", "",
     "[SOURCE] [--drive N] [--tracks LIST] [--out DIR] [--prefix NAME]\n"
     "[--naming TEMPLATE] [--cue] [--single] [--no-clobber]\n"
     "[--verify] [--c2] [--speed X] [--log FILE] [--offset N]\n"
     "[--accurate] [--verify=auto] [--accuraterip-url URL]\n"
     "[--ctdb-url URL] [--secure] [--agree N] [--max-reads N]\n"
     "[--cache-sectors N] [--format FORMAT] [--flac-level N]\n"
     "[--cover FILE] [--release MBID] [--no-metadata]\n"
     "[--musicbrainz-url URL] [--gnudb-url URL] [--coverart-url URL]",
     "",
     "Copies audio tracks into WAV files named NAMEnn.wav (nn: the track number), prints\n"
     "the status log and, on a terminal, a progress line on standard error.\n",
     true,
     {{"--drive"}, {"--tracks"}, {"--out"}, {"--prefix"}, {"--naming"}, {"--cue"},
      {"--single"}, {"--no-clobber"}, {"--verify"}, {"--c2"}, {"--speed"},
      {"--log"}, {"--offset"}, {"--accurate"}, {"--verify=auto"}, {"--accuraterip-url"},
      {"--ctdb-url"}, {"--secure"}, {"--agree"}, {"--max-reads"}, {"--cache-sectors"},
      {"--format"}, {"--flac-level"}, {"--cover"}, {"--release"}, {"--no-metadata"},
      {"--musicbrainz-url"}, {"--gnudb-url"}, {"--coverart-url"}},
     "",
     "Exit status: 0 every track extracted (and verified without a differing byte),\n"
     "1 a track failed or differed, or was found not accurate (with --secure: a track\n"
     "is suspicious or could not be read; with --no-clobber: a file it would write\n"
     "exists, and nothing was read), 2 usage error (--c2 with --secure, or --c2\n"
     "on a drive whose read method gives no C2 error pointers, among them),\n"
     "130 interrupted (Ctrl+C cancels and removes the partial file).\n"},
    {"ids", "", "[SOURCE] [--drive N]", "",
     "Prints the disc's AccurateRip ID, CDDB ID, MusicBrainz disc ID and CTDB TOC ID,\n"
     "one a line.\n",
     true,
     {{"--drive"}},
     "",
     ""},
    {"cue", "", "[SOURCE] [--drive N] [--prefix NAME] [--counts]", "",
     "Prints the disc as one cue sheet of one file, NAME.wav, that holds the disc's\n"
     "audio from its first sector: every track's index points at their disc\n"
     "addresses (INDEX 00 where a track has a pregap, a hidden track before track 1\n"
     "included), the catalog number, ISRCs, flags, CD-Text, the disc's MusicBrainz\n"
     "and AccurateRip IDs, and data tracks as MODE1/2352.\n",
     true,
     {{"--drive"},
      {"--prefix", "the name of the one audio file, NAME.wav (default: Track)"},
      {"--counts"}},
     "",
     "Exit status: 0 the sheet was printed, 1 the disc cannot be read, 2 usage error.\n"},
    {"meta", "",
     "[SOURCE] [--drive N] [--release MBID] [--musicbrainz-url URL]\n"
     "[--gnudb-url URL]",
     "",
     "Looks the disc up and prints its names: the chosen release (album, artist, date,\n"
     "country, label, barcode, disc n of m, MusicBrainz release ID), one line per\n"
     "track (number, length, title, artist), the other releases that match, and\n"
     "where the names came from: MusicBrainz (by the disc ID, else by the table of\n"
     "contents), else the disc's CD-Text, else GnuDB. Only the disc's IDs and table\n"
     "of contents are sent.\n",
     true,
     {{"--drive"}, {"--release"}, {"--musicbrainz-url"}, {"--gnudb-url"}},
     "",
     "Exit status: 0 names were found, 1 nothing is known of the disc (or the disc\n"
     "cannot be read), 2 usage error.\n"},
    {"offset", "find", "[SOURCE] [--drive N] [--dbar FILE | --accuraterip-url URL]", "",
     "Finds the drive's read offset: reads sectors 445 to 455 of every audio track\n"
     "and compares their AccurateRip offset-finding sums, shifted by up to 2940\n"
     "samples either way, with those of every pressing in the disc's AccurateRip\n"
     "answer. Prints one line per offset that matches, with the tracks that agree,\n"
     "most first; that offset is the value for --offset.\n",
     true,
     {{"--drive"},
      {"--dbar"},
      {"--accuraterip-url",
       "the AccurateRip database to ask (default: the settings'\n"
       "accurateRipUrl, else http://www.accuraterip.com/accuraterip);\n"
       "answers are kept in $XDG_CACHE_HOME/vindral/"}},
     "",
     "Exit status: 0 an offset matches, 1 none does, the disc is not in the database,\n"
     "the database cannot be reached or the disc cannot be read, 2 usage error.\n"},
    {"log", "verify", "FILE", "",
     "Recomputes the SHA-256 checksum on the last line of a rip log over the text\n"
     "above it. A match shows the log has not changed by accident (a damaged copy,\n"
     "a cut transfer); it proves nothing about who wrote it, since anyone who edits\n"
     "the log can write a new checksum.\n",
     false,
     {},
     "FILE",
     "Exit status: 0 the checksum matches, 1 it does not, the log has none or cannot\n"
     "be read, 2 usage error.\n"},
    {"serve", "", "--image FILE.cue [--image FILE.cue ...] [--demo]\n[--emulated-speed X]",
     "   (Linux, root)",
     "Serves the emulated drive of each image (with all its REM DAMAGE and REM DRIVE\n"
     "behaviour) to the Linux kernel as a SCSI CD-ROM, through the kernel's SCSI\n"
     "target subsystem (modules target_core_user and tcm_loop, configfs mounted),\n"
     "prints one line per image with the device node that appeared (/dev/srN), and\n"
     "serves until Ctrl+C or SIGTERM; then it removes everything it set up. Any CD\n"
     "program on the machine can read the images from those nodes meanwhile. When a\n"
     "CUE sheet changes, its drive sees a new disc (medium changed).\n"
     "Needs root. What a serve that was killed left behind is removed by the next.\n",
     false,
     {{"--image", "a disc image (repeatable: one drive per image)"},
      {"--demo", "a drive with the built-in demo disc"},
      {"--emulated-speed", "limit the drives to X times the audio speed (or max)"}},
     "",
     ""},
};

const char* const kUsageLegend =
    "SOURCE: --image FILE.cue (repeatable) | --demo | --device /dev/srN (repeatable);\n"
    "        without one, the machine's CD-ROM drives are used. --emulated-speed X\n"
    "        limits the emulated drives to X times the audio speed.\n"
    "LIST:   all (every audio track, the default) or track numbers such as 1,3-5;\n"
    "        0 is the audio before track 1 when the disc has some\n"
    "X:      1, 2, 4, 8, 12, 16, 32 or max\n";

const char* const kGeneralHelp =
    "\nvindral-cli COMMAND --help (or vindral-cli help COMMAND) shows the options of a\n"
    "command; vindral-cli --version shows the version.\n";

const char* const kSourceHeading =
    "\nSOURCE (without one, the machine's CD-ROM drives /dev/sr0 ... /dev/sr23):\n";

// "  --drive N             the drive ...", continuation lines under the text.
void AppendOptionLines(std::string& text, const OptionSpec& option, std::string_view help) {
    std::string label(option.name);
    if (!option.value.empty()) {
        label += " ";
        label += option.value;
    }
    constexpr std::size_t kColumn = 21;
    std::string line = "  " + label;
    bool first = true;
    std::size_t at = 0;
    while (at <= help.size()) {
        std::size_t end = help.find('\n', at);
        if (end == std::string_view::npos) {
            end = help.size();
        }
        const std::string_view piece = help.substr(at, end - at);
        if (first) {
            if (label.size() <= kColumn) {
                line += std::string(kColumn - label.size() + 1, ' ');
            } else {
                line += "\n" + std::string(kColumn + 3, ' ');
            }
            first = false;
        } else {
            line = std::string(kColumn + 3, ' ');
        }
        text += line;
        text += piece;
        text += "\n";
        at = end + 1;
    }
}

// The synopsis with each line after the first indented under the first.
std::string IndentedSynopsis(const CommandSpec& command, std::size_t indent) {
    std::string text;
    std::string_view rest = command.synopsis;
    bool first = true;
    while (true) {
        const std::size_t end = rest.find('\n');
        if (!first) {
            text += "\n" + std::string(indent, ' ');
        }
        text += rest.substr(0, end);
        first = false;
        if (end == std::string_view::npos) {
            break;
        }
        rest = rest.substr(end + 1);
    }
    return text;
}

int UnknownOption(const std::string& arg, std::ostream& err) {
    err << "vindral-cli: unknown option '" << arg << "'\n" << UsageText();
    return kExitUsage;
}

// A command's words in the wrong order or number: its synopsis on one line.
int CommandUsage(const CommandSpec& command, std::ostream& err) {
    std::string synopsis = IndentedSynopsis(command, 0);
    std::replace(synopsis.begin(), synopsis.end(), '\n', ' ');
    err << "vindral-cli: usage: " << CommandName(command) << " " << synopsis << "\n";
    return kExitUsage;
}

} // namespace

const std::vector<OptionSpec>& AllOptions() { return kOptions; }

const OptionSpec* FindOption(std::string_view name) {
    for (const OptionSpec& option : kOptions) {
        if (option.name == name) {
            return &option;
        }
    }
    return nullptr;
}

bool IsSourceOption(std::string_view name) {
    const OptionSpec* option = FindOption(name);
    return option != nullptr && option->apply == nullptr;
}

const std::vector<CommandSpec>& Commands() { return kCommands; }

const CommandSpec* FindCommand(std::string_view word) {
    for (const CommandSpec& command : kCommands) {
        if (command.word == word) {
            return &command;
        }
    }
    return nullptr;
}

std::string CommandName(const CommandSpec& command) {
    std::string name = "vindral-cli " + std::string(command.word);
    if (!command.sub.empty()) {
        name += " " + std::string(command.sub);
    }
    return name;
}

std::string UsageText() {
    std::string text;
    bool first = true;
    for (const CommandSpec& command : kCommands) {
        text += first ? "usage: " : "       ";
        first = false;
        const std::string name = CommandName(command) + " ";
        text += name + IndentedSynopsis(command, 7 + name.size());
        text += std::string(command.note) + "\n";
    }
    return text + kUsageLegend;
}

std::string GeneralHelpText() { return UsageText() + kGeneralHelp; }

std::string CommandHelpText(const CommandSpec& command) {
    const std::string name = CommandName(command) + " ";
    std::string text = "usage: " + name + IndentedSynopsis(command, 7 + name.size()) + "\n";
    text += command.summary;
    if (!command.options.empty()) {
        text += "\n";
        for (const CommandOption& listed : command.options) {
            const OptionSpec* option = FindOption(listed.name);
            AppendOptionLines(text, *option, listed.help.empty() ? option->help : listed.help);
        }
    }
    if (!command.closing.empty()) {
        text += "\n";
        text += command.closing;
    }
    if (command.source) {
        text += kSourceHeading;
        for (const OptionSpec& option : kOptions) {
            if (option.apply == nullptr) {
                AppendOptionLines(text, option, option.help);
            }
        }
    }
    return text;
}

bool ParseNumber(const std::string& text, int& value) {
    if (text.empty() || text.size() > 6) {
        return false;
    }
    value = 0;
    for (char c : text) {
        if (c < '0' || c > '9') {
            return false;
        }
        value = value * 10 + (c - '0');
    }
    return true;
}

std::optional<uint16_t> SpeedFromArgument(const std::string& text) {
    if (text == "max") {
        return static_cast<uint16_t>(0xFFFF);
    }
    int multiple = 0;
    if (!ParseNumber(text, multiple)) {
        return std::nullopt;
    }
    for (int allowed : {1, 2, 4, 8, 12, 16, 32}) {
        if (multiple == allowed) {
            return static_cast<uint16_t>(177 * multiple);
        }
    }
    return std::nullopt;
}

int ParseCommandLine(int argc, char** argv, Options& options, std::ostream& err) {
    if (argc < 2) {
        err << UsageText();
        return kExitUsage;
    }
    const std::string first = argv[1];
    if (first == "--version") {
        options.command = "version";
        return 0;
    }
    if (first == "--help" || first == "-h" || first == "help") {
        options.command = "help";
        // "help rip" asks about one command.
        if (first == "help" && argc > 2) {
            if (FindCommand(argv[2]) == nullptr) {
                err << "vindral-cli: unknown command '" << argv[2] << "'\n" << UsageText();
                return kExitUsage;
            }
            options.helpFor = argv[2];
        }
        return 0;
    }
    const CommandSpec* command = FindCommand(first);
    if (command == nullptr) {
        err << "vindral-cli: unknown command '" << first << "'\n" << UsageText();
        return kExitUsage;
    }
    options.command = first;
    for (int i = 2; i < argc; ++i) {
        if (std::string_view(argv[i]) == "--help" || std::string_view(argv[i]) == "-h") {
            options.helpFor = options.command;
            options.command = "help";
            return 0;
        }
    }
    int i = 2;
    if (!command->sub.empty()) {
        if (argc < 3 || command->sub != argv[2]) {
            return CommandUsage(*command, err);
        }
        i = 3;
    }
    for (; i < argc; ++i) {
        const std::string arg = argv[i];
        auto listed = [&](std::string_view name) {
            return std::any_of(command->options.begin(), command->options.end(),
                               [&](const CommandOption& o) { return o.name == name; });
        };
        if (command->source) {
            std::string error;
            const bool source = ParseDriveSourceOption(argc, argv, i, options.source, error);
            if (!error.empty()) {
                err << "vindral-cli: " << error << "\n";
                return kExitUsage;
            }
            if (source) {
                continue;
            }
        }
        const OptionSpec* option = FindOption(arg);
        if (option == nullptr || option->apply == nullptr || !listed(option->name)) {
            const bool looksLikeOption = arg.rfind("-", 0) == 0;
            if (command->operand.empty() || looksLikeOption) {
                return UnknownOption(arg, err);
            }
            if (!options.operands.empty()) {
                return CommandUsage(*command, err);
            }
            options.operands.push_back(arg);
            continue;
        }
        std::string value;
        if (!option->value.empty()) {
            if (i + 1 >= argc) {
                err << "vindral-cli: " << arg << " needs a value\n";
                return kExitUsage;
            }
            value = argv[++i];
        }
        std::string error;
        if (!option->apply(options, value, error)) {
            err << "vindral-cli: " << error << "\n";
            return kExitUsage;
        }
    }
    if (!command->operand.empty() && options.operands.size() != 1) {
        return CommandUsage(*command, err);
    }
    if (!options.dbarFile.empty() && !options.checks.accurateRipUrl.empty()) {
        err << "vindral-cli: --dbar and --accuraterip-url cannot be combined\n";
        return kExitUsage;
    }
    if (options.c2 && options.secure) {
        err << "vindral-cli: --c2 cannot be combined with --secure: secure reading always "
               "compares a second reading byte for byte, and C2 error pointers only tell it "
               "where to look first\n";
        return kExitUsage;
    }
    const DriveSourceOptions& source = options.source;
    if (!source.devices.empty() && (source.demo || !source.images.empty())) {
        err << "vindral-cli: --device cannot be combined with --image or --demo\n";
        return kExitUsage;
    }
    return 0;
}

} // namespace vindral::cli

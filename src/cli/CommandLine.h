// vindral-cli's commands and options, each described once. The parser, the
// general usage and every command's --help are made from this table; the
// manual page and the bash completion are held to it by a test.
#pragma once

#include <cstdint>
#include <iosfwd>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "cli/AccuracyCommands.h"
#include "drive/DriveSource.h"
#include "extract/SecureReader.h"

namespace vindral::cli {

// What a command line asks for.
struct Options {
    std::string command;  // the first word: "rip", "offset", "log", ...; "help", "version"
    std::string helpFor;  // with command "help": the command asked about, or empty
    std::vector<std::string> operands; // words that are not options (log verify's FILE)
    DriveSourceOptions source;
    int drive = 0;
    std::string tracks = "all";
    std::string out;
    std::string prefix = "Track";
    std::string naming; // rip --naming: a file-name template; empty: <prefix>NN
    bool cue = false;       // rip --cue
    bool single = false;    // rip --single
    bool noClobber = false; // rip --no-clobber
    bool verify = false;
    bool full = false; // toc --full
    bool counts = false; // cue --counts
    bool c2 = false;
    std::optional<uint16_t> speed;
    std::string logFile;
    int32_t offset = 0;
    bool secure = false;
    SecureSettings secureSettings;
    // Which of --agree, --max-reads and --cache-sectors were given; the
    // others come from the settings file.
    bool agreeGiven = false;
    bool maxReadsGiven = false;
    bool cacheGiven = false;
    std::string dbarFile; // offset find
    RipCheckOptions checks;
    // rip: the files' format ("wav" or "flac"), the FLAC level (-1: not
    // given, the default) and the front cover's image file.
    std::string format = "wav";
    int flacLevel = -1;
    std::string cover;
    // Names from MusicBrainz, CD-Text and GnuDB (rip and meta): the
    // services' URLs (empty: the settings', else the public ones), the
    // release chosen, and --no-metadata.
    std::string musicBrainzUrl;
    std::string gnudbUrl;
    std::string coverArtUrl;
    std::string releaseMbid;
    bool noMetadata = false;
};

// What the bash completion offers for an option's value.
enum class ValueKind {
    None,     // a switch: no value
    Free,     // a number, name or URL of the user's choosing: nothing offered
    File,     // any file
    Folder,   // a folder
    CueSheet, // a CUE sheet (or a folder on the way to one)
    Device,   // /dev/sr0 ... /dev/sr23
    Speed,    // 1 2 4 8 12 16 32 max
    Tracks,   // all
    Format,   // wav flac
};

// One option. `apply` stores a parsed value (nullptr: a source option, parsed
// by ParseDriveSourceOption); false with `error` set for a bad value.
struct OptionSpec {
    std::string_view name;  // "--drive"
    std::string_view value; // "N"; empty for a switch
    ValueKind kind;
    std::string_view help;  // lines of the help text, '\n' between them
    bool (*apply)(Options& options, const std::string& value, std::string& error);
};

// An option as one command lists it; `help` replaces the option's own text.
struct CommandOption {
    CommandOption(std::string_view optionName, std::string_view ownHelp = {})
        : name(optionName), help(ownHelp) {}
    std::string_view name;
    std::string_view help;
};

struct CommandSpec {
    std::string_view word;     // the first word: "offset"
    std::string_view sub;      // the word that must follow it, or empty: "find"
    std::string_view synopsis; // after "usage: vindral-cli WORD [SUB] "; '\n' between lines
    std::string_view note;     // after the synopsis in the general usage only
    std::string_view summary;  // what the command does
    bool source;               // takes the SOURCE options
    std::vector<CommandOption> options; // its own options, in the order of its help
    std::string_view operand;  // the one word it takes besides options ("FILE"), or empty
    std::string_view closing;  // the help's last paragraph (exit status), or empty
};

// Every option once, source options first.
const std::vector<OptionSpec>& AllOptions();
const OptionSpec* FindOption(std::string_view name);
bool IsSourceOption(std::string_view name);

// Every command, in the order of the general usage.
const std::vector<CommandSpec>& Commands();
const CommandSpec* FindCommand(std::string_view word);

// "vindral-cli rip" or "vindral-cli offset find".
std::string CommandName(const CommandSpec& command);

// The general usage (what `vindral-cli` without a command prints to standard
// error), and what --help prints without a command.
std::string UsageText();
std::string GeneralHelpText();

// The help of one command: its synopsis, summary, options, closing paragraph
// and, where it takes them, the SOURCE options.
std::string CommandHelpText(const CommandSpec& command);

// Parses argv[1...]: 0 with `options` filled, else the exit status with the
// message written to `err`. "--help" anywhere after a command asks for that
// command's help (command "help", helpFor the command).
int ParseCommandLine(int argc, char** argv, Options& options, std::ostream& err);

// "1" to "32" or "max" as --speed takes them: the speed list's multiples
// times 177 kB/s, or 65535 for "max".
std::optional<uint16_t> SpeedFromArgument(const std::string& text);

// Digits only, at most six: a non-negative number.
bool ParseNumber(const std::string& text, int& value);

} // namespace vindral::cli

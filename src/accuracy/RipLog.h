// The rip log: a plain UTF-8 text beside the track files that records how
// the disc was read and what each track's checksums and database results
// were. Its last line is the SHA-256 checksum of all the text above: it shows
// accidental change, not a deliberate one (anyone can recompute it).
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace vindral::accuracy {

struct RipLogTrack {
    int number = 0;
    std::string file;
    uint32_t copyCrc = 0;
    std::optional<uint32_t> testCrc; // with verification
    uint32_t arV1 = 0;
    uint32_t arV2 = 0;
    uint32_t ctdbCrc = 0;
    std::vector<std::string> results; // database results, one line each
    std::vector<std::string> errors;  // read errors, one line each
};

struct RipLogData {
    std::string version; // program version
    std::string date;    // as the caller formats it
    std::string drive;   // the drive line
    int readOffset = 0;  // samples
    std::string readMethod;
    std::string speed;
    std::string accurateRipId;
    std::string cddbId;
    std::string musicBrainzId;
    std::string ctdbTocId;
    std::string names; // where the names came from; empty: no line
    std::vector<RipLogTrack> tracks;
};

// The present moment as a log gives its date: "2026-12-07 15:42:52 UTC".
std::string UtcDateText();

// The log text with its checksum line; every line ends with "\n".
std::string RenderRipLog(const RipLogData& data);

// The checksum line for a text (the text must end with "\n").
std::string ChecksumLine(std::string_view text);

// A rip log larger than this is refused unread: a log of 99 tracks with every
// line it can hold stays far below it.
constexpr std::size_t kMaxRipLogBytes = 1u << 20;

enum class RipLogState {
    Matches,    // the checksum is that of the text above it: as written, or
                // rewritten together with a new checksum
    Differs,    // the text or the checksum changed after it was written
    NoChecksum, // the last line is no checksum line
};

RipLogState VerifyRipLog(std::string_view text);

} // namespace vindral::accuracy

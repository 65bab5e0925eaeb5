// The rip log: a plain UTF-8 text beside the track files that records how
// the disc was read and what each track's checksums and database results
// were. Its last line seals it with the SHA-256 of all the text above.
#pragma once

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
    std::vector<RipLogTrack> tracks;
};

// The present moment as a log gives its date: "2026-12-07 15:42:52 UTC".
std::string UtcDateText();

// The log text, sealed; every line ends with "\n".
std::string RenderRipLog(const RipLogData& data);

// The seal line for a text (the text must end with "\n").
std::string SealLine(std::string_view text);

enum class RipLogState {
    Intact,   // the seal matches the text above it
    Changed,  // sealed, but the text or the seal was changed since
    Unsealed, // no seal line at the end
};

RipLogState VerifyRipLog(std::string_view text);

} // namespace vindral::accuracy

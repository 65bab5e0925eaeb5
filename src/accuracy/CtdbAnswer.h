// The CTDB lookup answer: an XML document whose root `ctdb` holds one
// `entry` per known rip of the disc, with its confidence and the CRC of each
// audio track (`trackcrcs`, hex numbers separated by spaces), and, for an
// entry with parity, what the repair needs: `npar`, `stride`, `syndrome`
// (column 0's syndromes, base64 of little-endian 16-bit words) and
// `hasparity` (where the parity is downloaded from).
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace vindral::accuracy {

struct CtdbEntry {
    std::string id;
    int confidence = 0;
    uint32_t crc32 = 0; // of the whole disc
    std::string toc;    // "0:24159:...": track starts and the end, colon-separated
    std::vector<uint32_t> trackCrcs;
    // Parity (see accuracy/CtdbParity.h); npar 0 when the entry has none.
    int npar = 0;
    uint32_t stride = 0;            // stereo samples per row
    std::string parityUrl;          // `hasparity`: a URL, or a path on the database's server
    std::vector<uint16_t> syndrome; // column 0's syndromes, npar of them

    bool HasParity() const { return npar > 0 && stride > 0 && !parityUrl.empty(); }
};

// Parses the answer; malformed XML, another root or an entry with an
// unreadable number is refused with `error` set. No entry at all is a
// valid answer (the disc is not in the database).
std::optional<std::vector<CtdbEntry>> ParseCtdbAnswer(std::string_view xml, std::string& error);

struct CtdbMatch {
    bool accurate = false;
    int confidence = 0; // of the matching entry
    int total = 0;      // of every entry
    int entries = 0;    // entries that carry this track
};

// Base64 (RFC 4648, padded or not) into `bytes`; false on any other
// character or a dangling digit.
bool DecodeBase64(std::string_view text, std::vector<uint8_t>& bytes);

// A track (index from 0 among the audio tracks) is accurate when its CTDB
// CRC equals that track's CRC in an entry.
CtdbMatch MatchCtdb(const std::vector<CtdbEntry>& entries, std::size_t trackIndex, uint32_t crc);

} // namespace vindral::accuracy

// The disc's own description of itself, as the drive hands it over: Q
// sub-channel frames, the full table of contents (READ TOC format 2), and the
// checks of a catalog number and an ISRC. Pure functions over bytes.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "drive/CdTypes.h"

namespace vindral {

// CRC-16 of the sub-channel and of CD-Text packs: polynomial 0x1021, initial
// value 0, the result inverted. Stored big-endian after the bytes it covers.
uint16_t SubChannelCrc(const uint8_t* data, std::size_t length);

// The 12 bytes of a Q frame (10 data bytes and the CRC) out of 96 bytes of
// raw, interleaved P-W sub-channel: byte i carries bit 6 (0x40) for Q.
std::array<uint8_t, 12> DeinterleaveQ(const uint8_t* pw96);

// Minutes, seconds and frames of the absolute time (with the 2-second
// lead-in) to a logical block address, and back.
SectorAddress MsfToAddress(int minutes, int seconds, int frames);
void AddressToMsf(SectorAddress address, int& minutes, int& seconds, int& frames);

// BCD byte to a number; -1 when a nibble is above 9.
int FromBcd(uint8_t value);

struct QFrame {
    uint8_t control = 0; // the upper nibble of byte 0
    uint8_t adr = 0;     // the lower nibble
    // ADR 1: the track (0xAA is the lead-out) and index, and the sector the
    // frame belongs to (from the absolute time).
    int track = 0;
    int index = 0;
    SectorAddress relative = 0; // sectors from the index 1 (counted down in the pregap)
    SectorAddress absolute = 0;
    // ADR 2: the catalog number; ADR 3: the ISRC (empty when malformed).
    std::string mcn;
    std::string isrc;
    int absoluteFrame = -1; // ADR 2 and 3 carry only the frame of the absolute time
};

// Decodes 12 bytes of Q. Nothing when the CRC fails or, for ADR 1, a time is
// not BCD; ADR values other than 1, 2 and 3 give only control and ADR.
std::optional<QFrame> DecodeQ(const uint8_t* q12);

// Catalog number: 13 digits, not all zero. ISRC: two letters, three letters
// or digits, seven digits, not all zero. Anything else is absent.
bool ValidCatalogNumber(const std::string& mcn);
bool ValidIsrc(const std::string& isrc);

// The flags of a track's control nibble.
struct TrackFlags {
    bool preEmphasis = false;   // bit 0
    bool copyPermitted = false; // bit 1
    bool data = false;          // bit 2
    bool fourChannel = false;   // bit 3
};
TrackFlags FlagsOfControl(uint8_t control);

// One point of the full table of contents.
struct FullTocEntry {
    int session = 0;
    uint8_t control = 0;
    uint8_t adr = 0;
    uint8_t point = 0;
    int pmin = 0;
    int psec = 0;
    int pframe = 0;
};

struct SessionEntry {
    int number = 0;
    int firstTrack = 0;
    int lastTrack = 0;
    SectorAddress leadOut = 0; // where the session's audio ends
};

struct FullTocTrack {
    int number = 0;
    int session = 0;
    uint8_t control = 0;
    uint8_t adr = 0;
    SectorAddress start = 0;
};

struct FullToc {
    int firstSession = 0;
    int lastSession = 0;
    std::vector<SessionEntry> sessions; // in order, each with its A0/A1/A2
    std::vector<FullTocTrack> tracks;   // in order of address
};

// Parses a READ TOC format 2 answer read with MSF = 1 (binary minutes,
// seconds and frames), trusted as far as its own length. Nothing when it
// holds no track or a session lacks its A0, A1 or A2 point.
std::optional<FullToc> ParseFullToc(const uint8_t* answer, std::size_t size);

} // namespace vindral

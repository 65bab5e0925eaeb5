// CD-Text as READ TOC format 5 hands it over: 18-byte packs, each with a
// CRC-16, grouped into up to eight blocks (one per language), the text of
// each kind spread over the packs of that kind. Decoded into UTF-8.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <map>
#include <string>
#include <vector>

namespace vindral {

constexpr std::size_t kCdTextPackBytes = 18;

// Pack types 0x80 to 0x8F.
enum CdTextKind : uint8_t {
    kCdTextTitle = 0x80,
    kCdTextPerformer = 0x81,
    kCdTextSongwriter = 0x82,
    kCdTextComposer = 0x83,
    kCdTextArranger = 0x84,
    kCdTextMessage = 0x85,
    kCdTextDiscId = 0x86,
    kCdTextGenre = 0x87,
    kCdTextUpcIsrc = 0x8E, // track 0: the UPC/EAN; track n: its ISRC
    kCdTextSizeInfo = 0x8F,
};

// Character codes of a block, as its size information names them.
enum CdTextCharset : uint8_t {
    kCdTextIso8859_1 = 0x00,
    kCdTextAscii = 0x01,
    kCdTextMsJis = 0x80,
};

struct CdTextBlock {
    int number = 0;          // 0 to 7
    uint8_t language = 0;    // the language code of the size information
    uint8_t charset = kCdTextIso8859_1;
    int genreCode = 0;       // of the genre pack, 0 when there is none
    // Per kind (type - 0x80), per track (0 = the disc): the text in UTF-8.
    std::array<std::map<int, std::string>, 16> text;

    // The text of one kind for a track; empty when the block has none.
    std::string Get(CdTextKind kind, int track) const;
    bool Empty() const;
};

// Decodes a READ TOC format 5 answer (4-byte header, then packs), trusted
// as far as its own length. A pack whose CRC fails is dropped, and the text
// it carried is lost, not guessed; the texts on either side survive. Blocks
// in order of their number; none when no pack survives.
std::vector<CdTextBlock> DecodeCdText(const uint8_t* answer, std::size_t size);

// The same from the packs alone (a multiple of 18 bytes).
std::vector<CdTextBlock> DecodeCdTextPacks(const uint8_t* packs, std::size_t size);

// Text of a block's character code to UTF-8. MS-JIS (Shift JIS) goes through
// the system's converter; a character it cannot convert becomes '?'.
std::string CdTextToUtf8(const std::string& bytes, uint8_t charset);

} // namespace vindral

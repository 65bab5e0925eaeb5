// What a disc says about itself beyond the start of each track: sessions,
// each track's flags, pregap and index points, ISRCs, the catalog number and
// CD-Text. Read through the drive seam with MMC commands only (READ TOC
// formats 1, 2 and 5, READ SUB-CHANNEL, READ CD with sub-channel data), so
// every backend answers alike.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "drive/CdText.h"
#include "drive/DriveSearch.h"
#include "drive/SubChannel.h"

namespace vindral {

struct TrackDetails {
    int number = 0;
    bool data = false;
    uint8_t control = 0;
    int session = 1;
    SectorAddress start = 0;       // index 1, as the table of contents gives it
    SectorAddress pregapStart = 0; // index 0; equal to start when there is no pregap
    SectorAddress end = 0;         // after the track's last sector (its index 0 excluded)
    std::vector<SectorAddress> indexes; // the starts of index 2, 3, ... in order
    std::vector<int> indexNumbers;      // their numbers, as Q gives them
    std::string isrc;                   // empty when absent
    TrackFlags flags;
    bool indexesRead = false; // the Q sub-channel of the track could be read
    int sectorsRead = 0;      // sectors read to find its pregap and indexes
};

enum class SessionSource {
    FullToc,     // READ TOC format 2
    SessionInfo, // READ TOC format 1: the first track of the last session
    Inferred,    // neither: one session
};

// Which form of Q sub-channel the drive gave.
enum class SubChannelForm { None, FormattedQ, RawPw };

struct DiscDetails {
    std::vector<TrackDetails> tracks; // in the order of the table of contents
    std::vector<SessionEntry> sessions;
    SessionSource sessionSource = SessionSource::Inferred;
    SubChannelForm subChannel = SubChannelForm::None;
    SectorAddress leadOut = 0;
    std::string catalog; // 13 digits, empty when absent
    std::vector<CdTextBlock> cdText;
    int sectorsRead = 0;
    int qFramesRejected = 0; // frames whose CRC failed, read again
    int commands = 0;        // commands sent to the drive for all of it
    std::vector<std::string> notes; // what could not be read, one line each

    // Pregap of track `row` in sectors.
    int32_t PregapLength(std::size_t row) const {
        return tracks[row].start - tracks[row].pregapStart;
    }
    // The CD-Text of the first block for a kind and track ("" when none).
    std::string Text(CdTextKind kind, int track) const;
};

// Reads everything for the disc whose table of contents is `table` (as
// ReadTrackTable read it). A command the drive refuses leaves its part
// absent and, where it matters, a note; nothing here fails the disc.
DiscDetails ReadDiscDetails(uint8_t hostAdapter, uint8_t target, const TrackTable& table);

// The CDBs, for the backends' tests and for the drives' own answers.
namespace DiscCommands {
constexpr uint8_t kSubChannelFormattedQ = 0x02;
constexpr uint8_t kSubChannelRawPw = 0x01;
// READ TOC with the given format; MSF = 1 for format 2.
int32_t ReadTocFormat(uint8_t hostAdapter, uint8_t target, uint8_t format, uint8_t* answer,
                      uint16_t length);
// READ SUB-CHANNEL, SubQ = 1, format 2 (catalog number) or 3 (ISRC of a track);
// 24 bytes.
int32_t ReadSubChannel(uint8_t hostAdapter, uint8_t target, uint8_t format, uint8_t track,
                       uint8_t* answer);
// Bytes of one sector read with its sub-channel: 2352 + 16 or 2352 + 96.
constexpr uint32_t SectorWithSubChannelBytes(uint8_t selection) {
    return 2352 + (selection == kSubChannelRawPw ? 96 : 16);
}
// READ CD of `count` sectors of any type, each followed by its sub-channel;
// without `main`, the sub-channel alone (16 or 96 bytes a sector).
int32_t ReadSectorsWithSubChannel(uint8_t hostAdapter, uint8_t target, SectorAddress address,
                                  int32_t count, uint8_t selection, uint8_t* buffer,
                                  bool main = true);
} // namespace DiscCommands

} // namespace vindral

// The drive search and the reading of a disc's table of contents, shared by
// the main window and the command-line front end.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "drive/CdTypes.h"

namespace vindral {

struct DriveLine {
    CdDevice device;
    std::string text;  // " [%d:%d]  %s %s"
    std::string model; // "%s %s": vendor and product, as the line shows them
};

// Asks all 128 (host adapter, target) pairs for their identity, in order,
// and returns the CD-ROM drives found with their combo-box lines.
std::vector<DriveLine> FindDrives();

// The drive model of a line: its vendor and product without trailing blanks.
std::string DriveModel(const char* vendor, const char* product);

// The combo-box line of one drive, after trimming the trailing blanks.
std::string FormatDriveLine(uint8_t hostAdapter, uint8_t target, const char* vendor,
                            const char* product);

constexpr uint16_t kTocAllocationLength = 804; // header + 99 tracks + lead-out

// The track table of the program: 100 entries, the first `count` valid.
struct TrackTable {
    std::array<TrackEntry, kTrackTableSize> entries{};
    int count = 0;
};

// Reads a READ TOC format 0 answer into the table. The answer is trusted only
// as far as its own data length (bytes 0-1, which count the bytes after
// themselves) and the buffer size; a last track below the first gives no
// rows, and no negative length reaches the table. Returns the row count.
int ParseTocAnswer(const uint8_t* answer, std::size_t bufferSize, TrackTable& table);

// Sectors from the end of a session's last track to the first track of the
// next session on a pressed disc: lead-out 6750, lead-in 4500, pregap 150.
constexpr int32_t kSessionGap = 11400;

// Applies a READ TOC format 1 answer (multi-session information) to the
// table: on a disc of several sessions, an audio track followed by the first
// track of the last session ends kSessionGap sectors before that track's
// start rather than at it. Returns whether a length was changed.
bool ApplySessionInfo(const uint8_t* answer, std::size_t bufferSize, TrackTable& table);

// READ TOC into an 804-byte buffer and parse it, then the multi-session
// information where the drive answers it. Returns the status of the READ
// TOC of format 0; the table holds the rows only when it is 1.
int32_t ReadTrackTable(uint8_t hostAdapter, uint8_t target, TrackTable& table);

// The audio before track 1's start on a disc whose first track starts after
// address 0 (a hidden track), as a row numbered 0 from address 0; false when
// there is none (the first track is a data track or starts at 0).
bool HiddenTrackEntry(const TrackTable& table, TrackEntry& entry);

// The row texts of one track, as the track list and `vindral-cli toc` show them.
std::string TrackRowName(const TrackEntry& entry); // "  Track %02d"
std::string TrackSpaceText(int32_t sectors);       // "%4.1f MB"

} // namespace vindral

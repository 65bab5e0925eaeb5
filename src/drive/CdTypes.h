// Values shared by every layer above the transport.
#pragma once

#include <cstdint>

namespace vindral {

// Logical block address; 0 is the first sector of the program area.
using SectorAddress = int32_t;

constexpr int kSectorBytes = 2352;    // one audio sector: 588 stereo frames
constexpr int kSectorsPerSecond = 75; // 1 X
constexpr int kSectorsPerMinute = 4500;
constexpr int kMaxTracks = 99;
constexpr int kTrackTableSize = 100;

// How audio sectors are read. Any value other than 0 and 1 acts as Read10.
enum ReadMethod : int32_t {
    kReadCd = 0,   // READ CD (0xBE), CD-DA, user data
    kReadCdda = 1, // vendor READ CDDA (0xD8)
    kRead10 = 2,   // READ(10) with the drive switched to 2352-byte blocks
};

// VerifyMethod: 1 = read twice, 0 = C2 pointers.
enum VerifyMethod : uint8_t {
    kVerifyC2Pointers = 0,
    kVerifyReadTwice = 1,
};

// One drive of the drive table.
struct CdDevice {
    uint8_t hostAdapter = 0;
    uint8_t target = 0;
};

// One row of the track table, four signed 32-bit values in this order.
struct TrackEntry {
    int32_t dataTrack = 0; // 1 for a data track
    int32_t number = 0;    // as the disc gives it
    SectorAddress start = 0;
    int32_t length = 0; // sectors
};

} // namespace vindral

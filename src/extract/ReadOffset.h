// Read-offset correction. A drive with read offset +N delivers as its
// sample j the disc's sample j - N; the correction +N therefore takes sample
// j of a track's file from sample j + N of what the drive returns. The
// reader below gets those samples across block and track edges: it reads
// the track's sectors shifted by whole sectors, one sector more when the
// shift ends inside a sector, and carries that sector over from one block
// to the next, so every sector is read once. Samples outside the audio the
// drive can read (before address 0, past the lead-out) are silence.
#pragma once

#include <cstdint>
#include <functional>
#include <vector>

#include "drive/CdTypes.h"

namespace vindral {

constexpr int32_t kMaxReadOffset = 3000; // samples, either way
constexpr int32_t kSamplesPerSector = 588;

// Samples of a track that lie outside the readable sectors
// [readableStart, readableEnd) once corrected by `offset` samples: at the
// track's head (before the readable audio) and at its tail (past it).
struct SilentSamples {
    int64_t before = 0;
    int64_t after = 0;
};
SilentSamples SilenceFor(SectorAddress trackStart, int32_t trackLength, int32_t offset,
                         SectorAddress readableStart, SectorAddress readableEnd);

// Where the corrected audio of a track's sector at `address` begins on the
// drive: the drive sector that holds its first byte, and that byte's place in
// it. A sector that does not begin on a drive sector's edge ends in the next.
struct DrivePosition {
    int64_t sector = 0;
    int32_t within = 0; // bytes
};
DrivePosition DrivePositionOf(SectorAddress address, int32_t offset);

class CorrectedReader {
public:
    // Reads `count` whole sectors from `address` into `into`; returns the
    // command status (1 for success).
    using ReadSectors = std::function<int32_t(SectorAddress address, int32_t count, uint8_t* into)>;

    CorrectedReader(SectorAddress trackStart, int32_t offset, SectorAddress readableStart,
                    SectorAddress readableEnd, ReadSectors read);

    // Puts the corrected audio of the track's next `sectors` sectors (at
    // most 16) into `out`. Returns 1, or the status of the read that failed.
    int32_t Next(int32_t sectors, uint8_t* out);

private:
    int32_t ReadRun(SectorAddress first, int32_t count, uint8_t* into);

    int64_t nextByte_; // drive byte address of the next byte to deliver
    SectorAddress readableStart_;
    SectorAddress readableEnd_;
    ReadSectors read_;
    std::vector<uint8_t> scratch_;
    std::vector<uint8_t> carry_;
    bool haveCarry_ = false;
    SectorAddress carrySector_ = 0;
};

} // namespace vindral

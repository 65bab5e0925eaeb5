// Reads a secure pass's sectors ahead, several blocks with one command, and
// hands them out as the pass asks for them: the same first readings with
// fewer commands, which is what a drive behind a slow link pays for most.
// Only first readings come from here; every re-read goes to the drive.
#pragma once

#include <cstdint>
#include <functional>
#include <vector>

#include "drive/CdTypes.h"
#include "drive/Transport.h"

namespace vindral {

// Sectors a read-ahead command asks for: three blocks, whose audio with C2
// error pointers (48 x 2,646 bytes) stays within the 128 KiB most hosts
// carry in one command.
constexpr int32_t kReadAheadSectors = 48;

class ReadAhead {
public:
    // Reads `count` sectors into `audio` and, when `c2` is not null, their
    // C2 bits (294 bytes a sector). Returns the command's status.
    using ReadSectors =
        std::function<int32_t(SectorAddress address, int32_t count, uint8_t* audio, uint8_t* c2)>;

    // `end`: the first sector not to read. `withC2`: C2 bits are kept with
    // the audio. `mediumError`: asked after a long command failed, whether
    // the disc was at fault (true) or the drive or its host refused a
    // command that long (false: from then on, and wherever `refused` is
    // shared, every read is made as asked).
    ReadAhead(ReadSectors read, SectorAddress end, bool withC2, std::function<bool()> mediumError,
              bool* refused);

    // The sectors [address, address + count): from what was read ahead when
    // it holds them, otherwise with a command that reads ahead of them.
    int32_t Read(SectorAddress address, int32_t count, uint8_t* audio, uint8_t* c2);

private:
    ReadSectors read_;
    SectorAddress end_;
    bool withC2_;
    std::function<bool()> mediumError_;
    bool ownRefused_ = false;
    bool* refused_;
    std::vector<uint8_t> audio_;
    std::vector<uint8_t> c2_;
    SectorAddress first_ = 0;
    int32_t held_ = 0;
    // After a long command failed on the disc, the sectors before this are
    // read as asked: a damaged sector costs one long failed command.
    SectorAddress asAskedUntil_ = 0;
};

} // namespace vindral

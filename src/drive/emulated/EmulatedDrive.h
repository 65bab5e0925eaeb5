// A CD-ROM drive in software. It answers the MMC commands the program sends
// (INQUIRY, TEST UNIT READY, READ TOC formats 0, 1, 2 (full TOC) and 5
// (CD-Text), READ SUB-CHANNEL formats 1, 2 and 3, READ CD with or without
// sub-channel data, vendor READ CDDA, READ(10), MODE SELECT(6)/(10), MODE
// SENSE(10) page 0x2A, SET CD SPEED) from a Disc,
// with the status and fixed-format sense data a real drive gives, and
// refuses everything else with 05/20/00.
#pragma once

#include <array>
#include <atomic>
#include <cstdint>
#include <deque>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "drive/Transport.h"
#include "drive/emulated/DemoDisc.h"
#include "drive/emulated/Disc.h"
#include "drive/emulated/ReadThrottle.h"

namespace vindral::emulated {

// SCSI status CHECK CONDITION as the backends report it.
constexpr int32_t kStatusCheckCondition = 2;

// Default speeds: 40 X (1 X = 176.4 kB/s).
constexpr uint16_t kDefaultMaximumKBps = 7056;

class EmulatedDrive {
public:
    explicit EmulatedDrive(std::shared_ptr<const Disc> disc = nullptr);

    // One command; thread-safe. Every command reaches the drive, so
    // sense.taken is always set; the sense bytes are zero on success.
    int32_t Execute(const uint8_t* cdb, int cdbLength, bool dataOut, void* buffer,
                    uint32_t length, SenseResult& sense);

    // INQUIRY's vendor (8), product (16) and revision (4), padded with blanks.
    void SetIdentity(std::string vendor, std::string product, std::string revision);
    // Which read commands the drive knows (READ CD, READ CDDA, READ(10)).
    void SetAcceptedReads(bool readCd, bool readCdda, bool read10);
    // Whether READ CD delivers C2 error pointers (and MODE SENSE says so).
    void SetC2Supported(bool supported);

    // No disc: commands that need one get 02/3A/00.
    void Eject();
    // A new disc; the next command other than INQUIRY gets 06/28/00. The
    // drive takes on the disc's drive behaviour (its image's REM DRIVE lines).
    void Insert(std::shared_ptr<const Disc> disc);

    // Replaces the drive's behaviour (becoming ready, unit attention, short
    // reads, descriptor sense, cache, read offset); takes effect from the
    // next command, and becoming ready counts from now.
    void SetBehaviour(const DriveBehaviour& behaviour);
    DriveBehaviour Behaviour() const;

    // 0 = unthrottled. SET CD SPEED changes it (0xFFFF = as fast as possible).
    void SetSpeedLimitKBps(uint32_t kbps);
    // The maximum and current speeds of MODE SENSE page 0x2A. The current
    // speed is given while reads are unthrottled; a limit reports itself.
    void SetReportedSpeeds(uint16_t maximumKBps, uint16_t currentKBps);
    // Replaces the clock and sleep behind the speed limit.
    void SetClockForTesting(ThrottleClock clock);

    // For tests and diagnostics.
    uint64_t CommandCount(uint8_t opcode) const;
    // The read speed of the last SET CD SPEED, or -1 when none came.
    int32_t LastSetSpeedValue() const;
    uint32_t BlockLength() const;
    uint32_t SpeedLimitKBps() const;
    std::shared_ptr<const Disc> CurrentDisc() const;

private:
    struct Reply;
    void ExecuteLocked(const uint8_t* cdb, uint8_t* in, const uint8_t* out, uint32_t length,
                       Reply& reply);
    void Inquiry(const uint8_t* cdb, uint8_t* in, uint32_t length, Reply& reply);
    void ReadToc(const uint8_t* cdb, uint8_t* in, uint32_t length, Reply& reply);
    // READ TOC format 2 after the 4-byte header in `answer`.
    void FullToc(const uint8_t* cdb, std::vector<uint8_t>& answer, Reply& reply) const;
    void ModeSense10(const uint8_t* cdb, uint8_t* in, uint32_t length, Reply& reply);
    void ModeSelect(const uint8_t* cdb, const uint8_t* out, uint32_t length, Reply& reply);
    void SetCdSpeed(const uint8_t* cdb, Reply& reply);
    void ReadCd(const uint8_t* cdb, uint8_t* in, uint32_t length, Reply& reply);
    void ReadSubChannel(const uint8_t* cdb, uint8_t* in, uint32_t length, Reply& reply);
    // The sub-channel READ CD delivers with a sector: `selection` 1 raw P-W
    // (96 bytes), 2 formatted Q (16), 4 R-W (96).
    void DeliverSubChannel(SectorAddress address, int selection, uint8_t* out);
    void ReadCdda(const uint8_t* cdb, uint8_t* in, uint32_t length, Reply& reply);
    void Read10(const uint8_t* cdb, uint8_t* in, uint32_t length, Reply& reply);
    bool CheckRange(int64_t address, int64_t count, Reply& reply) const;
    // CD-DA sectors straight into the answer; refuses data sectors.
    void ReadAudioRun(int64_t address, int64_t count, uint8_t* in, Reply& reply);
    // One CD-DA sector as this drive returns it: from the cache, or from the
    // disc shifted by the read offset. False when the disc cannot be read.
    // With `errorBits`, also the sector's 294 bytes of C2 error bits: one
    // bit for each byte the reading got wrong.
    bool DeliverSector(SectorAddress address, uint8_t* out, uint8_t* errorBits = nullptr);
    // The bytes of the disc's audio stream from `firstByte` on, zero outside
    // the disc: as read (with the damage of each reading), or `asPressed`.
    bool PressedBytes(int64_t firstByte, uint8_t* out, uint32_t count, bool asPressed = false);
    // C2 bits of a reading: one for each byte that differs from the pressed
    // bytes, save those the drive misses.
    void FlagErrors(const uint8_t* read, const uint8_t* pressed, SectorAddress address,
                    uint64_t readNumber, uint8_t* errorBits) const;
    bool OffersC2() const { return c2Supported_ && !behaviour_.noC2; }
    void Adopt(const DriveBehaviour& behaviour);
    uint16_t CurrentSpeedKBps() const;

    mutable std::mutex mutex_;
    std::shared_ptr<const Disc> disc_;
    bool mediumChanged_ = false;
    std::string vendor_ = "VINDRAL ";
    std::string product_ = "EMULATED CD-ROM ";
    std::string revision_ = "1.0 ";
    bool acceptReadCd_ = true;
    bool acceptReadCdda_ = true;
    bool acceptRead10_ = true;
    bool c2Supported_ = true;
    uint8_t density_ = 0x00;
    uint32_t blockLength_ = 2048;
    uint16_t maximumKBps_ = kDefaultMaximumKBps;
    uint16_t currentKBps_ = kDefaultMaximumKBps;
    int32_t lastSetSpeed_ = -1;
    ReadThrottle throttle_;
    ThrottleClock clock_ = ThrottleClock::Steady();
    std::array<uint64_t, 256> commandCounts_{};
    std::atomic<uint64_t> readNumber_{0};
    uint64_t qFramesDelivered_ = 0;
    SectorAddress lastAddress_ = 0; // the head's place, for READ SUB-CHANNEL
    DriveBehaviour behaviour_;
    ReadThrottle::Duration loadedAt_{0}; // when the disc went in
    // The read cache: sector bytes by address, and the addresses oldest first.
    struct CacheSlot {
        std::array<uint8_t, kSectorBytes> data;
        std::array<uint8_t, 294> errorBits;
    };
    std::map<SectorAddress, CacheSlot> cache_;
    std::deque<SectorAddress> cacheOrder_;
};

} // namespace vindral::emulated

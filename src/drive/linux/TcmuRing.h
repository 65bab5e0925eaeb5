// The command ring of the kernel's user-space SCSI target backend (TCMU).
//
// The kernel shares one memory area with the program serving a TCMU
// device, through the device's /dev/uioN node:
//
//   offset 0              the mailbox: version (u16), flags (u16), offset and
//                         size of the command ring (u32 each), cmd_head (u32,
//                         written by the kernel) and, on a 64-byte line of its
//                         own at offset 64, cmd_tail (u32, written by us);
//   cmdr_off .. +size     the command ring: entries of 8-byte-aligned length;
//   beyond the ring       the data area, which the entries' iovecs point into
//                         (addresses there are offsets from the start of the area).
//
// Every entry starts with a header: len_op (u32: length with the operation in
// its low 3 bits), cmd_id (u16), kflags (u8), uflags (u8). A PAD entry only
// fills the ring up to its end. A CMD entry holds, after the header, iov_cnt,
// iov_bidi_cnt and iov_dif_cnt (u32 each at 8, 12, 16), then, 8-byte aligned
// within the request (the request itself is not packed), cdb_off (u64 at 24:
// the CDB's offset in the area), 16 reserved bytes and, from 48, iov_cnt
// iovecs of 16 bytes (offset, length).
// The answer overwrites the same entry from byte 8: SCSI status (u8), 3
// reserved bytes, read_len (u32) and 96 bytes of sense data. Handled entries
// are given back by moving cmd_tail past them; writing 4 bytes to the uio
// node then tells the kernel.
//
// TcmuRing works on any memory of that layout, so that the unit tests run it
// over a ring they build themselves; TcmuDevice serves a real uio node.
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <mutex>
#include <string>
#include <thread>

#include "drive/Transport.h"

namespace vindral::linuxdrive {

namespace tcmu {
constexpr std::size_t kMailboxVersionOffset = 0;
constexpr std::size_t kMailboxFlagsOffset = 2;
constexpr std::size_t kMailboxRingOffset = 4;
constexpr std::size_t kMailboxRingSizeOffset = 8;
constexpr std::size_t kMailboxHeadOffset = 12;
constexpr std::size_t kMailboxTailOffset = 64;
constexpr std::size_t kMailboxBytes = 68;

constexpr uint16_t kFlagReadLength = 1u << 1; // the kernel takes read_len

constexpr uint32_t kOpMask = 0x7;
constexpr uint32_t kOpPad = 0;
constexpr uint32_t kOpCmd = 1;

constexpr std::size_t kEntryHeaderBytes = 8;
constexpr std::size_t kEntryLengthOffset = 0;
constexpr std::size_t kEntryIdOffset = 4;
constexpr std::size_t kEntryUserFlagsOffset = 7;
constexpr std::size_t kRequestIovCountOffset = 8;
constexpr std::size_t kRequestBidiCountOffset = 12;
constexpr std::size_t kRequestDifCountOffset = 16;
constexpr std::size_t kRequestCdbOffset = 24;
constexpr std::size_t kRequestIovOffset = 48;
constexpr std::size_t kIovBytes = 16;
constexpr std::size_t kResponseStatusOffset = 8;
constexpr std::size_t kResponseReadLengthOffset = 12;
constexpr std::size_t kResponseSenseOffset = 16;
constexpr std::size_t kResponseSenseBytes = 96;
constexpr std::size_t kResponseBytes = kResponseSenseOffset + kResponseSenseBytes;

constexpr uint8_t kUserFlagUnknownOp = 0x1;
constexpr uint8_t kUserFlagReadLength = 0x2;

constexpr uint8_t kScsiGood = 0x00;
constexpr uint8_t kScsiCheckCondition = 0x02;

// The CDB length the kernel copies into the ring for an operation code (the
// SCSI command groups: 6, 10, 10, 12, 16, 12, 10, 10 bytes).
int KernelCdbLength(uint8_t opcode);
} // namespace tcmu

// Answers one command: the CDB (as many bytes as its group has), whether its
// data go to the device, the data buffer (data-out: what the initiator sent;
// data-in: to be filled) and the sense. Returns kStatusOk for GOOD, 2 for
// CHECK CONDITION with the sense bytes set; sense.residual counts the
// data-in bytes not delivered. EmulatedDrive::Execute has this shape.
using TcmuHandler = std::function<int32_t(const uint8_t* cdb, int cdbLength, bool dataOut,
                                          uint8_t* buffer, uint32_t length, SenseResult& sense)>;

class TcmuRing {
public:
    // The shared area: base and size of the whole mapping.
    TcmuRing(uint8_t* base, std::size_t size);

    // Whether the mailbox describes a ring inside the area.
    bool Valid() const;

    struct Progress {
        int commands = 0; // CMD entries answered
        int refused = 0;  // of them, refused because the entry was malformed
        int skipped = 0;  // PAD entries and entries of unknown operations
        bool broken = false; // an entry whose length cannot be trusted: stopped there
        std::string error;
    };

    // Answers every entry between cmd_tail and cmd_head and moves cmd_tail past
    // them. An entry whose CDB or data lie outside the area (or whose data
    // would overlap the mailbox or the ring) is answered CHECK CONDITION
    // 04/44/00 (internal target failure) without calling the handler; an
    // entry too short to hold an answer is passed over; one whose length is
    // 0, unaligned or beyond the ring stops the processing (broken), as the
    // rest of the ring cannot be found from it.
    Progress Process(const TcmuHandler& handler);

private:
    void Answer(std::size_t entry, std::size_t length, const TcmuHandler& handler,
                Progress& progress);

    uint8_t* base_;
    std::size_t size_;
};

// A TCMU device's uio node served by a thread: waits for the kernel's
// interrupt, processes the ring, notifies the kernel.
class TcmuDevice {
public:
    TcmuDevice() = default;
    ~TcmuDevice();
    TcmuDevice(const TcmuDevice&) = delete;
    TcmuDevice& operator=(const TcmuDevice&) = delete;

    // Opens the node and maps `mapSize` bytes of it; false with `error` set.
    bool Open(const std::string& uioNode, std::size_t mapSize, std::string& error);
    // Serves an already opened descriptor and area (tests pass a socket and
    // memory of their own; the device then owns neither).
    void Attach(int fd, uint8_t* base, std::size_t size);

    // Starts the serving thread; commands go to `handler`.
    bool Start(TcmuHandler handler, std::string& error);
    // Stops the thread (within about 100 ms) and unmaps the area.
    void Stop();

    uint64_t Commands() const { return commands_.load(); }
    // The last broken-ring message, empty while none came.
    std::string LastError() const;

private:
    void Serve(TcmuHandler handler);

    int fd_ = -1;
    bool ownsFd_ = false;
    uint8_t* base_ = nullptr;
    std::size_t size_ = 0;
    bool mapped_ = false;
    std::thread thread_;
    std::atomic<bool> stop_{false};
    std::atomic<uint64_t> commands_{0};
    mutable std::mutex errorMutex_;
    std::string lastError_;
};

} // namespace vindral::linuxdrive

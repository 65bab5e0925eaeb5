// The SCSI transport: the one place where the program talks to CD-ROM drives.
//
// Everything above this header sees ExecuteCommand with its status,
// InitialiseTransport and LastSenseCode. Which backend serves them (the
// emulated drive, ASPI, Windows pass-through or Linux SG_IO) is decided once,
// before InitialiseTransport, and never changes afterwards.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

namespace vindral {

// Status convention: 1 is success, every other value a failure.
constexpr int32_t kStatusOk = 1;
// No drive at that (host adapter, target), or no completion event.
constexpr int32_t kStatusNoDrive = -1;
// An operating-system error code that happens to be 1 would read as success;
// such a code is reported as this value instead.
constexpr int32_t kStatusOsErrorOne = 0x10001;
// The request went through with SCSI status GOOD but the host adapter or the
// driver reported an error: 0x20000 + host status * 256 + driver status.
constexpr int32_t kStatusHostErrorBase = 0x20000;
// A command that did not complete within the backend's time limit.
constexpr int32_t kStatusTimeout = 0x30000;
// A sector read that the drive answered as done but that transferred fewer
// bytes than asked: the rest of the buffer holds no audio from the disc.
constexpr int32_t kStatusShortTransfer = 0x40000;
// The operating system refused to send the command for this user or this
// way of opening the device (Linux: EPERM for vendor commands without the
// raw-I/O capability, or for commands that need a read-write open).
constexpr int32_t kStatusNotPermitted = 0x50000;

// Retries of the transport: a command that met "becoming ready" (02/04/01)
// is sent again for up to this long, with a short pause between tries; one
// that met a unit attention (06/28/xx medium changed, 06/29/xx reset) is
// sent once more. TEST UNIT READY is never retried, so that the disc check
// sees the drive's own answer.
constexpr uint32_t kBecomingReadyLimitMs = 30000;
constexpr uint32_t kBecomingReadyPauseMs = 250;

// Time limit of one command in the backends that can set one (milliseconds).
constexpr uint32_t kCommandTimeoutMs = 120000;

// Length of a CDB from its operation code: 6 bytes below 0x20, 10 up to 0x5F,
// 12 from 0x60 upward.
int CdbLength(uint8_t opcode);

// True for the 13 operation codes whose data go from host to drive.
bool IsDataOut(uint8_t opcode);

// The table behind IsDataOut, indexed by operation code.
extern const std::array<bool, 256> DataOutOpcodes;

// Packs sense data. Fixed format (response code 0x70/0x71): byte 2 * 65536
// + byte 12 * 256 + byte 13. Descriptor format (0x72/0x73): the sense key
// (byte 1), additional sense code (byte 2) and qualifier (byte 3).
int32_t PackSense(const uint8_t* sense, std::size_t length);

// True for the commands that read whole sectors (READ(10), READ(12),
// READ CD, READ CDDA): for them a transfer shorter than the data length
// asked is a failure. Other data-in commands (READ TOC, INQUIRY, MODE SENSE)
// may rightly answer with fewer bytes than their allocation length.
bool IsSectorRead(uint8_t opcode);

// What a failed status means, for messages: "code %06X" of the sense code
// for a drive's own refusal, a plain description for the transport's values.
std::string DescribeStatus(int32_t status, int32_t senseCode);

// Maps an operating-system error code to a status: never 1, never 0.
int32_t OsErrorStatus(int32_t code);

// One entry of an adapter's inquiry list (the kernel's or the system's cached
// identification of the devices behind one adapter).
struct InquiryEntry {
    uint8_t pathId = 0;
    uint8_t targetId = 0;
    uint8_t lun = 0;
    std::array<uint8_t, 36> inquiryData{};
};

// What a backend hands back besides the status.
struct SenseResult {
    // False when no request reached the device (no drive, no event): the last
    // sense code then stays as it was.
    bool taken = false;
    std::array<uint8_t, 32> data{};
    // Bytes of a data-in transfer that the drive did not deliver (the SG_IO
    // residual count; what the pass-through record's DataTransferLength
    // falls short of the length asked).
    uint32_t residual = 0;
};

class TransportBackend {
public:
    virtual ~TransportBackend() = default;

    // Number of host adapters (ASPI) or SCSI adapters (pass-through) found;
    // 0 means no drive can be reached.
    virtual int32_t Initialise() = 0;

    // Sends one CDB (cdbLength bytes) and returns the status.
    virtual int32_t Execute(uint8_t hostAdapter, uint8_t target, const uint8_t* cdb,
                            int cdbLength, bool dataOut, void* buffer, uint32_t length,
                            SenseResult& sense) = 0;

    // Pass-through backends answer INQUIRY from the system's cached inquiry
    // data instead of sending the command.
    virtual bool IsPassThrough() const { return false; }

    // The inquiry list of the first bus of one adapter, in the system's order.
    // False when the adapter is unknown or the query fails.
    virtual bool AdapterInquiryList(uint8_t /*adapter*/, std::vector<InquiryEntry>& /*out*/) {
        return false;
    }

    // After an Initialise that found no drive: one line naming each device
    // tried and why it could not be used; empty when the backend cannot say.
    virtual std::string FailureDetail() const { return {}; }
};

// Chooses the backend. Called at most once, before InitialiseTransport; when
// it is not called, InitialiseTransport uses the platform's real drives.
void SelectTransport(std::unique_ptr<TransportBackend> backend);

// Brings up the transport; returns the adapter count, 0 when no drive can be
// reached. A second call returns the first call's result.
int32_t InitialiseTransport();

// Sends a CDB of 6, 10 or 12 bytes (the length follows from byte 0) with its
// data buffer to the drive at (hostAdapter, target). Every call that reaches
// a device replaces the last sense code.
int32_t ExecuteCommand(uint8_t hostAdapter, uint8_t target, const uint8_t* cdb, void* buffer,
                       uint32_t length);

// The sense code of the most recent command, packed as PackSense does.
int32_t LastSenseCode();

// Why InitialiseTransport found no drive, as the backend words it (see
// TransportBackend::FailureDetail); empty when it cannot say.
std::string TransportFailureDetail();

// The clock and the pause behind the retries; tests replace them so that
// nothing waits. nowMs is a monotonic millisecond count.
struct RetryClock {
    std::function<uint64_t()> nowMs;
    std::function<void(uint32_t)> sleepMs;
    static RetryClock Steady();
};
void SetRetryClock(RetryClock clock);

// Whether the chosen backend answers INQUIRY from cached data, and its list.
bool TransportIsPassThrough();
bool TransportAdapterInquiryList(uint8_t adapter, std::vector<InquiryEntry>& out);

// The backend that InitialiseTransport uses when none was selected.
std::unique_ptr<TransportBackend> CreatePlatformTransport();

// The platform's real drives, limited to the given device nodes.
std::unique_ptr<TransportBackend> CreateDeviceTransport(const std::vector<std::string>& devices);

// Tests only: forgets the backend and all state, so the next test can select
// another one.
void ResetTransportForTesting();

} // namespace vindral

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

// Time limit of one command in the backends that can set one (milliseconds).
constexpr uint32_t kCommandTimeoutMs = 120000;

// Length of a CDB from its operation code: 6 bytes below 0x20, 10 up to 0x5F,
// 12 from 0x60 upward.
int CdbLength(uint8_t opcode);

// True for the 13 operation codes whose data go from host to drive.
bool IsDataOut(uint8_t opcode);

// The table behind IsDataOut, indexed by operation code.
extern const std::array<bool, 256> DataOutOpcodes;

// Packs fixed-format sense data: byte 2 * 65536 + byte 12 * 256 + byte 13.
int32_t PackSense(const uint8_t* sense, std::size_t length);

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

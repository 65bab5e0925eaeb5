// The test ASPI manager. The request blocks are read and written at the byte
// positions of the published SRB_ExecSCSICmd and SRB_Abort layouts (byte
// packed, P = pointer size), independently of the program's own declaration:
//   SRB_Cmd 0, SRB_Status 1, SRB_HaId 2, SRB_Flags 3, SRB_Hdr_Rsvd 4-7,
//   SRB_Target 8, SRB_Lun 9, SRB_Rsvd1 10-11, SRB_BufLen 12-15,
//   SRB_BufPointer 16, SRB_SenseLen 16+P, SRB_CDBLen 17+P, SRB_HaStat 18+P,
//   SRB_TargStat 19+P, SRB_PostProc 20+P, SRB_Rsvd2 20+2P (20 bytes),
//   CDBByte 40+2P (16 bytes), SenseArea 56+2P (16 bytes); SRB_ToAbort at 8.
#include <windows.h>

#include <chrono>
#include <cstring>
#include <mutex>
#include <thread>
#include <vector>

#include "drive/Transport.h"
#include "drive/emulated/DemoDisc.h"
#include "drive/emulated/EmulatedTransport.h"
#include "drive/windows/WindowsApi.h"
#include "TestAspiManager.h"

namespace {

using vindral::wine::ManagerMode;
using vindral::wine::SrbRecord;

constexpr std::size_t P = sizeof(void*);
constexpr std::size_t kBufLen = 12;
constexpr std::size_t kBufPointer = 16;
constexpr std::size_t kSenseLen = 16 + P;
constexpr std::size_t kCdbLen = 17 + P;
constexpr std::size_t kHaStat = 18 + P;
constexpr std::size_t kTargStat = 19 + P;
constexpr std::size_t kPostProc = 20 + P;
constexpr std::size_t kRsvd2 = 20 + 2 * P;
constexpr std::size_t kCdb = 40 + 2 * P;
constexpr std::size_t kSense = 56 + 2 * P;
constexpr std::size_t kSrbSize = 72 + 2 * P;

constexpr uint8_t SC_EXEC_SCSI_CMD = 0x02;
constexpr uint8_t SC_ABORT_SRB = 0x03;
constexpr uint8_t SS_PENDING = 0x00;
constexpr uint8_t SS_COMP = 0x01;
constexpr uint8_t SS_ABORTED = 0x02;
constexpr uint8_t SS_ERR = 0x04;
constexpr uint8_t SS_INVALID_CMD = 0x80;
constexpr uint8_t SS_NO_DEVICE = 0x82;
constexpr uint8_t SS_NO_ADAPTERS = 0xE8;
constexpr uint8_t SRB_DIR_OUT = 0x10;
constexpr uint8_t SRB_EVENT_NOTIFY = 0x40;

template <typename T>
T Get(const uint8_t* srb, std::size_t at) {
    T value;
    std::memcpy(&value, srb + at, sizeof value);
    return value;
}

struct Manager {
    std::mutex lock;
    vindral::emulated::EmulatedTransport transport;
    ManagerMode mode = ManagerMode::Synchronous;
    std::vector<SrbRecord> records;
    uint8_t* hung = nullptr; // the block that never completes
    int32_t pending = 0;     // asynchronous completions still to come

    Manager() { transport.AddDrive(vindral::emulated::MakeDemoDisc()); }
};

Manager& TheManager() {
    static Manager manager;
    return manager;
}

SrbRecord Record(const uint8_t* srb) {
    SrbRecord record;
    record.command = srb[0];
    record.status = srb[1];
    record.haId = srb[2];
    record.flags = srb[3];
    record.address = const_cast<uint8_t*>(srb);
    if (record.command == SC_ABORT_SRB) {
        record.toAbort = Get<void*>(srb, 8);
        record.unsetBytesZero = record.status == 0 && Get<uint32_t>(srb, 4) == 0;
        return record;
    }
    record.target = srb[8];
    record.lun = srb[9];
    record.bufLen = Get<uint32_t>(srb, kBufLen);
    record.bufPointer = Get<void*>(srb, kBufPointer);
    record.senseLen = srb[kSenseLen];
    record.cdbLen = srb[kCdbLen];
    record.postProc = Get<void*>(srb, kPostProc);
    std::memcpy(record.cdb, srb + kCdb, 16);
    bool zero = srb[1] == 0 && Get<uint32_t>(srb, 4) == 0 && srb[10] == 0 && srb[11] == 0 &&
                srb[kHaStat] == 0 && srb[kTargStat] == 0;
    for (std::size_t i = kRsvd2; i < kRsvd2 + 20; ++i) {
        zero = zero && srb[i] == 0;
    }
    for (std::size_t i = kCdb + record.cdbLen; i < kCdb + 16; ++i) {
        zero = zero && srb[i] == 0;
    }
    for (std::size_t i = kSense; i < kSrbSize; ++i) {
        zero = zero && srb[i] == 0;
    }
    record.unsetBytesZero = zero;
    return record;
}

// Runs the command on the emulated drive and fills status and sense.
void Complete(Manager& manager, uint8_t* srb) {
    vindral::SenseResult sense;
    const int cdbLength = std::min<int>(srb[kCdbLen], 16);
    const int32_t status = manager.transport.Execute(
        srb[2], srb[8], srb + kCdb, cdbLength, (srb[3] & SRB_DIR_OUT) != 0,
        Get<void*>(srb, kBufPointer), Get<uint32_t>(srb, kBufLen), sense);
    const std::size_t senseBytes = std::min<std::size_t>(srb[kSenseLen], 16);
    if (sense.taken) {
        std::memcpy(srb + kSense, sense.data.data(), senseBytes);
    }
    if (status == vindral::kStatusOk) {
        srb[1] = SS_COMP;
    } else if (status == vindral::kStatusNoDrive) {
        srb[1] = SS_NO_DEVICE;
    } else {
        srb[kTargStat] = static_cast<uint8_t>(status & 0xFF);
        srb[1] = SS_ERR;
    }
}

void Signal(const uint8_t* srb) {
    if ((srb[3] & SRB_EVENT_NOTIFY) != 0) {
        if (HANDLE event = Get<HANDLE>(srb, kPostProc)) {
            SetEvent(event);
        }
    }
}

} // namespace

extern "C" {

__declspec(dllexport) DWORD __cdecl GetASPI32SupportInfo(void) {
    Manager& manager = TheManager();
    std::lock_guard<std::mutex> guard(manager.lock);
    if (manager.mode == ManagerMode::NoAdapters) {
        return SS_COMP << 8;
    }
    if (manager.mode == ManagerMode::NotReady) {
        return SS_NO_ADAPTERS << 8;
    }
    const auto adapters = static_cast<DWORD>(manager.transport.Initialise());
    return (SS_COMP << 8) | (adapters & 0xFF);
}

__declspec(dllexport) DWORD __cdecl SendASPI32Command(void* block) {
    auto* srb = static_cast<uint8_t*>(block);
    if (srb == nullptr) {
        return SS_INVALID_CMD;
    }
    Manager& manager = TheManager();
    std::unique_lock<std::mutex> guard(manager.lock);
    manager.records.push_back(Record(srb));
    if (srb[0] == SC_ABORT_SRB) {
        if (manager.hung != nullptr && Get<void*>(srb, 8) == manager.hung) {
            uint8_t* aborted = manager.hung;
            manager.hung = nullptr;
            aborted[1] = SS_ABORTED;
            Signal(aborted);
        }
        srb[1] = SS_COMP;
        return SS_COMP;
    }
    if (srb[0] != SC_EXEC_SCSI_CMD) {
        srb[1] = SS_INVALID_CMD;
        return SS_INVALID_CMD;
    }
    switch (manager.mode) {
    case ManagerMode::NeverCompletes:
        srb[1] = SS_PENDING;
        manager.hung = srb;
        return SS_PENDING;
    case ManagerMode::Asynchronous: {
        srb[1] = SS_PENDING;
        ++manager.pending;
        std::thread([srb] {
            std::this_thread::sleep_for(std::chrono::milliseconds(20));
            Manager& m = TheManager();
            std::lock_guard<std::mutex> later(m.lock);
            Complete(m, srb);
            --m.pending;
            Signal(srb);
        }).detach();
        return SS_PENDING;
    }
    default:
        Complete(manager, srb);
        Signal(srb);
        return srb[1];
    }
}

__declspec(dllexport) void __cdecl VindralTestAspiConfigure(int32_t mode) {
    Manager& manager = TheManager();
    std::lock_guard<std::mutex> guard(manager.lock);
    manager.mode = static_cast<ManagerMode>(mode);
    manager.records.clear();
    manager.hung = nullptr;
}

__declspec(dllexport) int32_t __cdecl VindralTestAspiRecordCount() {
    Manager& manager = TheManager();
    std::lock_guard<std::mutex> guard(manager.lock);
    return static_cast<int32_t>(manager.records.size());
}

__declspec(dllexport) bool __cdecl VindralTestAspiRecord(int32_t index, SrbRecord* out) {
    Manager& manager = TheManager();
    std::lock_guard<std::mutex> guard(manager.lock);
    if (index < 0 || static_cast<std::size_t>(index) >= manager.records.size() || !out) {
        return false;
    }
    *out = manager.records[static_cast<std::size_t>(index)];
    return true;
}

__declspec(dllexport) int32_t __cdecl VindralTestAspiPendingCount() {
    Manager& manager = TheManager();
    std::lock_guard<std::mutex> guard(manager.lock);
    return manager.pending;
}

#if defined(__i386__)
// A counter-example for the calling-convention tests, 32-bit only: an entry
// point of the kind a manager must not export, __stdcall (it removes its own
// argument, and the linker decorates its name with "@4").
__declspec(dllexport) unsigned long __stdcall VindralTestAspiStdcallProbe(void* block) {
    return block == nullptr ? 0xE0 : 0xE1;
}
#endif

} // extern "C"

// The exports have exactly the types through which the program calls them: a
// different calling convention would make these conversions ill-formed.
[[maybe_unused]] constexpr vindral::windows::AspiGetSupportInfoFn kSupportInfoAsCalled =
    &GetASPI32SupportInfo;
[[maybe_unused]] constexpr vindral::windows::AspiSendCommandFn kSendCommandAsCalled =
    &SendASPI32Command;

// A test ASPI manager (wnaspi32.dll) for the Windows build: it serves the
// emulated demo drive through the ASPI for Win32 entry points and records
// every request block it receives, read at the interface's published byte
// positions. Besides GetASPI32SupportInfo and SendASPI32Command it exports
// the control and record functions below for the tests.
#pragma once

#include <cstdint>

namespace vindral::wine {

// How the manager answers.
enum class ManagerMode : int32_t {
    Synchronous = 0,   // completes inside SendASPI32Command
    Asynchronous = 1,  // returns SS_PENDING, completes on another thread
    NeverCompletes = 2, // returns SS_PENDING, completes only when aborted
    NoAdapters = 3,    // GetASPI32SupportInfo: SS_COMP with 0 host adapters
    NotReady = 4,      // GetASPI32SupportInfo: SS_NO_ADAPTERS
};

// One request block as it arrived.
struct SrbRecord {
    uint8_t command = 0;
    uint8_t status = 0;
    uint8_t haId = 0;
    uint8_t flags = 0;
    uint8_t target = 0;
    uint8_t lun = 0;
    uint8_t senseLen = 0;
    uint8_t cdbLen = 0;
    uint32_t bufLen = 0;
    void* bufPointer = nullptr;
    void* postProc = nullptr;
    void* toAbort = nullptr; // SC_ABORT_SRB only
    void* address = nullptr; // where the block itself was
    uint8_t cdb[16] = {};
    // Whether every byte the sender leaves alone was 0 on arrival.
    bool unsetBytesZero = false;
};

using ConfigureFn = void(__cdecl*)(int32_t mode);
using RecordCountFn = int32_t(__cdecl*)();
using RecordFn = bool(__cdecl*)(int32_t index, SrbRecord* out);
using PendingCountFn = int32_t(__cdecl*)();

} // namespace vindral::wine

// The ASPI backend: SCSI commands through an ASPI for Win32 manager
// (wnaspi32.dll), one SRB_ExecSCSICmd per command, completion by event.
#pragma once

#include <memory>

#include "drive/Transport.h"
#include "drive/windows/WindowsApi.h"

namespace vindral::windows {

constexpr const char* kAspiLibrary = "wnaspi32.dll";
// After a command's time limit the request is aborted; this much longer is
// given to the manager to hand it back.
constexpr uint32_t kAspiAbortGraceMs = 5000;

class AspiBackend final : public TransportBackend {
public:
    explicit AspiBackend(std::shared_ptr<WindowsApi> api, uint32_t timeoutMs = kCommandTimeoutMs);

    // Loads the library and asks for its host adapters. Returns their number
    // when the manager answers SS_COMP with at least one, else 0 (the library
    // then counts as absent; it stays loaded and is not called again).
    int32_t Initialise() override;

    // Status: the request's SRB_Status; -1 (sense not taken) without a
    // completion event; kStatusTimeout when the manager does not complete
    // within the time limit.
    int32_t Execute(uint8_t hostAdapter, uint8_t target, const uint8_t* cdb, int cdbLength,
                    bool dataOut, void* buffer, uint32_t length, SenseResult& sense) override;

    bool Usable() const { return usable_; }

private:
    std::shared_ptr<WindowsApi> api_;
    uint32_t timeoutMs_;
    Handle library_ = nullptr;
    void* getSupportInfo_ = nullptr;
    void* sendCommand_ = nullptr;
    bool usable_ = false;
};

} // namespace vindral::windows

#include "drive/windows/AspiBackend.h"

#include <algorithm>
#include <cstring>

#include "drive/windows/WindowsLayouts.h"

namespace vindral::windows {

AspiBackend::AspiBackend(std::shared_ptr<WindowsApi> api, uint32_t timeoutMs)
    : api_(std::move(api)), timeoutMs_(timeoutMs) {}

int32_t AspiBackend::Initialise() {
    usable_ = false;
    library_ = api_->LoadLibraryA(kAspiLibrary);
    if (library_ == nullptr) {
        return 0;
    }
    getSupportInfo_ = api_->GetProcAddress(library_, "GetASPI32SupportInfo");
    sendCommand_ = api_->GetProcAddress(library_, "SendASPI32Command");
    if (getSupportInfo_ == nullptr || sendCommand_ == nullptr) {
        return 0;
    }
    const AspiSupport support = DecodeSupportInfo(api_->GetASPI32SupportInfo(getSupportInfo_));
    if (!support.Usable()) {
        return 0;
    }
    usable_ = true;
    return support.hostAdapters;
}

int32_t AspiBackend::Execute(uint8_t hostAdapter, uint8_t target, const uint8_t* cdb,
                             int cdbLength, bool dataOut, void* buffer, uint32_t length,
                             SenseResult& sense) {
    sense.taken = false;
    if (!usable_) {
        return kStatusNoDrive;
    }
    const Handle event = api_->CreateEventA(true, false);
    if (event == nullptr) {
        return kStatusNoDrive;
    }
    // The block lives on the heap: should the manager never hand it back,
    // it is left to the manager instead of pointing into a dead stack frame.
    auto srb = std::make_unique<SrbExecScsiCmd>();
    FillExecScsiCmd(*srb, hostAdapter, target, cdb, cdbLength, dataOut, buffer, length, event);

    api_->ResetEvent(event);
    bool timedOut = false;
    bool handedBack = true;
    if ((api_->SendASPI32Command(sendCommand_, srb.get()) & 0xFF) == kSsPending &&
        api_->WaitForSingleObject(event, timeoutMs_) != kWaitObject0) {
        // Never wait for ever: abort the request and give the manager a
        // short while to return it.
        timedOut = true;
        SrbAbort abort{};
        abort.SRB_Cmd = kScAbortSrb;
        abort.SRB_HaId = hostAdapter;
        abort.SRB_ToAbort = srb.get();
        api_->SendASPI32Command(sendCommand_, &abort);
        handedBack = api_->WaitForSingleObject(event, kAspiAbortGraceMs) == kWaitObject0;
    }
    sense.taken = true;
    sense.data.fill(0);
    if (!handedBack) {
        // The manager still owns the block and may still signal the event:
        // both are left to it.
        (void)srb.release();
        return kStatusTimeout;
    }
    api_->CloseHandle(event);
    std::memcpy(sense.data.data(), srb->SenseArea,
                std::min(sizeof srb->SenseArea, sense.data.size()));
    if (timedOut) {
        return kStatusTimeout;
    }
    // ASPI has no residual count; the host adapter status says when fewer
    // (or more) bytes moved than the request named.
    if (srb->SRB_HaStat == kHaStatDoDu && !dataOut && buffer != nullptr && length > 0 &&
        IsSectorRead(cdb[0])) {
        sense.residual = length;
        return kStatusShortTransfer;
    }
    return srb->SRB_Status;
}

} // namespace vindral::windows

// The Windows transport: the ASPI manager when one is installed and reports
// a host adapter, the SCSI pass-through requests on the drive letters
// otherwise. The choice is made once, in Initialise.
#pragma once

#include <memory>

#include "drive/Transport.h"
#include "drive/windows/AspiBackend.h"
#include "drive/windows/WindowsApi.h"
#include "drive/windows/WindowsPassThrough.h"

namespace vindral {

namespace windows {

class WindowsTransport final : public TransportBackend {
public:
    explicit WindowsTransport(std::shared_ptr<WindowsApi> api,
                              uint32_t aspiTimeoutMs = kCommandTimeoutMs);

    int32_t Initialise() override;
    int32_t Execute(uint8_t hostAdapter, uint8_t target, const uint8_t* cdb, int cdbLength,
                    bool dataOut, void* buffer, uint32_t length, SenseResult& sense) override;
    // True once the pass-through set-up entered a drive letter.
    bool IsPassThrough() const override;
    bool AdapterInquiryList(uint8_t adapter, std::vector<InquiryEntry>& out) override;

private:
    AspiBackend aspi_;
    WindowsPassThrough passThrough_;
    TransportBackend* active_ = nullptr;
    bool initialised_ = false;
    int32_t result_ = 0;
};

} // namespace windows

#if defined(_WIN32)
// The transport over the machine's real ASPI manager or drive letters.
std::unique_ptr<TransportBackend> CreateWindowsTransport();
#endif

} // namespace vindral

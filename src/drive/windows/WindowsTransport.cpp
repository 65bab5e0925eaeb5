#include "drive/windows/WindowsTransport.h"

namespace vindral::windows {

WindowsTransport::WindowsTransport(std::shared_ptr<WindowsApi> api, uint32_t aspiTimeoutMs)
    : aspi_(api, aspiTimeoutMs), passThrough_(api) {}

int32_t WindowsTransport::Initialise() {
    if (initialised_) {
        return result_;
    }
    initialised_ = true;
    result_ = aspi_.Initialise();
    if (result_ > 0) {
        active_ = &aspi_;
        return result_;
    }
    result_ = passThrough_.Initialise();
    if (passThrough_.HasDrives()) {
        active_ = &passThrough_;
    }
    return result_;
}

int32_t WindowsTransport::Execute(uint8_t hostAdapter, uint8_t target, const uint8_t* cdb,
                                  int cdbLength, bool dataOut, void* buffer, uint32_t length,
                                  SenseResult& sense) {
    if (active_ == nullptr) {
        sense.taken = false;
        return kStatusNoDrive;
    }
    return active_->Execute(hostAdapter, target, cdb, cdbLength, dataOut, buffer, length, sense);
}

bool WindowsTransport::IsPassThrough() const { return active_ == &passThrough_; }

bool WindowsTransport::AdapterInquiryList(uint8_t adapter, std::vector<InquiryEntry>& out) {
    out.clear();
    return IsPassThrough() && passThrough_.AdapterInquiryList(adapter, out);
}

} // namespace vindral::windows

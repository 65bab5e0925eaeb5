#include "drive/windows/WindowsPassThrough.h"

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <iterator>
#include <vector>

#include "drive/windows/WindowsLayouts.h"

namespace vindral::windows {

WindowsPassThrough::WindowsPassThrough(std::shared_ptr<WindowsApi> api) : api_(std::move(api)) {
    addressMap_.fill(-1);
    driveHandles_.fill(InvalidHandle());
    adapterHandles_.fill(InvalidHandle());
}

WindowsPassThrough::~WindowsPassThrough() {
    for (Handle handle : driveHandles_) {
        if (handle != InvalidHandle()) {
            api_->CloseHandle(handle);
        }
    }
    for (Handle handle : adapterHandles_) {
        if (handle != InvalidHandle()) {
            api_->CloseHandle(handle);
        }
    }
}

int32_t WindowsPassThrough::Initialise() {
    VersionInfo version;
    const bool known = api_->GetVersionExA(version);
    accessMode_ = AccessModeFor(known, version.platformId, version.majorVersion);

    addressMap_.fill(-1);
    for (char letter = 'C'; letter <= 'Z' && slotCount_ < kDriveSlots; ++letter) {
        char root[] = "A:\\";
        root[0] = letter;
        if (api_->GetDriveTypeA(root) != kDriveCdrom) {
            continue;
        }
        char device[] = "\\\\.\\C:";
        device[4] = letter;
        const Handle handle = api_->CreateFileA(device, accessMode_, kFileShareRead, kOpenExisting);
        if (handle == InvalidHandle() || handle == nullptr) {
            continue;
        }
        std::vector<uint8_t> answer(kIoctlAnswerBytes, 0);
        uint32_t returned = 0;
        const bool ok = api_->DeviceIoControl(handle, kIoctlScsiGetAddress, nullptr, 0,
                                              answer.data(), static_cast<uint32_t>(answer.size()),
                                              &returned);
        ScsiAddress address{};
        std::memcpy(&address, answer.data(), sizeof address);
        if (!ok || address.PortNumber >= kPorts || address.TargetId >= kTargets) {
            api_->CloseHandle(handle);
            continue;
        }
        // A later letter with the same address wins.
        driveHandles_[slotCount_] = handle;
        addressMap_[address.PortNumber * kTargets + address.TargetId] = slotCount_;
        ++slotCount_;
    }
    if (slotCount_ == 0) {
        return 0;
    }

    int32_t adapters = 0;
    for (int n = 0; n < kAdapterHandles; ++n) {
        char device[16];
        std::snprintf(device, sizeof device, "\\\\.\\SCSI%d:", n);
        const Handle handle = api_->CreateFileA(device, accessMode_, kFileShareRead, kOpenExisting);
        if (handle == InvalidHandle() || handle == nullptr) {
            break;
        }
        std::vector<uint8_t> answer(kIoctlAnswerBytes, 0);
        uint32_t returned = 0;
        api_->DeviceIoControl(handle, kIoctlScsiGetInquiryData, nullptr, 0, answer.data(),
                              static_cast<uint32_t>(answer.size()), &returned);
        if (NumberOfBuses(answer.data(), answer.size()) == 0) {
            api_->CloseHandle(handle);
            break;
        }
        adapterHandles_[n] = handle;
        ++adapters;
    }
    return adapters;
}

int32_t WindowsPassThrough::Execute(uint8_t hostAdapter, uint8_t target, const uint8_t* cdb,
                                    int cdbLength, bool dataOut, void* buffer, uint32_t length,
                                    SenseResult& sense) {
    sense.taken = false;
    if (hostAdapter >= kPorts || target >= kTargets || cdb == nullptr) {
        return kStatusNoDrive;
    }
    const int32_t slot = addressMap_[hostAdapter * kTargets + target];
    if (slot < 0) {
        return kStatusNoDrive;
    }
    PassThroughRequest request;
    FillPassThroughRequest(request, cdb, cdbLength, dataOut, buffer, length);
    uint32_t returned = 0;
    const bool ok = api_->DeviceIoControl(driveHandles_[slot], kIoctlScsiPassThroughDirect,
                                          &request, sizeof request, &request, sizeof request,
                                          &returned);
    const uint32_t error = ok ? 0 : api_->GetLastError();
    sense.taken = true;
    std::copy(std::begin(request.sense), std::end(request.sense), sense.data.begin());
    // The system hands back in DataTransferLength the bytes that moved.
    if (ok && !dataOut && buffer != nullptr && request.sptd.DataTransferLength < length) {
        sense.residual = length - request.sptd.DataTransferLength;
    }
    return PassThroughStatus(ok, request.sptd.ScsiStatus, error);
}

bool WindowsPassThrough::AdapterInquiryList(uint8_t adapter, std::vector<InquiryEntry>& out) {
    out.clear();
    if (adapter >= kAdapterHandles || adapterHandles_[adapter] == InvalidHandle()) {
        return false;
    }
    std::vector<uint8_t> answer(kIoctlAnswerBytes, 0);
    uint32_t returned = 0;
    if (!api_->DeviceIoControl(adapterHandles_[adapter], kIoctlScsiGetInquiryData, nullptr, 0,
                               answer.data(), static_cast<uint32_t>(answer.size()), &returned)) {
        return false;
    }
    out = ParseAdapterInquiryData(answer.data(), answer.size());
    return true;
}

} // namespace vindral::windows

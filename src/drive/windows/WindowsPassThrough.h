// The Windows pass-through backend: SCSI commands through
// IOCTL_SCSI_PASS_THROUGH_DIRECT on the device handles of the CD-ROM drive
// letters; identification from IOCTL_SCSI_GET_INQUIRY_DATA on the adapter
// devices \\.\SCSI0: ... \\.\SCSI9:.
//
// A drive is (port number, target id) as IOCTL_SCSI_GET_ADDRESS reports it;
// the path id and logical unit are not part of the address.
#pragma once

#include <array>
#include <memory>

#include "drive/Transport.h"
#include "drive/windows/WindowsApi.h"

namespace vindral::windows {

constexpr int kDriveSlots = 24;  // drive letters C to Z
constexpr int kAdapterHandles = 10; // one decimal digit in \\.\SCSIn:
constexpr int kPorts = 8;
constexpr int kTargets = 16;

class WindowsPassThrough final : public TransportBackend {
public:
    explicit WindowsPassThrough(std::shared_ptr<WindowsApi> api);
    ~WindowsPassThrough() override;

    WindowsPassThrough(const WindowsPassThrough&) = delete;
    WindowsPassThrough& operator=(const WindowsPassThrough&) = delete;

    // Scans the drive letters, then the adapters; returns the number of
    // adapters found. 0 at once when no drive letter could be entered.
    int32_t Initialise() override;

    int32_t Execute(uint8_t hostAdapter, uint8_t target, const uint8_t* cdb, int cdbLength,
                    bool dataOut, void* buffer, uint32_t length, SenseResult& sense) override;

    bool IsPassThrough() const override { return true; }

    bool AdapterInquiryList(uint8_t adapter, std::vector<InquiryEntry>& out) override;

    // Whether the letter scan entered at least one drive.
    bool HasDrives() const { return slotCount_ > 0; }
    uint32_t AccessMode() const { return accessMode_; }
    int32_t AddressMapEntry(int index) const { return addressMap_.at(index); }

private:
    std::shared_ptr<WindowsApi> api_;
    uint32_t accessMode_ = 0;
    int slotCount_ = 0;
    std::array<int32_t, kPorts * kTargets> addressMap_{};
    std::array<Handle, kDriveSlots> driveHandles_{};
    std::array<Handle, kAdapterHandles> adapterHandles_{};
};

} // namespace vindral::windows

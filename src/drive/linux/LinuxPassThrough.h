// The Linux pass-through backend: SCSI commands through the SG_IO request on
// the CD-ROM device nodes /dev/sr0 ... /dev/sr23 (24 drive slots), with the
// drive's address from SCSI_IOCTL_GET_IDLUN / SCSI_IOCTL_GET_BUS_NUMBER and
// its identification from the inquiry data the kernel keeps in sysfs.
//
// Addressing: a drive is (host adapter, target). Linux SCSI host numbers grow
// without bound (every USB drive that is plugged in gets a new one), so they
// are not used as adapter numbers directly: the distinct hosts get adapter
// numbers 0 to 7 in the order their first drive is found, and a drive keeps
// its own target number where that pair is free. A drive whose pair is taken
// (another channel or logical unit of the same target), whose target is 16 or
// more, or whose host found no adapter number left gets the first free pair
// (adapter 0..7, target 0..15) in the order the drives are found. The pairs
// are given once, at initialisation, and stay as they are.
#pragma once

#include <array>
#include <cstdint>
#include <memory>
#include <string>
#include <utility>
#include <vector>

#include "drive/Transport.h"
#include "drive/linux/LinuxSysCalls.h"

namespace vindral {

namespace linuxdrive {

constexpr int kDriveSlots = 24;
constexpr int kAdapters = 8;
constexpr int kTargets = 16;
constexpr uint8_t kSenseBytes = 32;
constexpr const char* kSysfsScsiDevices = "/sys/bus/scsi/devices";

// The device nodes probed when no list is given: /dev/sr0 ... /dev/sr23.
std::vector<std::string> DefaultDeviceNodes();

// The status of one SG_IO request that the kernel accepted, from the
// sg_io_hdr status fields.
int32_t SgIoStatus(uint8_t scsiStatus, uint16_t hostStatus, uint16_t driverStatus);

class LinuxPassThrough final : public TransportBackend {
public:
    explicit LinuxPassThrough(std::shared_ptr<LinuxSysCalls> calls,
                              std::vector<std::string> devices = DefaultDeviceNodes(),
                              std::string sysfsDevices = kSysfsScsiDevices);
    ~LinuxPassThrough() override;

    LinuxPassThrough(const LinuxPassThrough&) = delete;
    LinuxPassThrough& operator=(const LinuxPassThrough&) = delete;

    // Opens the device nodes (read-write where allowed, else read-only) and
    // fills the address map; returns the number of adapters in use, 0 when
    // no drive was found.
    int32_t Initialise() override;

    int32_t Execute(uint8_t hostAdapter, uint8_t target, const uint8_t* cdb, int cdbLength,
                    bool dataOut, void* buffer, uint32_t length, SenseResult& sense) override;

    bool IsPassThrough() const override { return true; }

    // The kernel's inquiry data (sysfs) of the devices of the adapter's host
    // that have an entered drive at their target, in (channel, target, lun)
    // order. An entered drive that sysfs does not show (sysfs not mounted,
    // as in some containers) is asked by a real INQUIRY instead.
    bool AdapterInquiryList(uint8_t adapter, std::vector<InquiryEntry>& out) override;

    // After an Initialise that entered no drive: each node tried and why it
    // could not be used, e.g. "/dev/sr0: Permission denied (the user must be
    // in the group 'cdrom')"; runs of missing nodes are named as a range.
    std::string FailureDetail() const override;

    // Read-only view of the tables, for diagnostics and tests.
    int32_t AddressMapEntry(int index) const { return addressMap_.at(index); }
    int AdapterHost(int adapter) const { return adapterHosts_.at(adapter); }

private:
    // Where one drive slot's device sits in the kernel's numbering.
    struct SlotDevice {
        int host = -1;
        uint8_t channel = 0;
        unsigned target = 0;
        uint8_t lun = 0;
    };

    int AdapterFor(int host);
    std::string WhyNotOpened(const std::string& node, int error);
    bool ReadSysfsInquiry(const std::string& name, InquiryEntry& entry);

    std::shared_ptr<LinuxSysCalls> calls_;
    std::vector<std::string> devices_;
    std::string sysfsDevices_;
    bool initialised_ = false;
    int32_t adapterCount_ = 0;
    // index = host adapter * 16 + target, value = drive slot or -1
    std::array<int32_t, kAdapters * kTargets> addressMap_{};
    // file descriptors by drive slot, -1 when the slot is empty
    std::array<int, kDriveSlots> driveHandles_{};
    // the kernel's address of each slot's device
    std::array<SlotDevice, kDriveSlots> slotDevices_{};
    // why each node that was tried could not be used, in the order tried
    std::vector<std::pair<std::string, std::string>> failures_;
    // Linux SCSI host number by adapter number, -1 when unused
    std::array<int, kAdapters> adapterHosts_{};
};

} // namespace linuxdrive

// The backend over the machine's /dev/sr0 ... /dev/sr23.
std::unique_ptr<TransportBackend> CreateLinuxPassThrough();
// The backend limited to the given device nodes (at most 24, in slot order).
std::unique_ptr<TransportBackend> CreateLinuxPassThrough(const std::vector<std::string>& devices);

} // namespace vindral

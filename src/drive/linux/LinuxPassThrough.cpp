#include "drive/linux/LinuxPassThrough.h"

#include <fcntl.h>
#include <scsi/scsi.h>
#include <scsi/sg.h>

#include <algorithm>
#include <cerrno>
#include <charconv>
#include <cstdio>
#include <cstring>
#include <tuple>

namespace vindral {

namespace linuxdrive {

namespace {

// What SCSI_IOCTL_GET_IDLUN writes: the address packed as
// id | lun << 8 | channel << 16 | host << 24 (8 bits each), and an id of the
// host that is unique per boot.
struct ScsiIdLun {
    int32_t devId;
    int32_t hostUniqueId;
};

constexpr uint16_t kDidTimeOut = 0x03;     // host status: command timed out
constexpr uint16_t kDriverTimeout = 0x06;  // driver status (low three bits)
constexpr uint16_t kDriverErrorMask = 0x07; // 0x08 DRIVER_SENSE alone is no error

bool NodeIsMissing(int error) { return error == -ENOENT || error == -ENXIO || error == -ENODEV; }

// Parses a sysfs SCSI device name "H:C:T:L" (all decimal).
bool ParseDeviceName(const std::string& name, std::array<unsigned, 4>& out) {
    const char* at = name.data();
    const char* end = name.data() + name.size();
    for (int i = 0; i < 4; ++i) {
        auto [next, error] = std::from_chars(at, end, out[i]);
        if (error != std::errc() || next == at) {
            return false;
        }
        at = next;
        if (i < 3) {
            if (at == end || *at != ':') {
                return false;
            }
            ++at;
        }
    }
    return at == end;
}

// Copies a text attribute ("%.8s\n" of the inquiry bytes) into a blank-padded
// field of the inquiry data, without its line end.
void PutTextField(const std::vector<uint8_t>& text, uint8_t* field, std::size_t width) {
    std::size_t used = text.size();
    if (used > 0 && text[used - 1] == '\n') {
        --used;
    }
    used = std::min(used, width);
    std::memset(field, ' ', width);
    std::memcpy(field, text.data(), used);
}

} // namespace

std::vector<std::string> DefaultDeviceNodes() {
    std::vector<std::string> nodes;
    for (int i = 0; i < kDriveSlots; ++i) {
        nodes.push_back("/dev/sr" + std::to_string(i));
    }
    return nodes;
}

int32_t SgIoStatus(uint8_t scsiStatus, uint16_t hostStatus, uint16_t driverStatus) {
    // A command that ran out of time did not complete, whatever else came back.
    if (hostStatus == kDidTimeOut || (driverStatus & kDriverErrorMask) == kDriverTimeout) {
        return kStatusTimeout;
    }
    if (scsiStatus != 0) {
        return scsiStatus;
    }
    if (hostStatus != 0 || (driverStatus & kDriverErrorMask) != 0) {
        return kStatusHostErrorBase + (hostStatus & 0xFF) * 256 + (driverStatus & 0xFF);
    }
    return kStatusOk;
}

LinuxPassThrough::LinuxPassThrough(std::shared_ptr<LinuxSysCalls> calls,
                                   std::vector<std::string> devices, std::string sysfsDevices)
    : calls_(std::move(calls)), devices_(std::move(devices)),
      sysfsDevices_(std::move(sysfsDevices)) {
    if (devices_.size() > static_cast<std::size_t>(kDriveSlots)) {
        devices_.resize(kDriveSlots);
    }
    addressMap_.fill(-1);
    driveHandles_.fill(-1);
    adapterHosts_.fill(-1);
}

LinuxPassThrough::~LinuxPassThrough() {
    for (int fd : driveHandles_) {
        if (fd >= 0) {
            calls_->Close(fd);
        }
    }
}

int LinuxPassThrough::AdapterFor(int host) {
    for (int adapter = 0; adapter < kAdapters; ++adapter) {
        if (adapterHosts_[adapter] == host) {
            return adapter;
        }
        if (adapterHosts_[adapter] < 0) {
            adapterHosts_[adapter] = host;
            ++adapterCount_;
            return adapter;
        }
    }
    return -1; // a ninth host: no adapter number left
}

int32_t LinuxPassThrough::Initialise() {
    if (initialised_) {
        return adapterCount_;
    }
    initialised_ = true;
    int nextSlot = 0;
    for (const std::string& node : devices_) {
        int fd = calls_->Open(node, O_RDWR | O_NONBLOCK);
        if (fd < 0 && !NodeIsMissing(fd)) {
            // Without write permission the drive still reads; only commands
            // the kernel reserves for writers (MODE SELECT) are refused.
            fd = calls_->Open(node, O_RDONLY | O_NONBLOCK);
        }
        if (fd < 0) {
            continue;
        }
        ScsiIdLun idLun{};
        if (calls_->Ioctl(fd, SCSI_IOCTL_GET_IDLUN, &idLun) < 0) {
            calls_->Close(fd);
            continue;
        }
        const auto packed = static_cast<uint32_t>(idLun.devId);
        const int target = static_cast<int>(packed & 0xFF);
        int host = static_cast<int>((packed >> 24) & 0xFF);
        int busNumber = 0;
        if (calls_->Ioctl(fd, SCSI_IOCTL_GET_BUS_NUMBER, &busNumber) >= 0) {
            host = busNumber; // the full host number, not only its low byte
        }
        const int adapter = target < kTargets ? AdapterFor(host) : -1;
        if (adapter < 0) {
            calls_->Close(fd);
            continue;
        }
        // A later node with the same address wins; the earlier slot stays
        // open but is no longer reachable.
        driveHandles_[nextSlot] = fd;
        slotUnits_[nextSlot] = {static_cast<uint8_t>((packed >> 16) & 0xFF),
                                static_cast<uint8_t>((packed >> 8) & 0xFF)};
        addressMap_[adapter * kTargets + target] = nextSlot;
        ++nextSlot;
    }
    return adapterCount_;
}

int32_t LinuxPassThrough::Execute(uint8_t hostAdapter, uint8_t target, const uint8_t* cdb,
                                  int cdbLength, bool dataOut, void* buffer, uint32_t length,
                                  SenseResult& sense) {
    sense.taken = false;
    if (hostAdapter >= kAdapters || target >= kTargets || cdb == nullptr || cdbLength <= 0 ||
        cdbLength > 16) {
        return kStatusNoDrive;
    }
    const int32_t slot = addressMap_[hostAdapter * kTargets + target];
    if (slot < 0) {
        return kStatusNoDrive;
    }
    uint8_t cdbCopy[16] = {};
    std::memcpy(cdbCopy, cdb, static_cast<std::size_t>(cdbLength));
    sense.data.fill(0);

    sg_io_hdr_t header{};
    header.interface_id = 'S';
    // Commands without data go as data-in with length 0, as in the other
    // backends.
    header.dxfer_direction = dataOut ? SG_DXFER_TO_DEV : SG_DXFER_FROM_DEV;
    header.cmd_len = static_cast<unsigned char>(cdbLength);
    header.mx_sb_len = kSenseBytes;
    header.dxfer_len = buffer != nullptr ? length : 0;
    header.dxferp = buffer;
    header.cmdp = cdbCopy;
    header.sbp = sense.data.data();
    header.timeout = kCommandTimeoutMs;

    const int result = calls_->Ioctl(driveHandles_[slot], SG_IO, &header);
    sense.taken = true;
    if (result < 0) {
        return OsErrorStatus(-result);
    }
    return SgIoStatus(header.status, header.host_status, header.driver_status);
}

bool LinuxPassThrough::AdapterInquiryList(uint8_t adapter, std::vector<InquiryEntry>& out) {
    out.clear();
    if (adapter >= kAdapters || adapterHosts_[adapter] < 0) {
        return false;
    }
    const auto host = static_cast<unsigned>(adapterHosts_[adapter]);
    std::vector<std::string> names;
    if (calls_->ListDirectory(sysfsDevices_, names) < 0) {
        names.clear();
    }
    std::vector<std::pair<std::array<unsigned, 4>, std::string>> devices;
    std::array<bool, kTargets> shown{};
    for (const std::string& name : names) {
        std::array<unsigned, 4> hctl{};
        if (!ParseDeviceName(name, hctl) || hctl[0] != host || hctl[1] > 0xFF ||
            hctl[2] >= static_cast<unsigned>(kTargets) || hctl[3] > 0xFF) {
            continue;
        }
        // Only targets with an entered drive: a device whose node could not
        // be opened would be listed but never answer.
        if (addressMap_[adapter * kTargets + hctl[2]] < 0) {
            continue;
        }
        devices.emplace_back(hctl, name);
    }
    std::sort(devices.begin(), devices.end(), [](const auto& a, const auto& b) {
        return std::tie(a.first[1], a.first[2], a.first[3]) <
               std::tie(b.first[1], b.first[2], b.first[3]);
    });

    for (const auto& [hctl, name] : devices) {
        const std::string folder = sysfsDevices_ + "/" + name + "/";
        InquiryEntry entry;
        entry.pathId = static_cast<uint8_t>(hctl[1]);
        entry.targetId = static_cast<uint8_t>(hctl[2]);
        entry.lun = static_cast<uint8_t>(hctl[3]);
        std::vector<uint8_t> bytes;
        if (calls_->ReadFile(folder + "inquiry", entry.inquiryData.size(), bytes) >= 0 &&
            !bytes.empty()) {
            std::copy_n(bytes.begin(), std::min(bytes.size(), entry.inquiryData.size()),
                        entry.inquiryData.begin());
        } else {
            // Older kernels have no binary attribute: rebuild the standard
            // inquiry layout from the text attributes.
            std::vector<uint8_t> type;
            if (calls_->ReadFile(folder + "type", 16, type) < 0) {
                continue;
            }
            unsigned typeValue = 0;
            const auto* first = reinterpret_cast<const char*>(type.data());
            auto [next, error] = std::from_chars(first, first + type.size(), typeValue);
            if (error != std::errc() || next == first || typeValue > 0x1F) {
                continue;
            }
            entry.inquiryData[0] = static_cast<uint8_t>(typeValue);
            static constexpr struct {
                const char* file;
                std::size_t offset;
                std::size_t width;
            } kFields[] = {{"vendor", 8, 8}, {"model", 16, 16}, {"rev", 32, 4}};
            for (const auto& field : kFields) {
                std::vector<uint8_t> text;
                calls_->ReadFile(folder + field.file, 64, text);
                PutTextField(text, entry.inquiryData.data() + field.offset, field.width);
            }
        }
        out.push_back(entry);
        shown[entry.targetId] = true;
    }

    // Drives that sysfs does not show answer a real INQUIRY.
    for (int target = 0; target < kTargets; ++target) {
        const int32_t slot = addressMap_[adapter * kTargets + target];
        if (slot < 0 || shown[target]) {
            continue;
        }
        InquiryEntry entry;
        entry.pathId = slotUnits_[slot].first;
        entry.targetId = static_cast<uint8_t>(target);
        entry.lun = slotUnits_[slot].second;
        const uint8_t cdb[6] = {0x12, 0, 0, 0, static_cast<uint8_t>(entry.inquiryData.size()), 0};
        SenseResult sense;
        if (Execute(adapter, static_cast<uint8_t>(target), cdb, 6, false,
                    entry.inquiryData.data(), static_cast<uint32_t>(entry.inquiryData.size()),
                    sense) != kStatusOk) {
            continue;
        }
        const auto at = std::upper_bound(out.begin(), out.end(), entry,
                                         [](const InquiryEntry& a, const InquiryEntry& b) {
                                             return std::tie(a.pathId, a.targetId, a.lun) <
                                                    std::tie(b.pathId, b.targetId, b.lun);
                                         });
        out.insert(at, entry);
    }
    return true;
}

} // namespace linuxdrive

std::unique_ptr<TransportBackend> CreateLinuxPassThrough() {
    return std::make_unique<linuxdrive::LinuxPassThrough>(linuxdrive::RealLinuxSysCalls());
}

std::unique_ptr<TransportBackend> CreateLinuxPassThrough(const std::vector<std::string>& devices) {
    return std::make_unique<linuxdrive::LinuxPassThrough>(linuxdrive::RealLinuxSysCalls(),
                                                          devices);
}

} // namespace vindral

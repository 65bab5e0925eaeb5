#include "drive/linux/LinuxPassThrough.h"

#include <fcntl.h>
#include <scsi/scsi.h>
#include <scsi/sg.h>

#include <algorithm>
#include <cerrno>
#include <charconv>
#include <cstdio>
#include <cstring>

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

std::string LinuxPassThrough::WhyNotOpened(const std::string& node, int error) {
    std::string reason = std::strerror(-error);
    if (error == -EACCES || error == -EPERM) {
        std::string group;
        if (calls_->FileGroup(node, group) >= 0 && !group.empty() && group != "root") {
            reason += " (the user must be in the group '" + group + "')";
        } else {
            reason += " (the user may not open the device node)";
        }
    }
    return reason;
}

int32_t LinuxPassThrough::Initialise() {
    if (initialised_) {
        return adapterCount_;
    }
    initialised_ = true;
    struct Found {
        int fd;
        SlotDevice device;
    };
    std::vector<Found> found;
    for (const std::string& node : devices_) {
        int fd = calls_->Open(node, O_RDWR | O_NONBLOCK);
        if (fd < 0 && !NodeIsMissing(fd)) {
            // Without write permission the drive still reads; only commands
            // the kernel reserves for writers (MODE SELECT) are refused.
            fd = calls_->Open(node, O_RDONLY | O_NONBLOCK);
        }
        if (fd < 0) {
            failures_.emplace_back(node, WhyNotOpened(node, fd));
            continue;
        }
        ScsiIdLun idLun{};
        const int idResult = calls_->Ioctl(fd, SCSI_IOCTL_GET_IDLUN, &idLun);
        if (idResult < 0) {
            failures_.emplace_back(node, std::string(std::strerror(-idResult)) +
                                             " (no SCSI address: not a CD-ROM drive)");
            calls_->Close(fd);
            continue;
        }
        const auto packed = static_cast<uint32_t>(idLun.devId);
        SlotDevice device;
        device.target = packed & 0xFF;
        device.lun = static_cast<uint8_t>((packed >> 8) & 0xFF);
        device.channel = static_cast<uint8_t>((packed >> 16) & 0xFF);
        device.host = static_cast<int>((packed >> 24) & 0xFF);
        int busNumber = 0;
        if (calls_->Ioctl(fd, SCSI_IOCTL_GET_BUS_NUMBER, &busNumber) >= 0) {
            device.host = busNumber; // the full host number, not only its low byte
        }
        found.push_back({fd, device});
    }

    // First every drive on its own pair where that is free, then the rest
    // on the first free pairs, both in the order found.
    std::vector<int> pair(found.size(), -1);
    for (std::size_t i = 0; i < found.size(); ++i) {
        const SlotDevice& device = found[i].device;
        if (device.target >= static_cast<unsigned>(kTargets)) {
            continue;
        }
        const int adapter = AdapterFor(device.host);
        if (adapter < 0) {
            continue;
        }
        const int index = adapter * kTargets + static_cast<int>(device.target);
        if (addressMap_[index] == -1) {
            addressMap_[index] = -2; // taken; the slot follows below
            pair[i] = index;
        }
    }
    for (std::size_t i = 0; i < found.size(); ++i) {
        for (int index = 0; pair[i] < 0 && index < kAdapters * kTargets; ++index) {
            if (addressMap_[index] == -1) {
                addressMap_[index] = -2;
                pair[i] = index;
            }
        }
    }
    int nextSlot = 0;
    std::array<bool, kAdapters> used{};
    for (std::size_t i = 0; i < found.size(); ++i) {
        if (pair[i] < 0 || nextSlot >= kDriveSlots) {
            calls_->Close(found[i].fd);
            continue;
        }
        driveHandles_[nextSlot] = found[i].fd;
        slotDevices_[nextSlot] = found[i].device;
        addressMap_[pair[i]] = nextSlot;
        used[static_cast<std::size_t>(pair[i] / kTargets)] = true;
        ++nextSlot;
    }
    adapterCount_ = static_cast<int32_t>(std::count(used.begin(), used.end(), true));
    return adapterCount_;
}

std::string LinuxPassThrough::FailureDetail() const {
    std::string detail;
    for (std::size_t i = 0; i < failures_.size();) {
        // A run of three or more nodes that failed alike is named as a range.
        std::size_t end = i + 1;
        while (end < failures_.size() && failures_[end].second == failures_[i].second) {
            ++end;
        }
        if (!detail.empty()) {
            detail += "; ";
        }
        if (end - i >= 3) {
            detail += failures_[i].first + " to " + failures_[end - 1].first + ": " +
                      failures_[i].second;
        } else {
            for (std::size_t k = i; k < end; ++k) {
                detail += (k > i ? "; " : "") + failures_[k].first + ": " + failures_[k].second;
            }
        }
        i = end;
    }
    return detail;
}

int32_t LinuxPassThrough::Execute(uint8_t hostAdapter, uint8_t target, const uint8_t* cdb,
                                  int cdbLength, bool dataOut, void* buffer, uint32_t length,
                                  SenseResult& sense) {
    sense.taken = false;
    sense.residual = 0;
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
    if (result == -EPERM) {
        // The kernel keeps some commands from unprivileged users (vendor
        // commands) or from read-only opens (SET CD SPEED, MODE SELECT).
        return kStatusNotPermitted;
    }
    if (result < 0) {
        return OsErrorStatus(-result);
    }
    if (!dataOut && header.dxfer_len > 0 && header.resid > 0) {
        sense.residual = std::min(static_cast<uint32_t>(header.resid), header.dxfer_len);
    }
    return SgIoStatus(header.status, header.host_status, header.driver_status);
}

bool LinuxPassThrough::ReadSysfsInquiry(const std::string& name, InquiryEntry& entry) {
    const std::string folder = sysfsDevices_ + "/" + name + "/";
    std::vector<uint8_t> bytes;
    if (calls_->ReadFile(folder + "inquiry", entry.inquiryData.size(), bytes) >= 0 &&
        !bytes.empty()) {
        std::copy_n(bytes.begin(), std::min(bytes.size(), entry.inquiryData.size()),
                    entry.inquiryData.begin());
        return true;
    }
    // Older kernels have no binary attribute: rebuild the standard inquiry
    // layout from the text attributes.
    std::vector<uint8_t> type;
    if (calls_->ReadFile(folder + "type", 16, type) < 0) {
        return false;
    }
    unsigned typeValue = 0;
    const auto* first = reinterpret_cast<const char*>(type.data());
    auto [next, error] = std::from_chars(first, first + type.size(), typeValue);
    if (error != std::errc() || next == first || typeValue > 0x1F) {
        return false;
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
    return true;
}

bool LinuxPassThrough::AdapterInquiryList(uint8_t adapter, std::vector<InquiryEntry>& out) {
    out.clear();
    if (adapter >= kAdapters) {
        return false;
    }
    bool inUse = false;
    for (int target = 0; target < kTargets; ++target) {
        inUse = inUse || addressMap_[adapter * kTargets + target] >= 0;
    }
    if (!inUse) {
        return false;
    }
    std::vector<std::string> names;
    if (calls_->ListDirectory(sysfsDevices_, names) < 0) {
        names.clear();
    }
    std::vector<std::pair<std::array<unsigned, 4>, std::string>> sysfs;
    for (const std::string& name : names) {
        std::array<unsigned, 4> hctl{};
        if (ParseDeviceName(name, hctl)) {
            sysfs.emplace_back(hctl, name);
        }
    }
    auto ownedByASlot = [&](const std::array<unsigned, 4>& hctl) {
        for (int slot = 0; slot < kDriveSlots; ++slot) {
            const SlotDevice& d = slotDevices_[slot];
            if (driveHandles_[slot] >= 0 && d.host >= 0 &&
                static_cast<unsigned>(d.host) == hctl[0] && d.channel == hctl[1] &&
                d.target == hctl[2] && d.lun == hctl[3]) {
                return true;
            }
        }
        return false;
    };

    // The drive at each pair of this adapter, in target order: its own unit
    // and the other units of its kernel target that have no node of their
    // own, in unit order, as a changer shows them.
    for (int target = 0; target < kTargets; ++target) {
        const int32_t slot = addressMap_[adapter * kTargets + target];
        if (slot < 0) {
            continue;
        }
        const SlotDevice& device = slotDevices_[slot];
        std::vector<InquiryEntry> units;
        bool ownShown = false;
        for (const auto& [hctl, name] : sysfs) {
            if (device.host < 0 || hctl[0] != static_cast<unsigned>(device.host) ||
                hctl[1] != device.channel || hctl[2] != device.target || hctl[3] > 0xFF) {
                continue;
            }
            const bool own = hctl[3] == device.lun;
            if (!own && ownedByASlot(hctl)) {
                continue;
            }
            InquiryEntry entry;
            entry.pathId = device.channel;
            entry.targetId = static_cast<uint8_t>(target);
            entry.lun = static_cast<uint8_t>(hctl[3]);
            if (!ReadSysfsInquiry(name, entry)) {
                continue;
            }
            ownShown = ownShown || own;
            units.push_back(entry);
        }
        if (!ownShown) {
            // A drive that sysfs does not show answers a real INQUIRY.
            InquiryEntry entry;
            entry.pathId = device.channel;
            entry.targetId = static_cast<uint8_t>(target);
            entry.lun = device.lun;
            const uint8_t cdb[6] = {0x12, 0, 0, 0, static_cast<uint8_t>(entry.inquiryData.size()),
                                    0};
            SenseResult sense;
            if (Execute(adapter, static_cast<uint8_t>(target), cdb, 6, false,
                        entry.inquiryData.data(), static_cast<uint32_t>(entry.inquiryData.size()),
                        sense) == kStatusOk) {
                units.push_back(entry);
            }
        }
        std::sort(units.begin(), units.end(),
                  [](const InquiryEntry& a, const InquiryEntry& b) { return a.lun < b.lun; });
        out.insert(out.end(), units.begin(), units.end());
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

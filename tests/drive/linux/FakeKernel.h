// A fake Linux kernel for the pass-through backend: SCSI CD-ROM devices
// behind device nodes, their sysfs entries, and a record of every system call.
#pragma once

#include <fcntl.h>
#include <scsi/scsi.h>
#include <scsi/sg.h>

#include <cerrno>
#include <cstring>
#include <functional>
#include <map>
#include <mutex>
#include <set>
#include <string>
#include <vector>

#include "drive/linux/LinuxSysCalls.h"

namespace vindral::linuxdrive::test {

struct FakeDevice {
    std::string node;
    unsigned host = 0;
    unsigned channel = 0;
    unsigned target = 0;
    unsigned lun = 0;
    bool writable = true;      // O_RDWR allowed
    bool readable = true;      // O_RDONLY allowed
    bool idLunFails = false;
    bool busNumberFails = false;
};

// One SG_IO request as the kernel saw it on entry.
struct SgIoCall {
    int fd = -1;
    std::string node;
    sg_io_hdr_t header{};
    std::vector<uint8_t> cdb;
    std::vector<uint8_t> dataOut;
    bool senseZeroedOnEntry = false;
};

class FakeKernel final : public LinuxSysCalls {
public:
    // Answers an SG_IO: may fill the data buffer, the sense buffer and the
    // status fields of the header; returns 0 or -errno for the ioctl.
    using SgIoAnswer = std::function<int(const SgIoCall&, sg_io_hdr_t&)>;

    std::vector<FakeDevice> devices;
    std::map<std::string, std::vector<uint8_t>> files; // sysfs, by full path
    std::map<std::string, std::string> groups;         // owning group, by device node
    SgIoAnswer answer;

    struct OpenCall {
        std::string path;
        int flags;
        int result;
    };
    std::vector<OpenCall> opens;
    std::vector<int> closes;
    std::vector<SgIoCall> sgIoCalls;
    int ioctlCount = 0;

    FakeDevice& AddDevice(const std::string& node, unsigned host, unsigned channel,
                          unsigned target, unsigned lun) {
        FakeDevice device;
        device.node = node;
        device.host = host;
        device.channel = channel;
        device.target = target;
        device.lun = lun;
        devices.push_back(device);
        return devices.back();
    }

    // The sysfs entry of one SCSI device: the binary `inquiry` attribute
    // (when withBinary) and the text attributes the kernel always offers.
    void AddSysfsDevice(const std::string& hctl, uint8_t type, const std::string& vendor,
                        const std::string& model, const std::string& rev,
                        bool withBinary = true) {
        const std::string folder = std::string("/sys/bus/scsi/devices/") + hctl + "/";
        std::vector<uint8_t> inquiry(36, ' ');
        inquiry[0] = type;
        inquiry[1] = 0x80;
        inquiry[2] = 0x05;
        inquiry[4] = 31;
        std::memcpy(inquiry.data() + 8, vendor.data(), std::min<std::size_t>(8, vendor.size()));
        std::memcpy(inquiry.data() + 16, model.data(), std::min<std::size_t>(16, model.size()));
        std::memcpy(inquiry.data() + 32, rev.data(), std::min<std::size_t>(4, rev.size()));
        inquiry.resize(96, 0); // the kernel keeps more than the standard 36
        if (withBinary) {
            files[folder + "inquiry"] = inquiry;
        }
        const std::string typeText = std::to_string(type & 0x1F) + "\n";
        files[folder + "type"] = {typeText.begin(), typeText.end()};
        auto text = [&](std::size_t offset, std::size_t width) {
            std::vector<uint8_t> value(inquiry.begin() + static_cast<long>(offset),
                                       inquiry.begin() + static_cast<long>(offset + width));
            value.push_back('\n');
            return value;
        };
        files[folder + "vendor"] = text(8, 8);
        files[folder + "model"] = text(16, 16);
        files[folder + "rev"] = text(32, 4);
    }

    bool IsOpen(int fd) const { return openFds_.count(fd) != 0; }

    int Open(const std::string& path, int flags) override {
        std::lock_guard<std::mutex> guard(lock_);
        int result = -ENOENT;
        for (std::size_t i = 0; i < devices.size(); ++i) {
            if (devices[i].node != path) {
                continue;
            }
            const int access = flags & O_ACCMODE;
            const bool allowed = access == O_RDONLY ? devices[i].readable : devices[i].writable;
            if (!allowed) {
                result = -EACCES;
            } else {
                result = nextFd_++;
                fdDevice_[result] = i;
                openFds_.insert(result);
            }
            break;
        }
        opens.push_back({path, flags, result});
        return result;
    }

    int Close(int fd) override {
        std::lock_guard<std::mutex> guard(lock_);
        closes.push_back(fd);
        return openFds_.erase(fd) != 0 ? 0 : -EBADF;
    }

    int Ioctl(int fd, unsigned long request, void* argument) override {
        std::unique_lock<std::mutex> guard(lock_);
        ++ioctlCount;
        if (openFds_.count(fd) == 0) {
            return -EBADF;
        }
        const FakeDevice& device = devices[fdDevice_[fd]];
        switch (request) {
        case SCSI_IOCTL_GET_IDLUN: {
            if (device.idLunFails) {
                return -EINVAL;
            }
            int32_t idLun[2] = {static_cast<int32_t>((device.target & 0xFF) |
                                                     ((device.lun & 0xFF) << 8) |
                                                     ((device.channel & 0xFF) << 16) |
                                                     ((device.host & 0xFF) << 24)),
                                static_cast<int32_t>(device.host)};
            std::memcpy(argument, idLun, sizeof idLun);
            return 0;
        }
        case SCSI_IOCTL_GET_BUS_NUMBER: {
            if (device.busNumberFails) {
                return -EINVAL;
            }
            const int host = static_cast<int>(device.host);
            std::memcpy(argument, &host, sizeof host);
            return 0;
        }
        case SG_IO: {
            auto* header = static_cast<sg_io_hdr_t*>(argument);
            SgIoCall call;
            call.fd = fd;
            call.node = device.node;
            call.header = *header;
            const auto* cdb = static_cast<const uint8_t*>(static_cast<void*>(header->cmdp));
            call.cdb.assign(cdb, cdb + header->cmd_len);
            if (header->dxfer_direction == SG_DXFER_TO_DEV && header->dxferp != nullptr) {
                const auto* data = static_cast<const uint8_t*>(header->dxferp);
                call.dataOut.assign(data, data + header->dxfer_len);
            }
            call.senseZeroedOnEntry = true;
            for (unsigned i = 0; i < header->mx_sb_len; ++i) {
                call.senseZeroedOnEntry = call.senseZeroedOnEntry && header->sbp[i] == 0;
            }
            sgIoCalls.push_back(call);
            header->status = 0;
            header->host_status = 0;
            header->driver_status = 0;
            header->sb_len_wr = 0;
            SgIoAnswer handler = answer;
            guard.unlock();
            return handler ? handler(call, *header) : 0;
        }
        default:
            return -ENOTTY;
        }
    }

    int ReadFile(const std::string& path, std::size_t maxBytes,
                 std::vector<uint8_t>& contents) override {
        std::lock_guard<std::mutex> guard(lock_);
        contents.clear();
        auto found = files.find(path);
        if (found == files.end()) {
            return -ENOENT;
        }
        contents.assign(found->second.begin(),
                        found->second.begin() +
                            static_cast<long>(std::min(maxBytes, found->second.size())));
        return 0;
    }

    int ListDirectory(const std::string& path, std::vector<std::string>& names) override {
        std::lock_guard<std::mutex> guard(lock_);
        names.clear();
        const std::string prefix = path + "/";
        std::set<std::string> unique;
        for (const auto& [file, contents] : files) {
            if (file.compare(0, prefix.size(), prefix) == 0) {
                const std::string rest = file.substr(prefix.size());
                unique.insert(rest.substr(0, rest.find('/')));
            }
        }
        if (unique.empty()) {
            return -ENOENT;
        }
        // The kernel lists in no particular order; so does the fake.
        names.assign(unique.rbegin(), unique.rend());
        return 0;
    }

    int FileGroup(const std::string& path, std::string& group) override {
        std::lock_guard<std::mutex> guard(lock_);
        auto found = groups.find(path);
        if (found == groups.end()) {
            group.clear();
            return -ENOENT;
        }
        group = found->second;
        return 0;
    }

private:
    std::mutex lock_;
    int nextFd_ = 3;
    std::map<int, std::size_t> fdDevice_;
    std::set<int> openFds_;
};

// Writes fixed-format sense data into the request's sense buffer.
inline void PutSense(sg_io_hdr_t& header, uint8_t key, uint8_t asc, uint8_t ascq) {
    uint8_t sense[18] = {0x70, 0, key, 0, 0, 0, 0, 10, 0, 0, 0, 0, asc, ascq};
    const std::size_t n = std::min<std::size_t>(sizeof sense, header.mx_sb_len);
    std::memcpy(header.sbp, sense, n);
    header.sb_len_wr = static_cast<unsigned char>(n);
    header.driver_status = 0x08; // DRIVER_SENSE
}

} // namespace vindral::linuxdrive::test

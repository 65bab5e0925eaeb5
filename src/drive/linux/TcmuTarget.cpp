#include "drive/linux/TcmuTarget.h"

#include <dirent.h>
#include <fcntl.h>
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <thread>

namespace vindral::linuxdrive {

namespace {

// WWNs are "naa." and 16 hex digits: these 8, the process id in 6, the
// drive index in 2.
constexpr const char* kTargetWwnPrefix = "naa.56494e44";
constexpr const char* kInitiatorWwnPrefix = "naa.56494e45";
constexpr const char* kBackstorePrefix = "vindral-";
constexpr const char* kLunLinkName = "vindral";

class PosixTargetFs final : public TargetFs {
public:
    int MakeDirectory(const std::string& path) override {
        return ::mkdir(path.c_str(), 0755) == 0 ? 0 : -errno;
    }
    int RemoveDirectory(const std::string& path) override {
        return ::rmdir(path.c_str()) == 0 ? 0 : -errno;
    }
    int WriteText(const std::string& path, const std::string& text) override {
        const int fd = ::open(path.c_str(), O_WRONLY | O_CLOEXEC);
        if (fd < 0) {
            return -errno;
        }
        // configfs takes an attribute in one write.
        const ssize_t n = ::write(fd, text.data(), text.size());
        const int error = n < 0 ? errno : 0;
        ::close(fd);
        if (n < 0) {
            return -error;
        }
        return static_cast<std::size_t>(n) == text.size() ? 0 : -EIO;
    }
    int ReadText(const std::string& path, std::string& text) override {
        const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
        if (fd < 0) {
            return -errno;
        }
        text.clear();
        char chunk[4096];
        ssize_t n = 0;
        while ((n = ::read(fd, chunk, sizeof chunk)) > 0 && text.size() < 65536) {
            text.append(chunk, static_cast<std::size_t>(n));
        }
        const int error = n < 0 ? errno : 0;
        ::close(fd);
        return n < 0 ? -error : 0;
    }
    int Symlink(const std::string& target, const std::string& link) override {
        return ::symlink(target.c_str(), link.c_str()) == 0 ? 0 : -errno;
    }
    int Unlink(const std::string& path) override {
        return ::unlink(path.c_str()) == 0 ? 0 : -errno;
    }
    int List(const std::string& path, std::vector<std::string>& names) override {
        names.clear();
        DIR* dir = ::opendir(path.c_str());
        if (dir == nullptr) {
            return -errno;
        }
        while (dirent* entry = ::readdir(dir)) {
            const std::string name = entry->d_name;
            if (name != "." && name != "..") {
                names.push_back(name);
            }
        }
        ::closedir(dir);
        return 0;
    }
    int ReadLink(const std::string& path, std::string& target) override {
        char buffer[4096];
        const ssize_t n = ::readlink(path.c_str(), buffer, sizeof buffer - 1);
        if (n < 0) {
            return -errno;
        }
        target.assign(buffer, static_cast<std::size_t>(n));
        return 0;
    }
    bool Exists(const std::string& path) override {
        struct stat info {};
        return ::stat(path.c_str(), &info) == 0;
    }
    bool ProcessAlive(int pid) override { return ::kill(pid, 0) == 0 || errno == EPERM; }
    void Pause(uint32_t ms) override {
        std::this_thread::sleep_for(std::chrono::milliseconds(ms));
    }
};

std::string Trimmed(std::string text) {
    while (!text.empty() && (text.back() == '\n' || text.back() == ' ')) {
        text.pop_back();
    }
    return text;
}

std::string Describe(int error) { return std::strerror(-error); }

std::string Hex(const char* prefix, int pid, int index) {
    char text[64];
    std::snprintf(text, sizeof text, "%s%06x%02x", prefix, static_cast<unsigned>(pid) & 0xFFFFFF,
                  static_cast<unsigned>(index) & 0xFF);
    return text;
}

// The process id in a name made by Hex() or BackstoreName(); -1 when the
// name is none of ours.
int PidOfWwn(const std::string& name) {
    const std::string prefix = kTargetWwnPrefix;
    if (name.size() != prefix.size() + 8 || name.compare(0, prefix.size(), prefix) != 0) {
        return -1;
    }
    const std::string digits = name.substr(prefix.size(), 6);
    char* end = nullptr;
    const long pid = std::strtol(digits.c_str(), &end, 16);
    return end != nullptr && *end == '\0' && pid > 0 ? static_cast<int>(pid) : -1;
}

int PidOfBackstore(const std::string& name) {
    const std::string prefix = kBackstorePrefix;
    if (name.compare(0, prefix.size(), prefix) != 0) {
        return -1;
    }
    const std::string rest = name.substr(prefix.size());
    const auto dash = rest.find('-');
    if (dash == std::string::npos || dash == 0) {
        return -1;
    }
    char* end = nullptr;
    const std::string digits = rest.substr(0, dash);
    const long pid = std::strtol(digits.c_str(), &end, 10);
    return end != nullptr && *end == '\0' && pid > 0 ? static_cast<int>(pid) : -1;
}

} // namespace

std::shared_ptr<TargetFs> RealTargetFs() { return std::make_shared<PosixTargetFs>(); }

TcmuTarget::TcmuTarget(std::shared_ptr<TargetFs> fs, int pid, TargetPaths paths)
    : fs_(std::move(fs)), pid_(pid), paths_(std::move(paths)) {}

std::string TcmuTarget::BackstoreName(int index) const {
    return kBackstorePrefix + std::to_string(pid_) + "-" + std::to_string(index);
}
std::string TcmuTarget::TargetWwn(int index) const { return Hex(kTargetWwnPrefix, pid_, index); }
std::string TcmuTarget::InitiatorWwn(int index) const {
    return Hex(kInitiatorWwnPrefix, pid_, index);
}

bool TcmuTarget::RemoveWwn(const std::string& wwnPath, std::vector<std::string>& problems) {
    std::vector<std::string> groups;
    fs_->List(wwnPath, groups);
    for (const std::string& group : groups) {
        if (group.rfind("tpgt_", 0) != 0) {
            continue;
        }
        const std::string tpg = wwnPath + "/" + group;
        std::vector<std::string> luns;
        fs_->List(tpg + "/lun", luns);
        for (const std::string& lun : luns) {
            const std::string lunPath = tpg + "/lun/" + lun;
            std::vector<std::string> entries;
            fs_->List(lunPath, entries);
            for (const std::string& entry : entries) {
                std::string target;
                if (fs_->ReadLink(lunPath + "/" + entry, target) == 0) {
                    if (int e = fs_->Unlink(lunPath + "/" + entry); e != 0) {
                        problems.push_back(lunPath + "/" + entry + ": " + Describe(e));
                    }
                }
            }
            if (int e = fs_->RemoveDirectory(lunPath); e != 0) {
                problems.push_back(lunPath + ": " + Describe(e));
            }
        }
        fs_->WriteText(tpg + "/nexus", "NULL"); // none there is no fault
        if (int e = fs_->RemoveDirectory(tpg); e != 0) {
            problems.push_back(tpg + ": " + Describe(e));
        }
    }
    if (int e = fs_->RemoveDirectory(wwnPath); e != 0) {
        problems.push_back(wwnPath + ": " + Describe(e));
        return false;
    }
    return true;
}

std::vector<std::string> TcmuTarget::RemoveStale(std::vector<std::string>& problems) {
    std::vector<std::string> removed;
    std::vector<std::string> names;
    if (fs_->List(Loopback(), names) == 0) {
        for (const std::string& name : names) {
            const int pid = PidOfWwn(name);
            if (pid <= 0 || pid == pid_ || fs_->ProcessAlive(pid)) {
                continue;
            }
            if (RemoveWwn(Loopback() + "/" + name, problems)) {
                removed.push_back(Loopback() + "/" + name);
            }
        }
    }
    std::vector<std::string> hbas;
    if (fs_->List(Core(), hbas) == 0) {
        for (const std::string& hba : hbas) {
            if (hba.rfind("user_", 0) != 0) {
                continue;
            }
            if (fs_->List(Core() + "/" + hba, names) != 0) {
                continue;
            }
            for (const std::string& name : names) {
                const int pid = PidOfBackstore(name);
                if (pid <= 0 || pid == pid_ || fs_->ProcessAlive(pid)) {
                    continue;
                }
                const std::string path = Core() + "/" + hba + "/" + name;
                if (int e = fs_->RemoveDirectory(path); e != 0) {
                    problems.push_back(path + ": " + Describe(e));
                } else {
                    removed.push_back(path);
                }
            }
        }
    }
    // A serve that has just ended may have left the kernel removing its uio
    // devices; a new one is set up only when that is done.
    WaitUntil([this] {
        return !UioDeviceOf([this](int pid) { return pid != pid_ && !fs_->ProcessAlive(pid); });
    });
    return removed;
}

bool TcmuTarget::UioDeviceOf(const std::function<bool(int pid)>& of) {
    const std::string uioClass = paths_.sysfs + "/class/uio";
    std::vector<std::string> devices;
    fs_->List(uioClass, devices);
    for (const std::string& device : devices) {
        // "tcm-user/<hba>/<backstore>/<config>"
        std::string name;
        if (fs_->ReadText(uioClass + "/" + device + "/name", name) != 0 ||
            name.rfind("tcm-user/", 0) != 0) {
            continue;
        }
        const auto first = name.find('/', 9);
        const auto second = first == std::string::npos ? first : name.find('/', first + 1);
        if (second == std::string::npos) {
            continue;
        }
        const int pid = PidOfBackstore(name.substr(first + 1, second - first - 1));
        if (pid > 0 && of(pid)) {
            return true;
        }
    }
    return false;
}

void TcmuTarget::WaitUntil(const std::function<bool()>& gone) {
    for (uint32_t waited = 0; !gone() && waited < kCleanUpWaitMs; waited += 100) {
        fs_->Pause(100);
    }
}

bool TcmuTarget::CreateBackstore(int index, uint64_t bytes, Backstore& out, std::string& error) {
    if (!fs_->Exists(Core())) {
        error = Core() + " does not exist (the modules target_core_mod, target_core_user and "
                         "tcm_loop must be loaded and configfs mounted)";
        return false;
    }
    if (!fs_->Exists(Hba())) {
        if (int e = fs_->MakeDirectory(Hba()); e != 0 && e != -EEXIST) {
            error = Hba() + ": " + Describe(e);
            return false;
        } else if (e == 0) {
            madeHba_ = true;
        }
    }
    out = Backstore{};
    out.name = BackstoreName(index);
    out.path = Hba() + "/" + out.name;
    if (int e = fs_->MakeDirectory(out.path); e != 0) {
        error = out.path + ": " + Describe(e);
        return false;
    }
    backstores_.push_back(out.path);
    auto fail = [&](const std::string& message) {
        error = message;
        fs_->RemoveDirectory(out.path);
        backstores_.pop_back();
        return false;
    };
    const std::string control = "dev_config=" + out.name + "/vindral,dev_size=" +
                                std::to_string(bytes) + ",hw_block_size=2048";
    if (int e = fs_->WriteText(out.path + "/control", control); e != 0) {
        return fail(out.path + "/control: " + Describe(e));
    }
    if (int e = fs_->WriteText(out.path + "/enable", "1"); e != 0) {
        return fail(out.path + "/enable: " + Describe(e));
    }
    // The uio device whose name names this backstore.
    const std::string wanted = "tcm-user/0/" + out.name + "/";
    const std::string uioClass = paths_.sysfs + "/class/uio";
    for (int attempt = 0; attempt < 50 && out.uioNode.empty(); ++attempt) {
        std::vector<std::string> devices;
        fs_->List(uioClass, devices);
        for (const std::string& device : devices) {
            std::string name;
            if (fs_->ReadText(uioClass + "/" + device + "/name", name) != 0 ||
                name.rfind(wanted, 0) != 0) {
                continue;
            }
            std::string size;
            if (fs_->ReadText(uioClass + "/" + device + "/maps/map0/size", size) != 0) {
                continue;
            }
            out.mapSize = static_cast<std::size_t>(std::strtoull(Trimmed(size).c_str(), nullptr, 0));
            const std::string node = paths_.dev + "/" + device;
            if (fs_->Exists(node)) {
                out.uioNode = node;
            }
        }
        if (out.uioNode.empty()) {
            fs_->Pause(100);
        }
    }
    if (out.uioNode.empty() || out.mapSize == 0) {
        return fail("no uio device appeared for " + out.path);
    }
    return true;
}

bool TcmuTarget::CreateLoopback(int index, const Backstore& backstore, int& host,
                                std::string& error) {
    if (!fs_->Exists(Loopback())) {
        if (int e = fs_->MakeDirectory(Loopback()); e != 0 && e != -EEXIST) {
            error = Loopback() + ": " + Describe(e) + " (is the module tcm_loop loaded?)";
            return false;
        }
    }
    const std::string wwn = Loopback() + "/" + TargetWwn(index);
    if (int e = fs_->MakeDirectory(wwn); e != 0) {
        error = wwn + ": " + Describe(e);
        return false;
    }
    wwns_.push_back(wwn);
    const std::string tpg = wwn + "/tpgt_1";
    const std::string lun = tpg + "/lun/lun_0";
    std::vector<std::string> ignored;
    auto fail = [&](const std::string& message) {
        error = message;
        RemoveWwn(wwn, ignored);
        wwns_.pop_back();
        return false;
    };
    if (int e = fs_->MakeDirectory(tpg); e != 0) {
        return fail(tpg + ": " + Describe(e));
    }
    if (int e = fs_->MakeDirectory(lun); e != 0) {
        return fail(lun + ": " + Describe(e));
    }
    if (int e = fs_->WriteText(tpg + "/nexus", InitiatorWwn(index)); e != 0) {
        return fail(tpg + "/nexus: " + Describe(e));
    }
    if (int e = fs_->Symlink(backstore.path, lun + "/" + kLunLinkName); e != 0) {
        return fail(lun + "/" + kLunLinkName + ": " + Describe(e));
    }
    std::string address;
    if (int e = fs_->ReadText(tpg + "/address", address); e != 0) {
        return fail(tpg + "/address: " + Describe(e));
    }
    char* end = nullptr;
    const long number = std::strtol(address.c_str(), &end, 10);
    if (end == address.c_str() || *end != ':' || number < 0) {
        return fail(tpg + "/address: unexpected '" + Trimmed(address) + "'");
    }
    host = static_cast<int>(number);
    hosts_.push_back(host);
    return true;
}

std::string TcmuTarget::NodeAt(const std::string& hctl) {
    std::vector<std::string> blocks;
    fs_->List(paths_.sysfs + "/block", blocks);
    for (const std::string& block : blocks) {
        if (block.rfind("sr", 0) != 0) {
            continue;
        }
        std::string device;
        if (fs_->ReadLink(paths_.sysfs + "/block/" + block + "/device", device) != 0) {
            continue;
        }
        const std::string node = paths_.dev + "/" + block;
        if (device.substr(device.find_last_of('/') + 1) == hctl && fs_->Exists(node)) {
            return node;
        }
    }
    return {};
}

std::string TcmuTarget::FindDeviceNode(int host, uint32_t waitMs, std::string& error,
                                       const std::function<bool()>& stop) {
    // The loopback target puts its LUN 0 at channel 0 and target 1 (the port
    // group's number) of its host.
    const std::string hctl = std::to_string(host) + ":0:1:0";
    const std::string device = paths_.sysfs + "/bus/scsi/devices/" + hctl;
    const std::string scan = paths_.sysfs + "/class/scsi_host/host" + std::to_string(host) + "/scan";
    int rescans = 0;
    for (uint32_t waited = 0, sinceScan = 0;; waited += 100, sinceScan += 100) {
        if (std::string node = NodeAt(hctl); !node.empty()) {
            return node;
        }
        bool present = fs_->Exists(device);
        if (!present && sinceScan >= kRescanMs && waited < waitMs) {
            // Channel 0, target 1, LUN 0; the write returns when the scan is done.
            fs_->WriteText(scan, "0 1 0");
            ++rescans;
            sinceScan = 0;
            if (std::string node = NodeAt(hctl); !node.empty()) {
                return node;
            }
            present = fs_->Exists(device);
        }
        if (waited >= waitMs || (stop && stop())) {
            if (present) {
                error = "no CD-ROM device node appeared for SCSI device " + hctl +
                        " (is the module sr_mod loaded?)";
            } else {
                error = "the kernel found no SCSI device at " + hctl + " (the LUN was scanned " +
                        std::to_string(rescans + 1) + (rescans == 0 ? " time)" : " times)");
            }
            return {};
        }
        fs_->Pause(100);
    }
}

void TcmuTarget::RemoveLoopbacks() {
    std::vector<std::string> problems;
    for (auto it = wwns_.rbegin(); it != wwns_.rend(); ++it) {
        RemoveWwn(*it, problems);
    }
    wwns_.clear();
    WaitUntil([this] {
        return std::none_of(hosts_.begin(), hosts_.end(), [this](int host) {
            return !NodeAt(std::to_string(host) + ":0:1:0").empty();
        });
    });
    hosts_.clear();
}

void TcmuTarget::RemoveBackstores() {
    for (auto it = backstores_.rbegin(); it != backstores_.rend(); ++it) {
        fs_->RemoveDirectory(*it);
    }
    backstores_.clear();
    if (madeHba_) {
        // Refused while another program's backstore is in it.
        fs_->RemoveDirectory(Hba());
        madeHba_ = false;
    }
    WaitUntil([this] { return !UioDeviceOf([this](int pid) { return pid == pid_; }); });
}

} // namespace vindral::linuxdrive

// A fake configfs, sysfs and /dev for the SCSI target's configfs sequence,
// behaving as the kernel's do where it matters: attribute files come
// with their directories and do not keep them from being removed, a
// directory with sub-directories or links cannot be removed, a backstore
// that a LUN links to is busy, enabling a backstore makes a uio device and
// linking a LUN has its host scan it, which makes a SCSI device and its
// CD-ROM appear (as does writing the host's scan attribute); removing them
// takes the uio device and the CD-ROM away, after `lingerPauses` pauses (the
// kernel finishing a removal after the call returned).
#pragma once

#include <algorithm>
#include <cerrno>
#include <functional>
#include <map>
#include <set>
#include <string>
#include <vector>

#include "drive/linux/TcmuTarget.h"

namespace vindral::linuxdrive::test {

inline const std::string kCore = "/cfg/target/core";
inline const std::string kLoop = "/cfg/target/loopback";

inline bool Under(const std::string& path, const std::string& dir) {
    return path.size() > dir.size() && path.compare(0, dir.size(), dir) == 0 &&
           path[dir.size()] == '/';
}
inline std::string Parent(const std::string& path) { return path.substr(0, path.find_last_of('/')); }
inline std::string Base(const std::string& path) { return path.substr(path.find_last_of('/') + 1); }

class FakeTargetFs final : public TargetFs {
public:
    std::set<std::string> dirs;
    std::map<std::string, std::string> files;
    std::map<std::string, std::string> links;
    std::set<int> alive;
    bool makeUio = true;    // enabling a backstore makes a uio device
    bool failNexus = false; // writing a nexus fails
    int nextUio = 0;
    int nextHost = 3;
    int nextSr = 0;
    int emptyScans = 0;   // how many scans of a LUN find nothing
    bool cdromNode = true; // a SCSI device found gets its /dev/srN
    std::vector<std::string> scans; // "HOST CHANNEL TARGET LUN" of each scan
    int pauses = 0;
    int lingerPauses = 0;
    // What goes when its count of pauses has passed: sysfs and /dev entries.
    std::map<std::string, int> going;
    // Called when a LUN is linked, before its CD-ROM appears (the kernel
    // sends INQUIRY then).
    std::function<void(const std::string& link)> onLink;

    FakeTargetFs() {
        for (const char* dir : {"/cfg", "/cfg/target", "/cfg/target/core", "/sys", "/sys/class",
                                "/sys/class/uio", "/sys/block", "/sys/bus", "/sys/bus/scsi",
                                "/sys/bus/scsi/devices", "/sys/class/scsi_host", "/dev"}) {
            dirs.insert(dir);
        }
    }

    int MakeDirectory(const std::string& path) override {
        if (dirs.count(path) || files.count(path) || links.count(path)) {
            return -EEXIST;
        }
        if (!dirs.count(Parent(path))) {
            return -ENOENT;
        }
        dirs.insert(path);
        // The attributes configfs gives each kind of directory.
        if (Parent(Parent(path)) == kCore && Base(Parent(path)).rfind("user_", 0) == 0) {
            files[path + "/control"] = "";
            files[path + "/enable"] = "0";
        } else if (Base(path).rfind("user_", 0) == 0 && Parent(path) == kCore) {
            files[path + "/hba_info"] = "HBA Index: 1";
        } else if (Base(path).rfind("tpgt_", 0) == 0) {
            files[path + "/nexus"] = "";
            files[path + "/address"] = "";
            dirs.insert(path + "/lun");
        }
        return 0;
    }

    int RemoveDirectory(const std::string& path) override {
        if (!dirs.count(path)) {
            return -ENOENT;
        }
        for (const std::string& dir : dirs) {
            if (Under(dir, path) && !(Base(path).rfind("tpgt_", 0) == 0 && dir == path + "/lun")) {
                return -ENOTEMPTY;
            }
        }
        for (const auto& [link, target] : links) {
            if (Under(link, path)) {
                return -ENOTEMPTY;
            }
            if (target == path) {
                return -EBUSY; // a LUN still uses this backstore
            }
        }
        for (auto it = files.begin(); it != files.end();) {
            it = Under(it->first, path) ? files.erase(it) : std::next(it);
        }
        dirs.erase(path + "/lun");
        dirs.erase(path);
        // A backstore's uio device goes with it.
        for (const auto& [file, text] : files) {
            if (Under(file, "/sys/class/uio") && Base(file) == "name" &&
                text.find("/" + Base(path) + "/") != std::string::npos) {
                Remove("/dev/" + Base(Parent(file)));
                Remove(Parent(file));
            }
        }
        Settle();
        return 0;
    }

    // Schedules a sysfs directory or a /dev node to go.
    void Remove(const std::string& path) { going.emplace(path, lingerPauses); }
    // Takes away what is due.
    void Settle() {
        for (auto it = going.begin(); it != going.end();) {
            if (it->second > 0) {
                ++it;
                continue;
            }
            const std::string gone = it->first;
            for (auto d = dirs.begin(); d != dirs.end();) {
                d = (*d == gone || Under(*d, gone)) ? dirs.erase(d) : std::next(d);
            }
            for (auto f = files.begin(); f != files.end();) {
                f = (f->first == gone || Under(f->first, gone)) ? files.erase(f) : std::next(f);
            }
            for (auto l = links.begin(); l != links.end();) {
                l = Under(l->first, gone) ? links.erase(l) : std::next(l);
            }
            it = going.erase(it);
        }
    }

    int WriteText(const std::string& path, const std::string& text) override {
        auto file = files.find(path);
        if (file == files.end()) {
            return -ENOENT;
        }
        if (Base(path) == "nexus") {
            if (failNexus) {
                return -EINVAL;
            }
            file->second = text == "NULL" ? "" : text;
            return 0;
        }
        file->second = text;
        if (Base(path) == "scan" && Under(path, "/sys/class/scsi_host")) {
            Scan(std::stoi(Base(Parent(path)).substr(4)), text);
            return 0;
        }
        if (Base(path) == "enable" && text == "1" && makeUio) {
            const std::string backstore = Parent(path);
            const std::string config = files[backstore + "/control"];
            const std::string uio = "uio" + std::to_string(nextUio++);
            const std::string dir = "/sys/class/uio/" + uio;
            dirs.insert(dir);
            dirs.insert(dir + "/maps");
            dirs.insert(dir + "/maps/map0");
            const std::string devConfig = config.substr(11, config.find(',') - 11);
            files[dir + "/name"] = "tcm-user/0/" + Base(backstore) + "/" +
                                   devConfig.substr(devConfig.find('/') + 1) + "\n";
            files[dir + "/maps/map0/size"] = "0x40800000\n";
            files["/dev/" + uio] = "";
        }
        return 0;
    }

    int ReadText(const std::string& path, std::string& text) override {
        auto file = files.find(path);
        if (file == files.end()) {
            return -ENOENT;
        }
        text = file->second;
        return 0;
    }

    int Symlink(const std::string& target, const std::string& link) override {
        if (!dirs.count(Parent(link)) || !dirs.count(target)) {
            return -ENOENT;
        }
        const std::string tpg = Parent(Parent(Parent(link)));
        if (files[tpg + "/nexus"].empty()) {
            return -ENODEV; // the LUN's INQUIRY needs the nexus
        }
        links[link] = target;
        if (onLink) {
            onLink(link);
        }
        // The loopback host scans the new LUN.
        const int host = nextHost++;
        files[tpg + "/address"] = std::to_string(host) + ":0:1\n";
        dirs.insert("/sys/class/scsi_host/host" + std::to_string(host));
        files["/sys/class/scsi_host/host" + std::to_string(host) + "/scan"] = "";
        Scan(host, "0 1 0");
        return 0;
    }

    // A scan of `host`: the SCSI device at channel 0, target 1, LUN 0 and its
    // CD-ROM appear unless this scan is one of the `emptyScans`.
    void Scan(int host, const std::string& what) {
        scans.push_back(std::to_string(host) + " " + what);
        const std::string hctl = std::to_string(host) + ":0:1:0";
        if (what != "0 1 0" || dirs.count("/sys/bus/scsi/devices/" + hctl)) {
            return;
        }
        if (emptyScans > 0) {
            --emptyScans;
            return;
        }
        dirs.insert("/sys/bus/scsi/devices/" + hctl);
        if (!cdromNode) {
            return;
        }
        const std::string sr = "sr" + std::to_string(nextSr++);
        dirs.insert("/sys/block/" + sr);
        links["/sys/block/" + sr + "/device"] =
            "../../devices/tcm_loop_0/host" + std::to_string(host) + "/" + hctl;
        files["/dev/" + sr] = "";
    }

    int Unlink(const std::string& path) override {
        if (!links.erase(path)) {
            return -ENOENT;
        }
        // A LUN's CD-ROM goes with its link.
        if (Under(path, kLoop)) {
            const std::string tpg = Parent(Parent(Parent(path)));
            const std::string address = files[tpg + "/address"];
            const std::string hctl = address.substr(0, address.find('\n')) + ":0";
            Remove("/sys/bus/scsi/devices/" + hctl);
            for (const auto& [link, target] : links) {
                if (Under(link, "/sys/block") && Base(target) == hctl) {
                    Remove("/dev/" + Base(Parent(link)));
                    Remove(Parent(link));
                }
            }
            Settle();
        }
        return 0;
    }

    int List(const std::string& path, std::vector<std::string>& names) override {
        names.clear();
        if (!dirs.count(path)) {
            return -ENOENT;
        }
        auto add = [&](const std::string& p) {
            if (Parent(p) == path) {
                names.push_back(Base(p));
            }
        };
        for (const std::string& dir : dirs) {
            add(dir);
        }
        for (const auto& entry : files) {
            add(entry.first);
        }
        for (const auto& entry : links) {
            add(entry.first);
        }
        return 0;
    }

    int ReadLink(const std::string& path, std::string& target) override {
        auto link = links.find(path);
        if (link == links.end()) {
            return -EINVAL;
        }
        target = link->second;
        return 0;
    }

    bool Exists(const std::string& path) override {
        return dirs.count(path) || files.count(path) || links.count(path);
    }
    bool ProcessAlive(int pid) override { return alive.count(pid) != 0; }
    void Pause(uint32_t) override {
        ++pauses;
        for (auto& entry : going) {
            entry.second = std::max(0, entry.second - 1);
        }
        Settle();
    }

    // The configfs part of the tree, for comparing before and after.
    std::set<std::string> ConfigTree() const {
        std::set<std::string> tree;
        for (const std::string& dir : dirs) {
            if (Under(dir, "/cfg")) {
                tree.insert(dir + "/");
            }
        }
        for (const auto& [link, target] : links) {
            if (Under(link, "/cfg")) {
                tree.insert(link + " -> " + target);
            }
        }
        return tree;
    }
};

inline TargetPaths FakePaths() { return TargetPaths{"/cfg", "/sys", "/dev"}; }

} // namespace vindral::linuxdrive::test

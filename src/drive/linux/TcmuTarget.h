// The kernel's SCSI target subsystem, configured through configfs, that puts
// a TCMU device behind the loopback fabric (tcm_loop) so that it appears as a
// local SCSI device (/dev/srN for a CD-ROM):
//
//   target/core/user_0/vindral-PID-I         the backstore (control, enable);
//                                            enabling it makes a /dev/uioN
//                                            whose sysfs name is
//                                            tcm-user/0/vindral-PID-I/...
//   target/loopback/naa.WWN/tpgt_1/          the loopback target port group
//       nexus                                the initiator's WWN
//       lun/lun_0/vindral -> backstore       the logical unit
//       address                              "HOST:0:TPGT" of the SCSI host
//
// and, in sysfs, the SCSI device HOST:0:1:0 (bus/scsi/devices), its CD-ROM
// (block/srN) and the host's scan attribute (class/scsi_host/hostHOST/scan).
//
// Every name carries the serving process's id, so that a later start can
// remove what a process that died left behind without touching the entries of
// a running one. The kernel finishes some of a removal after the configfs
// call returns (the uio device of a backstore, the CD-ROM of a LUN): a serve
// that ends waits for that, and a start waits for what an ended serve left
// on its way out, so that a start right after an end finds the kernel done. The file-system calls go through TargetFs so that the unit
// tests run the sequence against a fake configfs and sysfs.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

namespace vindral::linuxdrive {

class TargetFs {
public:
    virtual ~TargetFs() = default;
    // Each returns 0 or the negated errno.
    virtual int MakeDirectory(const std::string& path) = 0;
    virtual int RemoveDirectory(const std::string& path) = 0;
    virtual int WriteText(const std::string& path, const std::string& text) = 0;
    virtual int ReadText(const std::string& path, std::string& text) = 0;
    virtual int Symlink(const std::string& target, const std::string& link) = 0;
    virtual int Unlink(const std::string& path) = 0;
    // Entry names without "." and "..".
    virtual int List(const std::string& path, std::vector<std::string>& names) = 0;
    virtual int ReadLink(const std::string& path, std::string& target) = 0;
    virtual bool Exists(const std::string& path) = 0;
    // Whether a process of that id still runs.
    virtual bool ProcessAlive(int pid) = 0;
    // Waits a little before looking again (tests make it free).
    virtual void Pause(uint32_t ms) = 0;
};

std::shared_ptr<TargetFs> RealTargetFs();

struct TargetPaths {
    std::string configfs = "/sys/kernel/config";
    std::string sysfs = "/sys";
    std::string dev = "/dev";
};

class TcmuTarget {
public:
    TcmuTarget(std::shared_ptr<TargetFs> fs, int pid, TargetPaths paths = {});

    // Removes the entries that processes no longer running left behind
    // (their LUN links, LUNs, nexus, port groups, WWNs and backstores).
    // Returns the paths removed; `problems` gets a line for each that could not be.
    // Then waits (up to kCleanUpWaitMs) until the kernel has let go of the uio
    // devices of backstores whose process is gone.
    std::vector<std::string> RemoveStale(std::vector<std::string>& problems);

    struct Backstore {
        std::string name;    // vindral-PID-I
        std::string path;    // in configfs
        std::string uioNode; // /dev/uioN
        std::size_t mapSize = 0;
    };
    // Creates and enables the backstore of drive `index` (`bytes`: the size
    // the target subsystem reports, at 2048 bytes a block) and finds its uio
    // node. False with `error` set; whatever was made is then removed again.
    bool CreateBackstore(int index, uint64_t bytes, Backstore& out, std::string& error);

    // The loopback target, its nexus and the LUN linked to the backstore.
    // Linking makes the kernel send INQUIRY at once: the backstore's ring must
    // already be served. `host` receives the SCSI host number.
    bool CreateLoopback(int index, const Backstore& backstore, int& host, std::string& error);

    // The block device node of the LUN that CreateLoopback made on `host`
    // (/dev/srN at host:0:1:0), waiting up to `waitMs` for it to appear, or
    // until `stop` (when given) returns true. The kernel scans the LUN as it
    // is linked; while no SCSI device shows at that address, the host is
    // asked to scan the LUN again every kRescanMs (a scan whose INQUIRY went
    // unanswered finds nothing, and the kernel does not try again by itself).
    // Empty when no node appeared, with `error` saying what was missing.
    std::string FindDeviceNode(int host, uint32_t waitMs, std::string& error,
                               const std::function<bool()>& stop = {});

    // Removes the loopback targets (LUN links first), while the backstores
    // are still served: the kernel may still talk to the drive as it goes.
    // Then waits (up to kCleanUpWaitMs) until their CD-ROMs are gone.
    void RemoveLoopbacks();
    // Removes the backstores (after their rings are no longer served) and
    // the user_0 directory when this object made it and nothing else is in it,
    // then waits (up to kCleanUpWaitMs) until their uio devices are gone.
    void RemoveBackstores();

    static constexpr uint32_t kCleanUpWaitMs = 5000;
    static constexpr uint32_t kRescanMs = 1000;

    // The names used for drive `index`.
    std::string BackstoreName(int index) const;
    std::string TargetWwn(int index) const;
    std::string InitiatorWwn(int index) const;

private:
    std::string Core() const { return paths_.configfs + "/target/core"; }
    std::string Hba() const { return Core() + "/user_0"; }
    std::string Loopback() const { return paths_.configfs + "/target/loopback"; }
    // Tears down one loopback WWN directory; false when something stayed.
    bool RemoveWwn(const std::string& wwnPath, std::vector<std::string>& problems);
    // The /dev/srN of the CD-ROM at SCSI address `hctl`; empty when there is none.
    std::string NodeAt(const std::string& hctl);
    // Whether a uio device of a backstore of ours is there whose process id
    // `of` picks.
    bool UioDeviceOf(const std::function<bool(int pid)>& of);
    // Pauses until `gone` holds, at most kCleanUpWaitMs.
    void WaitUntil(const std::function<bool()>& gone);

    std::shared_ptr<TargetFs> fs_;
    int pid_;
    TargetPaths paths_;
    bool madeHba_ = false;
    std::vector<std::string> backstores_; // paths, in creation order
    std::vector<std::string> wwns_;       // loopback WWN paths
    std::vector<int> hosts_;              // their SCSI hosts
};

} // namespace vindral::linuxdrive

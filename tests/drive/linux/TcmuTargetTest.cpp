// The configfs sequence of the SCSI target against a fake configfs, sysfs and
// /dev that behave as the kernel's do where it matters: attribute files come
// with their directories and do not keep them from being removed, a
// directory with sub-directories or links cannot be removed, a backstore
// that a LUN links to is busy, enabling a backstore makes a uio device and
// linking a LUN makes a SCSI host's CD-ROM appear.
#include <gtest/gtest.h>

#include <cerrno>
#include <map>
#include <set>
#include <string>
#include <vector>

#include "drive/linux/TcmuTarget.h"

namespace vindral::linuxdrive {
namespace {

const std::string kCore = "/cfg/target/core";
const std::string kLoop = "/cfg/target/loopback";

bool Under(const std::string& path, const std::string& dir) {
    return path.size() > dir.size() && path.compare(0, dir.size(), dir) == 0 &&
           path[dir.size()] == '/';
}
std::string Parent(const std::string& path) { return path.substr(0, path.find_last_of('/')); }
std::string Base(const std::string& path) { return path.substr(path.find_last_of('/') + 1); }

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
    int pauses = 0;

    FakeTargetFs() {
        for (const char* dir : {"/cfg", "/cfg/target", "/cfg/target/core", "/sys", "/sys/class",
                                "/sys/class/uio", "/sys/block", "/dev"}) {
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
        return 0;
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
        // The loopback host scans the new LUN: a CD-ROM appears.
        const int host = nextHost++;
        files[tpg + "/address"] = std::to_string(host) + ":0:1\n";
        const std::string sr = "sr" + std::to_string(nextSr++);
        dirs.insert("/sys/block/" + sr);
        links["/sys/block/" + sr + "/device"] =
            "../../devices/tcm_loop_0/host" + std::to_string(host) + "/" + std::to_string(host) +
            ":0:1:0";
        files["/dev/" + sr] = "";
        return 0;
    }

    int Unlink(const std::string& path) override {
        if (!links.erase(path)) {
            return -ENOENT;
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
    void Pause(uint32_t) override { ++pauses; }

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

TargetPaths FakePaths() { return TargetPaths{"/cfg", "/sys", "/dev"}; }

TEST(TcmuTarget, NamesCarryTheProcessAndTheDrive) {
    TcmuTarget target(std::make_shared<FakeTargetFs>(), 0x1234, FakePaths());
    EXPECT_EQ(target.BackstoreName(2), "vindral-4660-2");
    EXPECT_EQ(target.TargetWwn(3), "naa.56494e4400123403");
    EXPECT_EQ(target.InitiatorWwn(3), "naa.56494e4500123403");
}

TEST(TcmuTarget, SetsUpADriveAndLeavesNothingBehind) {
    auto fs = std::make_shared<FakeTargetFs>();
    const std::set<std::string> before = fs->ConfigTree();
    TcmuTarget target(fs, 777, FakePaths());

    TcmuTarget::Backstore backstore;
    std::string error;
    ASSERT_TRUE(target.CreateBackstore(0, 2048 * 1000, backstore, error)) << error;
    EXPECT_EQ(backstore.path, kCore + "/user_0/vindral-777-0");
    EXPECT_EQ(fs->files[backstore.path + "/control"],
              "dev_config=vindral-777-0/vindral,dev_size=2048000,hw_block_size=2048");
    EXPECT_EQ(fs->files[backstore.path + "/enable"], "1");
    EXPECT_EQ(backstore.uioNode, "/dev/uio0");
    EXPECT_EQ(backstore.mapSize, std::size_t{0x40800000});

    // A second drive gets its own backstore and uio device.
    TcmuTarget::Backstore second;
    ASSERT_TRUE(target.CreateBackstore(1, 2048 * 10, second, error)) << error;
    EXPECT_EQ(second.uioNode, "/dev/uio1");

    int host = -1;
    ASSERT_TRUE(target.CreateLoopback(0, backstore, host, error)) << error;
    EXPECT_EQ(host, 3);
    const std::string tpg = kLoop + "/naa.56494e4400030900/tpgt_1";
    EXPECT_EQ(fs->files[tpg + "/nexus"], "naa.56494e4500030900");
    EXPECT_EQ(fs->links[tpg + "/lun/lun_0/vindral"], backstore.path);
    int secondHost = -1;
    ASSERT_TRUE(target.CreateLoopback(1, second, secondHost, error)) << error;
    EXPECT_EQ(secondHost, 4);

    EXPECT_EQ(target.FindDeviceNode(secondHost, 1000), "/dev/sr1");
    EXPECT_EQ(target.FindDeviceNode(host, 1000), "/dev/sr0");
    EXPECT_EQ(target.FindDeviceNode(9, 300), "");
    EXPECT_GE(fs->pauses, 3); // it waited for host 9's drive before giving up

    target.RemoveLoopbacks();
    EXPECT_FALSE(fs->Exists(kLoop + "/naa.56494e4400030900"));
    EXPECT_TRUE(fs->Exists(backstore.path)); // still served until the ring stops
    target.RemoveBackstores();
    std::set<std::string> after = fs->ConfigTree();
    after.erase(kLoop + "/"); // the fabric's own directory stays, as the kernel keeps it
    EXPECT_EQ(after, before);
}

TEST(TcmuTarget, RemovesWhatDeadProcessesLeftAndNothingElse) {
    auto fs = std::make_shared<FakeTargetFs>();
    fs->alive = {1000};
    // Two earlier runs: process 4242 died, process 1000 still serves.
    for (int pid : {4242, 1000}) {
        TcmuTarget earlier(fs, pid, FakePaths());
        TcmuTarget::Backstore backstore;
        int host = 0;
        std::string error;
        ASSERT_TRUE(earlier.CreateBackstore(0, 2048, backstore, error)) << error;
        ASSERT_TRUE(earlier.CreateLoopback(0, backstore, host, error)) << error;
    }
    // Another program's entries.
    fs->MakeDirectory(kLoop + "/naa.6001405abcdef012");
    fs->MakeDirectory(kCore + "/user_0/disk1");

    TcmuTarget target(fs, 5000, FakePaths());
    std::vector<std::string> problems;
    const std::vector<std::string> removed = target.RemoveStale(problems);
    EXPECT_TRUE(problems.empty()) << problems.front();
    EXPECT_EQ(removed, (std::vector<std::string>{kLoop + "/naa.56494e4400109200",
                                                 kCore + "/user_0/vindral-4242-0"}));
    EXPECT_FALSE(fs->Exists(kLoop + "/naa.56494e4400109200"));
    EXPECT_FALSE(fs->Exists(kCore + "/user_0/vindral-4242-0"));
    EXPECT_TRUE(fs->Exists(kLoop + "/naa.56494e440003e800/tpgt_1/lun/lun_0/vindral"));
    EXPECT_TRUE(fs->Exists(kCore + "/user_0/vindral-1000-0"));
    EXPECT_TRUE(fs->Exists(kLoop + "/naa.6001405abcdef012"));
    EXPECT_TRUE(fs->Exists(kCore + "/user_0/disk1"));
}

TEST(TcmuTarget, FailuresUndoWhatWasMade) {
    std::string error;
    TcmuTarget::Backstore backstore;
    {
        // No target subsystem: the message says what to load.
        auto fs = std::make_shared<FakeTargetFs>();
        fs->dirs.erase(kCore);
        TcmuTarget target(fs, 1, FakePaths());
        EXPECT_FALSE(target.CreateBackstore(0, 2048, backstore, error));
        EXPECT_NE(error.find("target_core_user"), std::string::npos) << error;
    }
    {
        // No uio device appears: the backstore goes again.
        auto fs = std::make_shared<FakeTargetFs>();
        fs->makeUio = false;
        TcmuTarget target(fs, 1, FakePaths());
        EXPECT_FALSE(target.CreateBackstore(0, 2048, backstore, error));
        EXPECT_NE(error.find("no uio device"), std::string::npos) << error;
        EXPECT_FALSE(fs->Exists(kCore + "/user_0/vindral-1-0"));
        target.RemoveBackstores();
        EXPECT_FALSE(fs->Exists(kCore + "/user_0"));
    }
    {
        // The nexus is refused: the loopback target goes again.
        auto fs = std::make_shared<FakeTargetFs>();
        TcmuTarget target(fs, 1, FakePaths());
        ASSERT_TRUE(target.CreateBackstore(0, 2048, backstore, error)) << error;
        fs->failNexus = true;
        int host = -1;
        EXPECT_FALSE(target.CreateLoopback(0, backstore, host, error));
        EXPECT_NE(error.find("nexus"), std::string::npos) << error;
        EXPECT_FALSE(fs->Exists(kLoop + "/naa.56494e4400000100"));
    }
}

} // namespace
} // namespace vindral::linuxdrive

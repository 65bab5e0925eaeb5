// The configfs sequence of the SCSI target against a fake configfs, sysfs and
// /dev (FakeTargetFs.h).
#include <gtest/gtest.h>

#include <cerrno>
#include <functional>
#include <map>
#include <set>
#include <string>
#include <vector>

#include "drive/linux/FakeTargetFs.h"
#include "drive/linux/TcmuTarget.h"

namespace vindral::linuxdrive {
namespace {

using test::FakeTargetFs;
using test::kCore;
using test::kLoop;

using test::FakePaths;

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

    EXPECT_EQ(target.FindDeviceNode(secondHost, 1000, error), "/dev/sr1");
    EXPECT_EQ(target.FindDeviceNode(host, 1000, error), "/dev/sr0");
    // Another LUN of host 9 is no drive of ours.
    fs->dirs.insert("/sys/block/sr7");
    fs->links["/sys/block/sr7/device"] = "../../devices/host9/9:0:2:0";
    fs->files["/dev/sr7"] = "";
    EXPECT_EQ(target.FindDeviceNode(9, 300, error), "");
    EXPECT_GE(fs->pauses, 3); // it waited for host 9's drive before giving up

    // The kernel takes the CD-ROMs and uio devices away a little after the
    // calls return: the teardown waits for that.
    fs->lingerPauses = 4;
    int pauses = fs->pauses;
    target.RemoveLoopbacks();
    EXPECT_FALSE(fs->Exists(kLoop + "/naa.56494e4400030900"));
    EXPECT_FALSE(fs->Exists("/sys/block/sr0"));
    EXPECT_FALSE(fs->Exists("/dev/sr1"));
    EXPECT_TRUE(fs->Exists("/dev/sr7"));
    EXPECT_EQ(fs->pauses - pauses, 4);
    EXPECT_TRUE(fs->Exists(backstore.path)); // still served until the ring stops
    pauses = fs->pauses;
    target.RemoveBackstores();
    EXPECT_FALSE(fs->Exists("/sys/class/uio/uio0"));
    EXPECT_FALSE(fs->Exists("/dev/uio1"));
    EXPECT_EQ(fs->pauses - pauses, 4);
    std::set<std::string> after = fs->ConfigTree();
    after.erase(kLoop + "/"); // the fabric's own directory stays, as the kernel keeps it
    EXPECT_EQ(after, before);
}

// A LUN whose scans come up empty is scanned again each second until its
// drive appears; a wait that ends says what was missing, and ends early when
// asked to stop.
TEST(TcmuTarget, ScansTheLunAgainUntilItsDriveAppearsWithinABound) {
    const struct {
        const char* what;
        int emptyScans;
        bool cdromNode;
        uint32_t waitMs;
        int stopAfter; // polls of stop before it says stop; -1: never
        std::string node;
        std::string error;
        std::vector<std::string> scans;
    } cases[] = {
        {"found by the link's scan", 0, true, 5000, -1, "/dev/sr0", "", {"3 0 1 0"}},
        {"found by the second rescan", 2, true, 5000, -1, "/dev/sr0", "",
         {"3 0 1 0", "3 0 1 0", "3 0 1 0"}},
        {"never found", 1000, true, 2500, -1, "",
         "the kernel found no SCSI device at 3:0:1:0 (the LUN was scanned 3 times)",
         {"3 0 1 0", "3 0 1 0", "3 0 1 0"}},
        {"a SCSI device without a CD-ROM node", 0, false, 2500, -1, "",
         "no CD-ROM device node appeared for SCSI device 3:0:1:0 (is the module sr_mod loaded?)",
         {"3 0 1 0"}},
        {"stopped while waiting", 1000, true, 15000, 3, "",
         "the kernel found no SCSI device at 3:0:1:0 (the LUN was scanned 1 time)", {"3 0 1 0"}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        auto fs = std::make_shared<FakeTargetFs>();
        fs->emptyScans = c.emptyScans;
        fs->cdromNode = c.cdromNode;
        TcmuTarget target(fs, 1, FakePaths());
        TcmuTarget::Backstore backstore;
        std::string error;
        int host = -1;
        ASSERT_TRUE(target.CreateBackstore(0, 2048, backstore, error)) << error;
        ASSERT_TRUE(target.CreateLoopback(0, backstore, host, error)) << error;
        int polls = 0;
        std::function<bool()> stop;
        if (c.stopAfter >= 0) {
            stop = [&] { return ++polls > c.stopAfter; };
        }
        error.clear();
        EXPECT_EQ(target.FindDeviceNode(host, c.waitMs, error, stop), c.node);
        EXPECT_EQ(error, c.error);
        EXPECT_EQ(fs->scans, c.scans);
        // Never longer than the bound, and no longer than asked to.
        EXPECT_LE(fs->pauses, static_cast<int>(c.waitMs / 100));
        if (c.stopAfter >= 0) {
            EXPECT_EQ(fs->pauses, c.stopAfter);
        }
    }
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
    fs->lingerPauses = 3; // the dead one's uio device goes a little later
    const int pauses = fs->pauses;
    const std::vector<std::string> removed = target.RemoveStale(problems);
    // The start waited until it was gone; the running one's is there.
    EXPECT_EQ(fs->pauses - pauses, 3);
    EXPECT_FALSE(fs->Exists("/sys/class/uio/uio0"));
    EXPECT_TRUE(fs->Exists("/sys/class/uio/uio1"));
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

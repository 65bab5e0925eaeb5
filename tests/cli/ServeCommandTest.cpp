// vindral-cli serve against a fake configfs and a ring in memory: the
// drives are served before their LUNs are linked, the device nodes are
// printed, and everything set up is gone afterwards.
#include <gtest/gtest.h>

#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <map>
#include <set>
#include <fstream>
#include <poll.h>
#include <sstream>
#include <thread>

#include "cli/Cli.h"
#include "cli/ServeCommand.h"
#include "drive/linux/FakeKernelRing.h"
#include "drive/linux/FakeTargetFs.h"
#include "extract/RunHarness.h"

namespace vindral::cli {
namespace {

using linuxdrive::TcmuDevice;
using linuxdrive::TcmuTarget;
using linuxdrive::test::FakeKernelRing;
using linuxdrive::test::FakeTargetFs;

std::string WriteImage(const std::string& folder, const std::string& name, int sectors,
                       const std::string& more = "") {
    std::vector<char> bin(static_cast<std::size_t>(sectors) * 2352, 0x11);
    std::ofstream(folder + name + ".bin", std::ios::binary).write(bin.data(), std::streamsize(bin.size()));
    std::ofstream(folder + name + ".cue") << "FILE \"" << name << ".bin\" BINARY\n"
                                          << "  TRACK 01 AUDIO\n    INDEX 01 00:00:00\n" << more;
    return folder + name + ".cue";
}

// One ring per backstore, each with the kernel's end of a socket pair.
struct FakeRings {
    std::vector<std::unique_ptr<FakeKernelRing>> rings;
    std::vector<int> kernelEnds;
    std::map<std::string, std::size_t> byBackstore;

    ~FakeRings() {
        for (int fd : kernelEnds) {
            ::close(fd);
        }
    }

    bool Open(TcmuDevice& device, const TcmuTarget::Backstore& backstore) {
        int pair[2];
        if (::socketpair(AF_UNIX, SOCK_STREAM, 0, pair) != 0) {
            return false;
        }
        rings.push_back(std::make_unique<FakeKernelRing>());
        kernelEnds.push_back(pair[1]);
        byBackstore[backstore.path] = rings.size() - 1;
        device.Attach(pair[0], rings.back()->Area(), linuxdrive::test::kAreaSize);
        return true;
    }

    // One command through the ring of drive `index`, as the kernel sends
    // it; the SCSI status (-1 when no answer came within 5 s) and the data.
    std::pair<int, std::vector<uint8_t>> Send(std::size_t index, const std::vector<uint8_t>& cdb,
                                              uint32_t length) {
        FakeKernelRing& ring = *rings[index];
        const std::size_t entry = ring.Command(cdb, {length});
        const uint64_t data = ring.LastDataStart(length);
        const uint32_t interrupt = 1;
        if (::write(kernelEnds[index], &interrupt, 4) != 4) {
            return {-1, {}};
        }
        pollfd wait{kernelEnds[index], POLLIN, 0};
        uint32_t wake = 0;
        if (::poll(&wait, 1, 5000) != 1 || ::read(kernelEnds[index], &wake, 4) != 4) {
            return {-1, {}};
        }
        return {ring.Status(entry), ring.DataAt(data, length)};
    }

    // INQUIRY as the kernel sends it when the LUN is linked; the peripheral
    // byte of the answer, or -1 when none came.
    int Inquiry(const std::string& backstore) {
        const auto [status, data] = Send(byBackstore.at(backstore), {0x12, 0, 0, 0, 36, 0}, 36);
        return status == 0 ? data[0] : -1;
    }
};

struct Served {
    int status;
    std::string out;
    std::string err;
};

Served Serve(std::vector<std::string> args, const std::shared_ptr<FakeTargetFs>& fs,
             FakeRings& rings, std::function<bool()> stop, bool root = true) {
    args.insert(args.begin(), {"vindral-cli", "serve"});
    std::vector<char*> argv;
    for (auto& arg : args) {
        argv.push_back(arg.data());
    }
    ServeEnvironment environment;
    environment.fs = fs;
    environment.paths = linuxdrive::test::FakePaths();
    environment.pid = 321;
    environment.root = root;
    environment.open = [&rings](TcmuDevice& device, const TcmuTarget::Backstore& backstore,
                                std::string& error) {
        error = "no socket";
        return rings.Open(device, backstore);
    };
    environment.stop = std::move(stop);
    environment.nodeWaitMs = 200;
    std::ostringstream out;
    std::ostringstream err;
    const int status = ServeCommand(static_cast<int>(argv.size()), argv.data(), out, err,
                                    std::move(environment));
    return {status, out.str(), err.str()};
}

TEST(ServeCommand, ServesEachImageBeforeItsLunIsLinkedAndCleansUp) {
    test::TempFolder folder;
    const std::string first = WriteImage(folder.Path(), "first", 30);
    const std::string second = WriteImage(folder.Path(), "second", 40);
    auto fs = std::make_shared<FakeTargetFs>();
    const std::set<std::string> before = fs->ConfigTree();
    // Left by a serve (process 99) that was killed.
    {
        TcmuTarget dead(fs, 99, linuxdrive::test::FakePaths());
        TcmuTarget::Backstore backstore;
        std::string error;
        ASSERT_TRUE(dead.CreateBackstore(0, 2048, backstore, error)) << error;
        fs->nextUio = 0;
    }
    FakeRings rings;
    std::vector<int> peripheral;
    fs->onLink = [&](const std::string& link) {
        std::string backstore;
        fs->ReadLink(link, backstore);
        peripheral.push_back(rings.Inquiry(backstore));
    };
    std::vector<std::string> whileServing;
    const Served served = Serve({"--image", first, "--image", second}, fs, rings, [&] {
        if (whileServing.empty()) {
            for (const auto& [path, target] : fs->links) {
                whileServing.push_back(path);
            }
        }
        return true;
    });
    EXPECT_EQ(served.status, 0) << served.err;
    EXPECT_EQ(served.out, first + ": /dev/sr0\n" + second + ": /dev/sr1\n");
    EXPECT_NE(served.err.find("removed /cfg/target/core/user_0/vindral-99-0"), std::string::npos)
        << served.err;
    // Each drive answered the kernel's INQUIRY as a CD-ROM while its LUN was linked.
    EXPECT_EQ(peripheral, (std::vector<int>{0x05, 0x05}));
    EXPECT_EQ(whileServing.size(), 4u); // two LUN links, two sr device links
    // Only the dead serve's backstore group (user_0, which another program
    // could be using) stays.
    std::set<std::string> after = fs->ConfigTree();
    after.erase("/cfg/target/loopback/");
    std::set<std::string> expected = before;
    expected.insert("/cfg/target/core/user_0/");
    EXPECT_EQ(after, expected);
    EXPECT_EQ(rings.rings.size(), 2u);
}

TEST(ServeCommand, RefusesWhatItCannotServeAndUndoesAFailedStart) {
    test::TempFolder folder;
    const std::string image = WriteImage(folder.Path(), "disc", 10);
    auto fs = std::make_shared<FakeTargetFs>();
    const std::set<std::string> before = fs->ConfigTree();
    FakeRings rings;
    auto never = [] {
        ADD_FAILURE() << "serving began";
        return true;
    };
    EXPECT_EQ(Serve({}, fs, rings, never).status, kExitUsage);
    EXPECT_EQ(Serve({"--device", "/dev/sr0"}, fs, rings, never).status, kExitUsage);
    EXPECT_EQ(Serve({"--image", image, "--speed", "4"}, fs, rings, never).status, kExitUsage);
    const Served help = Serve({"--image", image, "--help"}, fs, rings, never);
    EXPECT_EQ(help.status, 0);
    EXPECT_EQ(help.out.rfind("usage: vindral-cli serve --image FILE.cue", 0), 0u);
    // The same help through "help serve", and the general usage names it.
    {
        std::ostringstream out;
        std::ostringstream err;
        char program[] = "vindral-cli";
        char helpWord[] = "help";
        char serveWord[] = "serve";
        char* argv[] = {program, helpWord, serveWord};
        EXPECT_EQ(cli::Run(3, argv, out, err), 0);
        EXPECT_EQ(out.str(), help.out);
        char* general[] = {program, helpWord};
        std::ostringstream usage;
        EXPECT_EQ(cli::Run(2, general, usage, err), 0);
        EXPECT_NE(usage.str().find("vindral-cli serve --image FILE.cue"), std::string::npos);
    }
    const Served broken = Serve({"--image", folder.Path() + "missing.cue"}, fs, rings, never);
    EXPECT_EQ(broken.status, kExitFailed);
    EXPECT_NE(broken.err.find("missing.cue"), std::string::npos);
    const Served user = Serve({"--image", image}, fs, rings, never, false);
    EXPECT_EQ(user.status, kExitFailed);
    EXPECT_NE(user.err.find("needs root"), std::string::npos);

    // The second image's uio device never appears: the first drive's set-up
    // is removed again.
    const std::string other = WriteImage(folder.Path(), "other", 10);
    fs->onLink = [&](const std::string&) { fs->makeUio = false; };
    const Served failed = Serve({"--image", image, "--image", other}, fs, rings, never);
    EXPECT_EQ(failed.status, kExitFailed);
    EXPECT_NE(failed.err.find("no uio device"), std::string::npos) << failed.err;
    EXPECT_EQ(failed.out, image + ": /dev/sr0\n");
    std::set<std::string> after = fs->ConfigTree();
    after.erase("/cfg/target/loopback/");
    EXPECT_EQ(after, before);

    // The kernel never shows the drive: the start says so within its bound
    // and removes what it made; SIGTERM while it waits ends it at once, as
    // after serving.
    fs->onLink = nullptr;
    fs->makeUio = true;
    fs->emptyScans = 1000;
    const Served nodrive = Serve({"--image", image}, fs, rings, [] { return false; });
    EXPECT_EQ(nodrive.status, kExitFailed);
    EXPECT_EQ(nodrive.out, "");
    EXPECT_NE(nodrive.err.find(image + ": the kernel found no SCSI device at "), std::string::npos)
        << nodrive.err;
    int polls = 0;
    const Served stopped = Serve({"--image", image}, fs, rings, [&] { return ++polls > 1; });
    EXPECT_EQ(stopped.status, 0) << stopped.err;
    EXPECT_EQ(stopped.out + stopped.err, "");
    EXPECT_EQ(polls, 3); // once in the wait, then once more to tell the two apart
    after = fs->ConfigTree();
    after.erase("/cfg/target/loopback/");
    EXPECT_EQ(after, before);
}

TEST(ServeCommand, AChangedSheetIsANewDiscInTheDrive) {
    test::TempFolder folder;
    const std::string image = WriteImage(folder.Path(), "disc", 30);
    auto fs = std::make_shared<FakeTargetFs>();
    FakeRings rings;
    const std::vector<uint8_t> readToc = {0x43, 0, 0, 0, 0, 0, 0, 0x03, 0x24, 0};
    std::vector<std::pair<int, int>> seen; // status, last track of each answer
    int polls = 0;
    const Served served = Serve({"--image", image}, fs, rings, [&] {
        ++polls;
        if (polls == 1) {
            auto [status, toc] = rings.Send(0, readToc, 804);
            seen.push_back({status, status == 0 ? toc[3] : 0});
            // Two tracks now, and a later time stamp.
            WriteImage(folder.Path(), "disc", 30, "  TRACK 02 AUDIO\n    INDEX 01 00:00:20\n");
        } else if (polls == 3) {
            for (int i = 0; i < 2; ++i) {
                auto [status, toc] = rings.Send(0, readToc, 804);
                seen.push_back({status, status == 0 ? toc[3] : 0});
            }
            std::ofstream(image) << "FILE \"gone.bin\" BINARY\n";
        } else if (polls == 5) {
            auto [status, toc] = rings.Send(0, readToc, 804);
            seen.push_back({status, 0});
            return true;
        }
        return false;
    });
    EXPECT_EQ(served.status, 0) << served.err;
    // One track; the change reported once (CHECK CONDITION), then two
    // tracks; then no disc.
    EXPECT_EQ(seen, (std::vector<std::pair<int, int>>{{0, 1}, {2, 0}, {0, 2}, {2, 0}}));
    EXPECT_NE(served.err.find("changed, a new disc is in the drive"), std::string::npos);
    EXPECT_NE(served.err.find("the drive has no disc now"), std::string::npos) << served.err;
}

} // namespace
} // namespace vindral::cli

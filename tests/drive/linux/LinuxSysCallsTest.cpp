#include <gtest/gtest.h>

#include <fcntl.h>
#include <scsi/scsi.h>
#include <scsi/sg.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <filesystem>
#include <fstream>

#include "drive/Transport.h"
#include "drive/linux/LinuxPassThrough.h"
#include "drive/linux/LinuxSysCalls.h"

namespace vindral::linuxdrive {
namespace {

namespace fs = std::filesystem;

class RealSysCallsTest : public ::testing::Test {
protected:
    void SetUp() override {
        std::string pattern = (fs::temp_directory_path() / "vindral-sys.XXXXXX").string();
        ASSERT_NE(::mkdtemp(pattern.data()), nullptr);
        folder_ = pattern;
    }
    void TearDown() override { fs::remove_all(folder_); }

    fs::path folder_;
    std::shared_ptr<LinuxSysCalls> calls = RealLinuxSysCalls();
};

TEST_F(RealSysCallsTest, FailuresComeBackAsNegatedErrno) {
    EXPECT_EQ(calls->Open((folder_ / "absent").string(), O_RDONLY | O_NONBLOCK), -ENOENT);
    std::vector<uint8_t> bytes;
    EXPECT_EQ(calls->ReadFile((folder_ / "absent").string(), 64, bytes), -ENOENT);
    std::vector<std::string> names;
    EXPECT_EQ(calls->ListDirectory((folder_ / "absent").string(), names), -ENOENT);
    EXPECT_EQ(calls->Close(-1), -EBADF);

    // A file that is no SCSI device refuses the SCSI requests.
    const int fd = calls->Open("/dev/null", O_RDWR | O_NONBLOCK);
    ASSERT_GE(fd, 0);
    int32_t idLun[2] = {};
    EXPECT_LT(calls->Ioctl(fd, SCSI_IOCTL_GET_IDLUN, idLun), 0);
    sg_io_hdr_t header{};
    header.interface_id = 'S';
    EXPECT_LT(calls->Ioctl(fd, SG_IO, &header), 0);
    EXPECT_EQ(calls->Close(fd), 0);
}

TEST_F(RealSysCallsTest, ReadsFilesUpToTheLimitAndListsFolders) {
    fs::create_directories(folder_ / "0:0:1:0");
    fs::create_directories(folder_ / "host0");
    {
        std::ofstream out(folder_ / "0:0:1:0" / "inquiry", std::ios::binary);
        for (int i = 0; i < 96; ++i) {
            out.put(static_cast<char>(i));
        }
    }
    std::vector<uint8_t> bytes;
    ASSERT_EQ(calls->ReadFile((folder_ / "0:0:1:0" / "inquiry").string(), 36, bytes), 0);
    ASSERT_EQ(bytes.size(), 36u);
    EXPECT_EQ(bytes[35], 35);
    ASSERT_EQ(calls->ReadFile((folder_ / "0:0:1:0" / "inquiry").string(), 4096, bytes), 0);
    EXPECT_EQ(bytes.size(), 96u);

    std::vector<std::string> names;
    ASSERT_EQ(calls->ListDirectory(folder_.string(), names), 0);
    std::sort(names.begin(), names.end());
    EXPECT_EQ(names, (std::vector<std::string>{"0:0:1:0", "host0"}));
}

TEST_F(RealSysCallsTest, NodesThatAreNoDrivesAreNotEntered) {
    LinuxPassThrough backend(calls, {"/dev/null", (folder_ / "sr0").string()}, folder_.string());
    EXPECT_EQ(backend.Initialise(), 0);
    for (int index = 0; index < 128; ++index) {
        EXPECT_EQ(backend.AddressMapEntry(index), -1);
    }
    SenseResult sense;
    uint8_t cdb[6] = {};
    EXPECT_EQ(backend.Execute(0, 0, cdb, 6, false, nullptr, 0, sense), kStatusNoDrive);
    EXPECT_FALSE(sense.taken);
}

} // namespace
} // namespace vindral::linuxdrive

// The TCMU command ring against a ring built here the way the kernel fills
// it, with the emulated drive answering the commands.
#include <gtest/gtest.h>

#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstring>
#include <vector>

#include "drive/emulated/DemoDisc.h"
#include "drive/emulated/EmulatedDrive.h"
#include "drive/linux/FakeKernelRing.h"
#include "drive/linux/TcmuRing.h"

namespace vindral::linuxdrive {
namespace {

using namespace tcmu;
using test::FakeKernelRing;
using test::Get;
using test::Put;
using test::kAreaSize;
using test::kRingOffset;
using test::kRingSize;
using test::kDataStart;
using Bytes = std::vector<uint8_t>;

class TcmuRingTest : public ::testing::Test {
protected:
    void SetUp() override {
        disc = emulated::MakeDemoDisc();
        drive = std::make_shared<emulated::EmulatedDrive>(disc);
        handler = [this](const uint8_t* cdb, int cdbLength, bool dataOut, uint8_t* buffer,
                         uint32_t length, SenseResult& sense) {
            ++calls;
            lastCdb.assign(cdb, cdb + cdbLength);
            return drive->Execute(cdb, cdbLength, dataOut, buffer, length, sense);
        };
    }

    TcmuRing::Progress Process() { return TcmuRing(kernel.Area(), kAreaSize).Process(handler); }

    Bytes Sector(SectorAddress address) {
        Bytes bytes(kSectorBytes);
        EXPECT_TRUE(disc->ReadSector(address, bytes.data(), 0));
        return bytes;
    }

    std::shared_ptr<const emulated::Disc> disc;
    std::shared_ptr<emulated::EmulatedDrive> drive;
    TcmuHandler handler;
    FakeKernelRing kernel;
    int calls = 0;
    Bytes lastCdb;
};

const Bytes kInquiry = {0x12, 0, 0, 0, 36, 0};

Bytes ReadCd(uint32_t lba, uint32_t count) {
    return {0xBE, 0x04, static_cast<uint8_t>(lba >> 24), static_cast<uint8_t>(lba >> 16),
            static_cast<uint8_t>(lba >> 8), static_cast<uint8_t>(lba), static_cast<uint8_t>(count >> 16),
            static_cast<uint8_t>(count >> 8), static_cast<uint8_t>(count), 0x10, 0, 0};
}

TEST_F(TcmuRingTest, CommandsAreAnsweredByTheEmulatedDrive) {
    const std::size_t inquiry = kernel.Command(kInquiry, {36});
    const uint64_t inquiryData = kernel.LastDataStart(36);
    const std::size_t read = kernel.Command(ReadCd(20, 3), {3 * 2352});
    const uint64_t readData = kernel.LastDataStart(3 * 2352);
    // The same sectors scattered over three iovecs of uneven lengths.
    const std::size_t scattered = kernel.Command(ReadCd(20, 3), {1000, 4000, 3 * 2352 - 5000});
    const uint64_t scatteredData = kernel.LastDataStart(3 * 2352 - 5000) - 4032 - 1024;

    const TcmuRing::Progress progress = Process();
    EXPECT_EQ(progress.commands, 3);
    EXPECT_EQ(progress.refused, 0);
    EXPECT_FALSE(progress.broken);
    EXPECT_EQ(kernel.Tail(), kernel.Head());

    EXPECT_EQ(kernel.Status(inquiry), kScsiGood);
    const Bytes answer = kernel.DataAt(inquiryData, 36);
    EXPECT_EQ(answer[0], 0x05); // CD-ROM
    EXPECT_EQ(answer[1], 0x80); // removable
    EXPECT_EQ(std::string(answer.begin() + 8, answer.begin() + 16), "VINDRAL ");

    Bytes expected;
    for (int s = 20; s < 23; ++s) {
        const Bytes sector = Sector(s);
        expected.insert(expected.end(), sector.begin(), sector.end());
    }
    EXPECT_EQ(kernel.Status(read), kScsiGood);
    EXPECT_EQ(kernel.DataAt(readData, expected.size()), expected);
    EXPECT_EQ(kernel.Status(scattered), kScsiGood);
    Bytes gathered = kernel.DataAt(scatteredData, 1000);
    const Bytes second = kernel.DataAt(scatteredData + 1024, 4000);
    const Bytes third = kernel.DataAt(scatteredData + 1024 + 4032, 3 * 2352 - 5000);
    gathered.insert(gathered.end(), second.begin(), second.end());
    gathered.insert(gathered.end(), third.begin(), third.end());
    EXPECT_EQ(gathered, expected);
    // READ CD is a 12-byte command: all of it reached the drive.
    EXPECT_EQ(lastCdb, ReadCd(20, 3));
}

TEST_F(TcmuRingTest, RefusalsCarryTheDrivesSense) {
    // READ CAPACITY is no command of the drive's; READ CD past the lead-out
    // is out of range; an unreadable sector is a medium error.
    const std::size_t unknown = kernel.Command({0x25, 0, 0, 0, 0, 0, 0, 0, 0, 0}, {8});
    const std::size_t range = kernel.Command(ReadCd(static_cast<uint32_t>(disc->LeadOut()), 1), {2352});
    const TcmuRing::Progress progress = Process();
    EXPECT_EQ(progress.commands, 2);
    EXPECT_EQ(kernel.Status(unknown), kScsiCheckCondition);
    EXPECT_EQ(kernel.Sense(unknown), 0x052000u);
    EXPECT_EQ(kernel.Status(range), kScsiCheckCondition);
    EXPECT_EQ(kernel.Sense(range), 0x052100u);
}

TEST_F(TcmuRingTest, DataOutReachesTheDrive) {
    // MODE SELECT(10) with a block descriptor of 2352-byte blocks.
    const Bytes list = {0, 0, 0, 0, 0, 0, 0, 8, 0x00, 0, 0, 0, 0, 0x00, 0x09, 0x30};
    const std::size_t select =
        kernel.Command({0x55, 0x10, 0, 0, 0, 0, 0, 0, static_cast<uint8_t>(list.size()), 0},
                       {8, 8}, list);
    ASSERT_EQ(drive->BlockLength(), 2048u);
    Process();
    EXPECT_EQ(kernel.Status(select), kScsiGood);
    EXPECT_EQ(drive->BlockLength(), 2352u);
}

TEST_F(TcmuRingTest, ShortTransfersAreReportedAsReadLength) {
    emulated::DriveBehaviour behaviour;
    behaviour.shortReadCd = true;
    drive->SetBehaviour(behaviour);
    const std::size_t read = kernel.Command(ReadCd(0, 2), {2 * 2352});
    Process();
    EXPECT_EQ(kernel.Status(read), kScsiGood);
    EXPECT_NE(kernel.UserFlags(read) & kUserFlagReadLength, 0);
    EXPECT_EQ(kernel.ReadLength(read), 2u * 2048);

    // A kernel that cannot take read_len gets the plain answer.
    FakeKernelRing old(0);
    const std::size_t oldRead = old.Command(ReadCd(0, 2), {2 * 2352});
    TcmuRing(old.Area(), kAreaSize).Process(handler);
    EXPECT_EQ(old.Status(oldRead), kScsiGood);
    EXPECT_EQ(old.UserFlags(oldRead) & kUserFlagReadLength, 0);

    // The residual as the drive reports it: up to the whole transfer it
    // gives the read length; beyond it there is no length to give (never one
    // wrapped round to about 4 GiB).
    struct Residual {
        uint32_t beyondTransfer; // residual minus the transfer's length
        bool readLength;
    };
    for (const Residual residual : {Residual{0, true}, Residual{1, false}, Residual{4096, false}}) {
        SCOPED_TRACE(residual.beyondTransfer);
        handler = [&](const uint8_t* cdb, int cdbLength, bool dataOut, uint8_t* buffer,
                      uint32_t length, SenseResult& sense) {
            const int32_t status = drive->Execute(cdb, cdbLength, dataOut, buffer, length, sense);
            sense.residual = length + residual.beyondTransfer;
            return status;
        };
        FakeKernelRing ring;
        const std::size_t entry = ring.Command(ReadCd(0, 2), {2 * 2352});
        TcmuRing(ring.Area(), kAreaSize).Process(handler);
        EXPECT_EQ(ring.Status(entry), kScsiGood);
        EXPECT_EQ((ring.UserFlags(entry) & kUserFlagReadLength) != 0, residual.readLength);
        EXPECT_EQ(ring.ReadLength(entry), 0u);
    }
}

TEST_F(TcmuRingTest, PadEntriesAndOtherOperationsArePassedOver) {
    // Enough commands to wrap around the 4 kB ring twice, with PAD entries
    // at its end; each answered in turn.
    int answered = 0;
    for (int round = 0; round < 80; ++round) {
        const std::size_t entry = kernel.Command(kInquiry, {36});
        const TcmuRing::Progress progress = Process();
        ASSERT_FALSE(progress.broken) << progress.error;
        ASSERT_EQ(progress.commands, 1);
        answered += kernel.Status(entry) == kScsiGood ? 1 : 0;
    }
    EXPECT_EQ(answered, 80);
    EXPECT_EQ(kernel.Tail(), kernel.Head());

    const std::size_t tmr = kernel.Other(2, 64);
    const std::size_t unknown = kernel.Other(5, 16);
    const TcmuRing::Progress progress = Process();
    EXPECT_EQ(progress.skipped, 2);
    EXPECT_EQ(progress.commands, 0);
    EXPECT_EQ(kernel.UserFlags(tmr) & kUserFlagUnknownOp, 0);
    EXPECT_NE(kernel.UserFlags(unknown) & kUserFlagUnknownOp, 0);
    EXPECT_EQ(kernel.Tail(), kernel.Head());
}

TEST_F(TcmuRingTest, MalformedEntriesAreRefusedWithoutCallingTheDrive) {
    using Data = FakeKernelRing::Data;
    // Data outside the area, data over the ring, a CDB beyond the area, more
    // iovecs than the entry holds; then a good command still answered.
    const std::size_t outside = kernel.Raw(kInquiry, {Data{kAreaSize - 10, 36}});
    const std::size_t overRing = kernel.Raw(kInquiry, {Data{kRingOffset + 16, 36}});
    const std::size_t wrapping = kernel.Raw(kInquiry, {Data{kDataStart, ~uint64_t{0}}});
    const std::size_t cdbOutside = kernel.Raw(kInquiry, {Data{kDataStart, 36}}, ~0u, kAreaSize + 4);
    const std::size_t tooMany = kernel.Raw(kInquiry, {Data{kDataStart, 36}}, 1000000);
    const std::size_t good = kernel.Command(kInquiry, {36});
    const TcmuRing::Progress progress = Process();
    EXPECT_FALSE(progress.broken);
    EXPECT_EQ(progress.commands, 6);
    EXPECT_EQ(progress.refused, 5);
    EXPECT_EQ(calls, 1);
    for (std::size_t entry : {outside, overRing, wrapping, cdbOutside, tooMany}) {
        EXPECT_EQ(kernel.Status(entry), kScsiCheckCondition);
        EXPECT_EQ(kernel.Sense(entry), 0x044400u);
    }
    EXPECT_EQ(kernel.Status(good), kScsiGood);
    EXPECT_EQ(kernel.Tail(), kernel.Head());
}

TEST_F(TcmuRingTest, AnEntryWhoseLengthCannotBeTrustedStopsTheRing) {
    kernel.Command(kInquiry, {36});
    const uint32_t before = kernel.Head();
    kernel.Header(0 | kOpCmd); // length 0: the next entry cannot be found
    TcmuRing::Progress progress = Process();
    EXPECT_TRUE(progress.broken);
    EXPECT_EQ(progress.commands, 1);
    EXPECT_EQ(kernel.Tail(), before);

    FakeKernelRing beyond;
    beyond.Command(kInquiry, {36});
    beyond.Header((kRingSize * 2) | kOpCmd); // longer than the ring
    progress = TcmuRing(beyond.Area(), kAreaSize).Process(handler);
    EXPECT_TRUE(progress.broken);
    EXPECT_NE(progress.error.find("length"), std::string::npos);

    // A mailbox whose ring lies beyond the area, and a head outside the ring.
    FakeKernelRing badMailbox;
    Put<uint32_t>(badMailbox.Area() + kMailboxRingSizeOffset, kAreaSize);
    EXPECT_FALSE(TcmuRing(badMailbox.Area(), kAreaSize).Valid());
    EXPECT_TRUE(TcmuRing(badMailbox.Area(), kAreaSize).Process(handler).broken);
    FakeKernelRing badHead;
    Put<uint32_t>(badHead.Area() + kMailboxHeadOffset, kRingSize + 8);
    EXPECT_TRUE(TcmuRing(badHead.Area(), kAreaSize).Process(handler).broken);
    EXPECT_EQ(Get<uint32_t>(badHead.Area() + kMailboxTailOffset), 0u);
}

TEST_F(TcmuRingTest, TheDeviceThreadAnswersWhenWokenAndWakesTheKernel) {
    int pair[2];
    ASSERT_EQ(::socketpair(AF_UNIX, SOCK_STREAM, 0, pair), 0);
    TcmuDevice device;
    device.Attach(pair[0], kernel.Area(), kAreaSize);
    std::string error;
    ASSERT_TRUE(device.Start(handler, error)) << error;

    const std::size_t entry = kernel.Command(kInquiry, {36});
    const uint32_t interrupt = 1;
    ASSERT_EQ(::write(pair[1], &interrupt, 4), 4);
    pollfd wait{pair[1], POLLIN, 0};
    ASSERT_EQ(::poll(&wait, 1, 5000), 1) << "the device never woke the kernel";
    uint32_t wake = 7;
    EXPECT_EQ(::read(pair[1], &wake, 4), 4);
    EXPECT_EQ(kernel.Status(entry), kScsiGood);
    EXPECT_EQ(kernel.Tail(), kernel.Head());
    EXPECT_EQ(device.Commands(), 1u);
    device.Stop();
    ::close(pair[0]);
    ::close(pair[1]);

    // A device without a valid mailbox does not start.
    FakeKernelRing bad;
    Put<uint32_t>(bad.Area() + kMailboxRingOffset, 0);
    TcmuDevice refused;
    refused.Attach(pair[0], bad.Area(), kAreaSize);
    EXPECT_FALSE(refused.Start(handler, error));
}

TEST(TcmuCdbLength, FollowsTheCommandGroups) {
    EXPECT_EQ(KernelCdbLength(0x12), 6);  // INQUIRY
    EXPECT_EQ(KernelCdbLength(0x28), 10); // READ(10)
    EXPECT_EQ(KernelCdbLength(0x5A), 10); // MODE SENSE(10)
    EXPECT_EQ(KernelCdbLength(0x88), 16); // READ(16)
    EXPECT_EQ(KernelCdbLength(0xBE), 12); // READ CD
    EXPECT_EQ(KernelCdbLength(0xD8), 10); // vendor group: the kernel keeps 10 bytes
}

} // namespace
} // namespace vindral::linuxdrive

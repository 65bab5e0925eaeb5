#include <gtest/gtest.h>

#include "drive/RecordingBackend.h"
#include "drive/Transport.h"

namespace vindral {
namespace {

TEST(Transport, CdbLengthFollowsTheOperationCodeGroups) {
    EXPECT_EQ(CdbLength(0x00), 6);
    EXPECT_EQ(CdbLength(0x1F), 6);
    EXPECT_EQ(CdbLength(0x20), 10);
    EXPECT_EQ(CdbLength(0x5F), 10);
    EXPECT_EQ(CdbLength(0x60), 12);
    EXPECT_EQ(CdbLength(0xBE), 12);
    EXPECT_EQ(CdbLength(0xD8), 12);
    EXPECT_EQ(CdbLength(0xFF), 12);
}

TEST(Transport, ExactlyThirteenCodesAreDataOut) {
    const int marked[] = {0x04, 0x0A, 0x15, 0x1D, 0x2A, 0x3B, 0x54,
                          0x55, 0x5D, 0xAA, 0xE2, 0xF0, 0xFD};
    int count = 0;
    for (int code = 0; code < 256; ++code) {
        count += IsDataOut(static_cast<uint8_t>(code)) ? 1 : 0;
    }
    EXPECT_EQ(count, 13);
    for (int code : marked) {
        EXPECT_TRUE(IsDataOut(static_cast<uint8_t>(code))) << code;
    }
    for (int code : {0x00, 0x12, 0x28, 0x43, 0x5A, 0xBB, 0xBE, 0xD8}) {
        EXPECT_FALSE(IsDataOut(static_cast<uint8_t>(code))) << code;
    }
}

TEST(Transport, SensePackingTakesByteTwoWhole) {
    uint8_t sense[18] = {0x70, 0, 0x05, 0, 0, 0, 0, 10, 0, 0, 0, 0, 0x21, 0x00};
    EXPECT_EQ(PackSense(sense, sizeof sense), 0x052100);
    sense[2] = 0x23; // incorrect-length bit with sense key 3
    sense[12] = 0x11;
    sense[13] = 0x05;
    EXPECT_EQ(PackSense(sense, sizeof sense), 0x231105);
    uint8_t none[32] = {};
    EXPECT_EQ(PackSense(none, sizeof none), 0);
}

TEST(Transport, OperatingSystemErrorOneIsNeverSuccess) {
    EXPECT_NE(OsErrorStatus(1), kStatusOk);
    EXPECT_NE(OsErrorStatus(0), kStatusOk);
    EXPECT_EQ(OsErrorStatus(5), 5);
    EXPECT_EQ(OsErrorStatus(13), 13);
}

TEST(Transport, LastSenseFollowsEveryCommandThatReachesADevice) {
    std::vector<test::RecordedCommand> log;
    test::RecordingBackend* backend = test::InstallRecordingBackend(&log);
    backend->responder = [](const test::RecordedCommand& command, uint8_t*, SenseResult& sense) {
        if (command.cdb[0] == 0x00) {
            sense.data[2] = 0x02;
            sense.data[12] = 0x3A;
            return 2;
        }
        if (command.cdb[0] == 0x12) {
            sense.taken = false; // nothing reached a device
            return kStatusNoDrive;
        }
        return kStatusOk;
    };
    uint8_t tur[6] = {};
    EXPECT_EQ(ExecuteCommand(0, 1, tur, nullptr, 0), 2);
    EXPECT_EQ(LastSenseCode(), 0x023A00);
    uint8_t inquiry[6] = {0x12, 0, 0, 0, 56, 0};
    uint8_t answer[56];
    EXPECT_EQ(ExecuteCommand(0, 1, inquiry, answer, 56), kStatusNoDrive);
    EXPECT_EQ(LastSenseCode(), 0x023A00) << "a command that reached no device keeps the code";
    uint8_t speed[12] = {0xBB};
    EXPECT_EQ(ExecuteCommand(0, 1, speed, nullptr, 0), kStatusOk);
    EXPECT_EQ(LastSenseCode(), 0) << "a successful command without sense leaves 0";
    ASSERT_EQ(log.size(), 3u);
    EXPECT_EQ(log[0].cdb.size(), 6u);
    EXPECT_EQ(log[2].cdb.size(), 12u);
    ResetTransportForTesting();
}

TEST(Transport, CommandsBeforeInitialisationFail) {
    ResetTransportForTesting();
    uint8_t tur[6] = {};
    EXPECT_EQ(ExecuteCommand(0, 0, tur, nullptr, 0), kStatusNoDrive);
}

} // namespace
} // namespace vindral

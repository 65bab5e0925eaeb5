#include <gtest/gtest.h>

#include <cstring>

#include "drive/CdCommands.h"
#include "drive/RecordingBackend.h"

namespace vindral {
namespace {

using test::RecordedCommand;
using Bytes = std::vector<uint8_t>;

class CdCommandsTest : public ::testing::Test {
protected:
    void SetUp() override { backend = test::InstallRecordingBackend(&log); }
    void TearDown() override { ResetTransportForTesting(); }

    std::vector<RecordedCommand> log;
    test::RecordingBackend* backend = nullptr;
};

TEST_F(CdCommandsTest, ReadCommandsBuildTheirCdbs) {
    uint8_t buffer[26 * 2352];
    CdCommands::ReadCd(0, 1, 0x1234, 16, buffer);
    CdCommands::ReadCdda(0, 1, 0x1234, 16, buffer);
    CdCommands::Read10(0, 1, 0x1234, 25, buffer);
    CdCommands::Read10(0, 1, 0x1234, 26, buffer);
    CdCommands::ReadCdWithC2(0, 1, 0x010203, 2, buffer);
    ASSERT_EQ(log.size(), 5u);
    EXPECT_EQ(log[0].cdb, (Bytes{0xBE, 0x04, 0, 0, 0x12, 0x34, 0, 0, 0x10, 0x10, 0, 0}));
    EXPECT_EQ(log[0].length, 37632u);
    EXPECT_EQ(log[1].cdb, (Bytes{0xD8, 0, 0, 0, 0x12, 0x34, 0, 0, 0, 0x10, 0, 0}));
    EXPECT_EQ(log[1].length, 37632u);
    EXPECT_EQ(log[2].cdb, (Bytes{0x28, 0, 0, 0, 0x12, 0x34, 0, 0, 25, 0}));
    EXPECT_EQ(log[2].length, 58800u);
    EXPECT_EQ(log[3].cdb, (Bytes{0x28, 0, 0, 0, 0x12, 0x34, 0, 0, 26, 0}));
    EXPECT_EQ(log[3].length, 0u) << "26 sectors or more hand no data length to the transport";
    EXPECT_EQ(log[4].cdb, (Bytes{0xBE, 0x04, 0, 0x01, 0x02, 0x03, 0, 0, 2, 0x12, 0, 0}));
    EXPECT_EQ(log[4].length, 2u * (2352 + 294));
    for (const auto& command : log) {
        EXPECT_FALSE(command.dataOut);
    }
}

TEST_F(CdCommandsTest, ReadAudioDispatchesOnTheMethod) {
    uint8_t buffer[2352];
    for (int32_t method : {0, 1, 2, 7, -3}) {
        CdCommands::ReadAudio(0, 0, 5, 1, buffer, method);
    }
    ASSERT_EQ(log.size(), 5u);
    EXPECT_EQ(log[0].cdb[0], 0xBE);
    EXPECT_EQ(log[1].cdb[0], 0xD8);
    EXPECT_EQ(log[2].cdb[0], 0x28);
    EXPECT_EQ(log[3].cdb[0], 0x28);
    EXPECT_EQ(log[4].cdb[0], 0x28);
}

TEST_F(CdCommandsTest, SpeedCommandsAndTheirAnswers) {
    backend->responder = [](const RecordedCommand& command, uint8_t* buffer, SenseResult&) {
        if (command.cdb[0] == 0x5A) {
            std::memset(buffer, 0, command.length);
            buffer[16] = 0x1B; // 7056 kB/s
            buffer[17] = 0x90;
            buffer[22] = 0x0B; // 2816 kB/s
            buffer[23] = 0x00;
        }
        return kStatusOk;
    };
    CdCommands::SetReadSpeed(1, 2, 0xFFFF);
    CdCommands::SetReadSpeed(1, 2, 5664);
    int32_t maximum = 0;
    int32_t current = 0;
    EXPECT_EQ(CdCommands::SenseReadSpeeds(1, 2, &maximum, &current), 1);
    ASSERT_EQ(log.size(), 3u);
    EXPECT_EQ(log[0].cdb, (Bytes{0xBB, 0, 0xFF, 0xFF, 0xFF, 0xFF, 0, 0, 0, 0, 0, 0}));
    EXPECT_TRUE(log[0].bufferNull);
    EXPECT_EQ(log[0].length, 0u);
    EXPECT_EQ(log[1].cdb[2], 0x16);
    EXPECT_EQ(log[1].cdb[3], 0x20);
    EXPECT_EQ(log[2].cdb, (Bytes{0x5A, 0x08, 0x2A, 0, 0, 0, 0, 0, 30, 0}));
    EXPECT_EQ(log[2].length, 30u);
    EXPECT_EQ(maximum, 7056);
    EXPECT_EQ(current, 2816);
    EXPECT_EQ(log[0].hostAdapter, 1);
    EXPECT_EQ(log[0].target, 2);
}

TEST_F(CdCommandsTest, TestUnitReadyAndReadTocHaveTheirFixedForms) {
    uint8_t answer[804];
    CdCommands::TestUnitReady(0, 3);
    CdCommands::ReadToc(0, 3, 804, answer);
    ASSERT_EQ(log.size(), 2u);
    EXPECT_EQ(log[0].cdb, (Bytes{0, 0, 0, 0, 0, 0}));
    EXPECT_TRUE(log[0].bufferNull);
    EXPECT_FALSE(log[0].dataOut);
    EXPECT_EQ(log[1].cdb, (Bytes{0x43, 0, 0, 0, 0, 0, 0, 0x03, 0x24, 0}));
    EXPECT_EQ(log[1].length, 804u);
}

TEST_F(CdCommandsTest, BlockModeFallsBackToTheSixByteForm) {
    bool accept10 = true;
    backend->responder = [&](const RecordedCommand& command, uint8_t*, SenseResult&) {
        return (command.cdb[0] == 0x55 && !accept10) ? 2 : kStatusOk;
    };
    EXPECT_EQ(CdCommands::SelectBlockMode(0, 0, 0), 1);
    ASSERT_EQ(log.size(), 1u) << "a drive that accepts MODE SELECT(10) gets only that";
    EXPECT_EQ(log[0].cdb, (Bytes{0x55, 0x10, 0, 0, 0, 0, 0, 0, 16, 0}));
    EXPECT_TRUE(log[0].dataOut);
    EXPECT_EQ(log[0].dataSent,
              (Bytes{0, 0x10, 0, 0, 0, 0, 0, 8, 0x82, 0, 0, 0, 0, 0x00, 0x09, 0x30}));

    log.clear();
    accept10 = false;
    EXPECT_EQ(CdCommands::SelectBlockMode(0, 0, 1), 1);
    ASSERT_EQ(log.size(), 2u);
    EXPECT_EQ(log[0].dataSent,
              (Bytes{0, 0x10, 0, 0, 0, 0, 0, 8, 0x00, 0, 0, 0, 0, 0x00, 0x08, 0x00}));
    EXPECT_EQ(log[1].cdb, (Bytes{0x15, 0, 0, 0, 12, 0}));
    EXPECT_TRUE(log[1].dataOut);
    EXPECT_EQ(log[1].dataSent, (Bytes{0, 0, 0, 8, 0x00, 0, 0, 0, 0, 0x00, 0x08, 0x00}));

    log.clear();
    CdCommands::SelectBlockMode(0, 0, 0);
    ASSERT_EQ(log.size(), 2u);
    EXPECT_EQ(log[1].dataSent, (Bytes{0, 0, 0, 8, 0x82, 0, 0, 0, 0, 0x00, 0x09, 0x30}));
}

TEST_F(CdCommandsTest, InquiryAcceptsOnlyConnectedCdRomDevices) {
    uint8_t deviceType = 0x05;
    int32_t status = kStatusOk;
    backend->responder = [&](const RecordedCommand& command, uint8_t* buffer, SenseResult&) {
        std::memset(buffer, ' ', command.length);
        buffer[0] = deviceType;
        std::memcpy(buffer + 8, "ABC", 3);
        std::memcpy(buffer + 16, "CD-ROM DRIVE", 12);
        std::memcpy(buffer + 32, "1.0 ", 4);
        return status;
    };
    char vendor[9];
    char product[17];
    char revision[5];
    EXPECT_EQ(CdCommands::Inquiry(0, 1, vendor, product, revision), 1);
    EXPECT_STREQ(vendor, "ABC     ");
    EXPECT_STREQ(product, "CD-ROM DRIVE    ");
    EXPECT_STREQ(revision, "1.0 ");
    EXPECT_EQ(log[0].cdb, (Bytes{0x12, 0, 0, 0, 56, 0}));
    EXPECT_EQ(log[0].length, 56u);

    deviceType = 0x25;
    EXPECT_EQ(CdCommands::Inquiry(0, 1, vendor, product, revision), 0);
    deviceType = 0x00;
    EXPECT_EQ(CdCommands::Inquiry(0, 1, vendor, product, revision), 0);
    deviceType = 0x05;
    status = 2;
    EXPECT_EQ(CdCommands::Inquiry(0, 1, vendor, product, revision), 0);
}

InquiryEntry Entry(uint8_t target, uint8_t lun, uint8_t type, const char* vendor) {
    InquiryEntry entry;
    entry.targetId = target;
    entry.lun = lun;
    entry.inquiryData.fill(' ');
    entry.inquiryData[0] = type;
    std::memcpy(entry.inquiryData.data() + 8, vendor, std::strlen(vendor));
    return entry;
}

TEST_F(CdCommandsTest, PassThroughInquiryWalksTheCachedList) {
    backend->passThrough = true;
    std::vector<InquiryEntry> entries;
    backend->inquiryList = [&](uint8_t adapter, std::vector<InquiryEntry>& out) {
        if (adapter != 0) {
            return false;
        }
        out = entries;
        return true;
    };
    char vendor[9];
    char product[17];
    char revision[5];
    entries = {Entry(2, 0, 0x00, "DISK"), Entry(3, 0, 0x05, "FIRST"), Entry(3, 1, 0x05, "SECOND")};
    EXPECT_EQ(CdCommands::Inquiry(0, 3, vendor, product, revision), 1);
    EXPECT_STREQ(vendor, "FIRST   ");
    entries = {Entry(3, 0, 0x00, "FIRST"), Entry(3, 1, 0x05, "SECOND")};
    EXPECT_EQ(CdCommands::Inquiry(0, 3, vendor, product, revision), 1);
    EXPECT_STREQ(vendor, "SECOND  ");
    EXPECT_EQ(CdCommands::Inquiry(0, 2, vendor, product, revision), 0);
    EXPECT_EQ(CdCommands::Inquiry(1, 3, vendor, product, revision), 0) << "adapter not scanned";
    EXPECT_TRUE(log.empty()) << "no command is sent in pass-through mode";
}

TEST(CdTextOperations, TrimTrailingBlanks) {
    char twoBlanks[] = "CD-ROM  ";
    EXPECT_STREQ(CdCommands::TrimTrailingBlanks(twoBlanks), "CD-ROM");
    char blanks[] = "   ";
    EXPECT_STREQ(CdCommands::TrimTrailingBlanks(blanks), "");
    char inner[] = "A B C ";
    EXPECT_STREQ(CdCommands::TrimTrailingBlanks(inner), "A B C");
    char empty[] = "";
    EXPECT_STREQ(CdCommands::TrimTrailingBlanks(empty), "");
}

TEST(CdTextOperations, FramesToTimeText) {
    EXPECT_EQ(CdCommands::FramesToTimeText(0), "00:00.00");
    EXPECT_EQ(CdCommands::FramesToTimeText(75), "00:01.00");
    EXPECT_EQ(CdCommands::FramesToTimeText(4499), "00:59.74");
    EXPECT_EQ(CdCommands::FramesToTimeText(4500), "01:00.00");
    EXPECT_EQ(CdCommands::FramesToTimeText(450000), "100:00.00");
}

} // namespace
} // namespace vindral

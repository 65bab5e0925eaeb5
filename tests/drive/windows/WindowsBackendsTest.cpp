#include <gtest/gtest.h>

#include <cstring>

#include "drive/CdCommands.h"
#include "drive/DriveSearch.h"
#include "drive/Transport.h"
#include "drive/windows/FakeWindows.h"
#include "drive/windows/WindowsTransport.h"

namespace vindral::windows {
namespace {

using test::FakeLetter;
using test::FakeWindows;
using test::InquiryAnswer;

class WindowsTransportTest : public ::testing::Test {
protected:
    void TearDown() override { ResetTransportForTesting(); }

    int32_t Install() {
        ResetTransportForTesting();
        SelectTransport(std::make_unique<WindowsTransport>(fake));
        return InitialiseTransport();
    }

    void UseAspi(int adapters) {
        fake->libraryPresent = true;
        fake->supportInfo = 0x0100u | static_cast<uint32_t>(adapters);
    }

    FakeLetter& Letter(char letter, uint8_t port, uint8_t target) {
        FakeLetter& entry = fake->letters[letter];
        entry.port = port;
        entry.target = target;
        return entry;
    }

    std::shared_ptr<FakeWindows> fake = std::make_shared<FakeWindows>();
};

void PutFixedSense(uint8_t* sense, uint8_t key, uint8_t asc, uint8_t ascq) {
    sense[0] = 0x70;
    sense[2] = key;
    sense[7] = 10;
    sense[12] = asc;
    sense[13] = ascq;
}

// ---- choosing the backend -----------------------------------------------

TEST_F(WindowsTransportTest, AspiIsChosenWhenTheManagerReportsAHostAdapter) {
    UseAspi(2);
    Letter('D', 0, 1);
    fake->adapters[0] = InquiryAnswer({{0, 1, 0, 5, "V", "P", "R"}});
    EXPECT_EQ(Install(), 2);
    EXPECT_FALSE(TransportIsPassThrough());
    ASSERT_EQ(fake->libraryNames.size(), 1u);
    EXPECT_EQ(fake->libraryNames[0], "wnaspi32.dll");
    EXPECT_EQ(fake->supportInfoCalls, 1);
    EXPECT_TRUE(fake->driveTypeQueries.empty());
    EXPECT_TRUE(fake->opens.empty());
}

TEST_F(WindowsTransportTest, EveryUnusableManagerFallsBackToPassThrough) {
    const struct {
        const char* name;
        std::function<void(FakeWindows&)> set;
    } cases[] = {
        {"no library", [](FakeWindows& f) { f.libraryPresent = false; }},
        {"no support entry", [](FakeWindows& f) { f.hasSupportInfo = false; }},
        {"no command entry", [](FakeWindows& f) { f.hasSendCommand = false; }},
        {"SS_COMP with no adapter", [](FakeWindows& f) { f.supportInfo = 0x0100; }},
        {"failed support query", [](FakeWindows& f) { f.supportInfo = 0xE803; }},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        fake = std::make_shared<FakeWindows>();
        UseAspi(1);
        c.set(*fake);
        Letter('E', 1, 0);
        fake->adapters[0] = InquiryAnswer({});
        fake->adapters[1] = InquiryAnswer({{0, 0, 0, 5, "V", "P", "R"}});
        fake->adapters[0][0] = 1;
        EXPECT_EQ(Install(), 2);
        EXPECT_TRUE(TransportIsPassThrough());
        EXPECT_EQ(fake->driveTypeQueries.size(), 24u);
        EXPECT_LE(fake->supportInfoCalls, 1);
        // The manager is not called again.
        EXPECT_EQ(CdCommands::TestUnitReady(1, 0), kStatusOk);
        EXPECT_TRUE(fake->srbsSent.empty());
        EXPECT_EQ(fake->passThroughCalls.size(), 1u);
    }
}

// ---- ASPI execution ---------------------------------------------------------

TEST_F(WindowsTransportTest, AspiRequestPerCommandWithItsOwnEvent) {
    UseAspi(1);
    ASSERT_EQ(Install(), 1);
    uint8_t buffer[2352 * 2] = {};
    EXPECT_EQ(CdCommands::ReadCd(0, 3, 0x1234, 2, buffer), kStatusOk);
    EXPECT_EQ(CdCommands::SetReadSpeed(0, 3, 0xFFFF), kStatusOk);
    CdCommands::SelectBlockMode(0, 3, 1);

    ASSERT_EQ(fake->srbsSent.size(), 3u);
    ASSERT_EQ(fake->events.size(), 3u);
    const SrbExecScsiCmd& read = fake->srbsSent[0];
    EXPECT_EQ(read.SRB_Cmd, 2);
    EXPECT_EQ(read.SRB_HaId, 0);
    EXPECT_EQ(read.SRB_Target, 3);
    EXPECT_EQ(read.SRB_Lun, 0);
    EXPECT_EQ(read.SRB_Flags, 0x48);
    EXPECT_EQ(read.SRB_BufLen, 2u * 2352);
    EXPECT_EQ(read.SRB_BufPointer, buffer);
    EXPECT_EQ(read.SRB_SenseLen, 14);
    EXPECT_EQ(read.SRB_CDBLen, 12);
    const uint8_t expectedCdb[12] = {0xBE, 0x04, 0, 0, 0x12, 0x34, 0, 0, 2, 0x10, 0, 0};
    EXPECT_EQ(std::memcmp(read.CDBByte, expectedCdb, 12), 0);

    const SrbExecScsiCmd& speed = fake->srbsSent[1];
    EXPECT_EQ(speed.SRB_Flags, 0x48);
    EXPECT_EQ(speed.SRB_BufLen, 0u);
    EXPECT_EQ(speed.SRB_CDBLen, 12);
    const SrbExecScsiCmd& modeSelect = fake->srbsSent[2];
    EXPECT_EQ(modeSelect.SRB_Flags, 0x50);
    EXPECT_EQ(modeSelect.SRB_CDBLen, 10);
    EXPECT_EQ(modeSelect.SRB_BufLen, 16u);

    for (std::size_t i = 0; i < fake->events.size(); ++i) {
        const auto& event = fake->events[i];
        EXPECT_TRUE(event.manualReset);
        EXPECT_FALSE(event.initialState);
        EXPECT_TRUE(event.resetBeforeSend);
        EXPECT_TRUE(event.closed);
        EXPECT_EQ(fake->srbsSent[i].SRB_PostProc, event.handle);
    }
}

TEST_F(WindowsTransportTest, AspiStatusAndSenseComeFromTheRequestBlock) {
    UseAspi(1);
    ASSERT_EQ(Install(), 1);
    fake->aspiCommand = [](SrbExecScsiCmd& srb) {
        srb.SRB_Status = 0x04; // SS_ERR
        PutFixedSense(srb.SenseArea, 0x05, 0x21, 0x00);
        return 0x04u;
    };
    uint8_t buffer[2352] = {};
    EXPECT_EQ(CdCommands::ReadCd(0, 0, 999999, 1, buffer), 4);
    EXPECT_EQ(LastSenseCode(), 0x52100);

    // A pending command: the status after completion, never an endless wait.
    fake->aspiCommand = [](SrbExecScsiCmd&) { return 0u; };
    fake->statusOnCompletion = kSsComp;
    EXPECT_EQ(CdCommands::TestUnitReady(0, 0), kStatusOk);
    EXPECT_EQ(LastSenseCode(), 0);
    ASSERT_EQ(fake->waitTimeouts.size(), 1u);
    EXPECT_EQ(fake->waitTimeouts[0], kCommandTimeoutMs);
    EXPECT_NE(fake->waitTimeouts[0], 0xFFFFFFFFu); // INFINITE
}

TEST_F(WindowsTransportTest, AspiCommandThatNeverCompletesIsAbortedAndTimesOut) {
    UseAspi(1);
    ASSERT_EQ(Install(), 1);
    fake->aspiCommand = [](SrbExecScsiCmd&) { return 0u; };
    fake->waitCompletes = false;

    EXPECT_EQ(CdCommands::TestUnitReady(0, 5), kStatusTimeout);
    ASSERT_EQ(fake->abortsSent.size(), 1u);
    EXPECT_EQ(fake->abortsSent[0].SRB_Cmd, 3);
    EXPECT_EQ(fake->abortsSent[0].SRB_HaId, 0);
    EXPECT_NE(fake->abortsSent[0].SRB_ToAbort, nullptr);
    EXPECT_TRUE(fake->events[0].closed);

    // The manager does not hand the aborted block back either: the event
    // stays with it, and the caller still gets a time-out.
    fake->abortCompletes = false;
    EXPECT_EQ(CdCommands::TestUnitReady(0, 5), kStatusTimeout);
    EXPECT_EQ(fake->abortsSent.size(), 2u);
    EXPECT_FALSE(fake->events[1].closed);
    for (uint32_t timeout : fake->waitTimeouts) {
        EXPECT_NE(timeout, 0xFFFFFFFFu);
    }
}

TEST_F(WindowsTransportTest, AspiWithoutAnEventFailsAndKeepsTheLastSense) {
    UseAspi(1);
    ASSERT_EQ(Install(), 1);
    fake->aspiCommand = [](SrbExecScsiCmd& srb) {
        srb.SRB_Status = 0x04;
        PutFixedSense(srb.SenseArea, 0x02, 0x3A, 0x00);
        return 0x04u;
    };
    EXPECT_EQ(CdCommands::TestUnitReady(0, 0), 4);
    ASSERT_EQ(LastSenseCode(), 0x23A00);
    fake->createEventFails = true;
    EXPECT_EQ(CdCommands::TestUnitReady(0, 0), kStatusNoDrive);
    EXPECT_EQ(LastSenseCode(), 0x23A00);
    EXPECT_EQ(fake->srbsSent.size(), 1u);
}

TEST_F(WindowsTransportTest, AspiSendsInquiryAsACommand) {
    UseAspi(2);
    ASSERT_EQ(Install(), 2);
    fake->aspiCommand = [](SrbExecScsiCmd& srb) {
        const bool drive = (srb.SRB_HaId == 0 && srb.SRB_Target == 1) ||
                           (srb.SRB_HaId == 1 && srb.SRB_Target == 0);
        if (srb.CDBByte[0] != 0x12 || !drive) {
            srb.SRB_Status = 0x82; // SS_NO_DEVICE
            return 0x82u;
        }
        std::memset(srb.SRB_BufPointer, ' ', srb.SRB_BufLen);
        srb.SRB_BufPointer[0] = 5;
        std::memcpy(srb.SRB_BufPointer + 8, srb.SRB_HaId == 0 ? "YAMAHA  " : "TEAC    ", 8);
        std::memcpy(srb.SRB_BufPointer + 16, "CD-ROM DRIVE    ", 16);
        srb.SRB_Status = kSsComp;
        return 1u;
    };
    const auto drives = FindDrives();
    ASSERT_EQ(drives.size(), 2u);
    EXPECT_EQ(drives[0].text, " [0:1]  YAMAHA CD-ROM DRIVE");
    EXPECT_EQ(drives[1].text, " [1:0]  TEAC CD-ROM DRIVE");
    EXPECT_EQ(fake->srbsSent.size(), 128u);
    EXPECT_EQ(fake->srbsSent[0].SRB_BufLen, 56u);
    EXPECT_EQ(fake->srbsSent[0].SRB_CDBLen, 6);
}

// ---- pass-through set-up --------------------------------------------------------

TEST_F(WindowsTransportTest, LettersAreScannedInOrderAndOnlyUsableOnesEntered) {
    fake->letters['C'].type = 3; // a fixed disk
    Letter('D', 1, 0);
    Letter('E', 0, 2).opens = false;
    Letter('F', 0, 3).addressFails = true;
    Letter('G', 8, 0);  // port 8
    Letter('H', 0, 16); // target 16
    Letter('K', 2, 5);
    Letter('Z', 1, 0); // same address as D: the later letter wins
    fake->adapters[0] = InquiryAnswer({{0, 0, 0, 5, "V", "P", "R"}});
    ASSERT_EQ(Install(), 1);

    ASSERT_EQ(fake->driveTypeQueries.size(), 24u);
    EXPECT_EQ(fake->driveTypeQueries.front(), "C:\\");
    EXPECT_EQ(fake->driveTypeQueries.back(), "Z:\\");
    std::vector<std::string> opened;
    for (const auto& open : fake->opens) {
        opened.push_back(open.name);
        EXPECT_EQ(open.share, kFileShareRead);
        EXPECT_EQ(open.creation, kOpenExisting);
    }
    const std::vector<std::string> expected = {"\\\\.\\D:", "\\\\.\\E:", "\\\\.\\F:",
                                               "\\\\.\\G:", "\\\\.\\H:", "\\\\.\\K:",
                                               "\\\\.\\Z:", "\\\\.\\SCSI0:", "\\\\.\\SCSI1:"};
    EXPECT_EQ(opened, expected);
    for (const auto& ioctl : fake->ioctls) {
        EXPECT_EQ(ioctl.outSize, 4096u);
        EXPECT_TRUE(ioctl.outZeroed);
    }

    auto lastDevice = [&] {
        return fake->passThroughCalls.empty() ? std::string()
                                              : fake->passThroughCalls.back().device;
    };
    EXPECT_EQ(CdCommands::TestUnitReady(1, 0), kStatusOk);
    EXPECT_EQ(lastDevice(), "\\\\.\\Z:");
    EXPECT_EQ(CdCommands::TestUnitReady(2, 5), kStatusOk);
    EXPECT_EQ(lastDevice(), "\\\\.\\K:");
    const std::size_t sent = fake->passThroughCalls.size();
    for (auto [port, target] : {std::pair<int, int>{0, 2}, {0, 3}, {0, 0}, {7, 15}}) {
        EXPECT_EQ(CdCommands::TestUnitReady(static_cast<uint8_t>(port),
                                            static_cast<uint8_t>(target)),
                  kStatusNoDrive);
    }
    EXPECT_EQ(fake->passThroughCalls.size(), sent);
    // Handles of letters that were not entered are given back.
    for (const auto& open : fake->opens) {
        if (open.name == "\\\\.\\F:" || open.name == "\\\\.\\G:" || open.name == "\\\\.\\H:") {
            EXPECT_TRUE(fake->closedHandles.count(open.handle)) << open.name;
        }
    }
}

TEST_F(WindowsTransportTest, AccessModeFollowsTheSystemVersion) {
    const struct {
        VersionInfo version;
        bool known;
        uint32_t access;
    } cases[] = {
        {{5, 1, 2600, kVerPlatformWin32Nt}, true, kGenericRead | kGenericWrite},
        {{6, 1, 7601, kVerPlatformWin32Nt}, true, kGenericRead},
        {{4, 0, 1381, kVerPlatformWin32Nt}, true, kGenericRead},
        {{4, 10, 2222, 1}, true, kGenericRead},
        {{5, 0, 0, kVerPlatformWin32Nt}, false, kGenericRead},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.version.majorVersion);
        fake = std::make_shared<FakeWindows>();
        fake->version = c.version;
        fake->versionKnown = c.known;
        Letter('D', 0, 0);
        fake->adapters[0] = InquiryAnswer({{0, 0, 0, 5, "V", "P", "R"}});
        ASSERT_EQ(Install(), 1);
        ASSERT_EQ(fake->opens.size(), 3u); // D:, SCSI0:, SCSI1:
        for (const auto& open : fake->opens) {
            EXPECT_EQ(open.access, c.access) << open.name;
        }
    }
}

TEST_F(WindowsTransportTest, NoCdromLetterGivesZeroWithoutAnAdapterScan) {
    fake->letters['C'].type = 3;
    Letter('D', 0, 0).addressFails = true;
    fake->adapters[0] = InquiryAnswer({{0, 0, 0, 5, "V", "P", "R"}});
    EXPECT_EQ(Install(), 0);
    EXPECT_FALSE(TransportIsPassThrough());
    for (const auto& open : fake->opens) {
        EXPECT_EQ(open.name.find("SCSI"), std::string::npos);
    }
    EXPECT_EQ(CdCommands::TestUnitReady(0, 0), kStatusNoDrive);
}

TEST_F(WindowsTransportTest, AdapterScanStopsAtTheFirstSilentAdapterAndAfterNine) {
    Letter('D', 0, 0);
    const auto answering = InquiryAnswer({{0, 0, 0, 5, "V", "P", "R"}});
    fake->adapters[0] = answering;
    fake->adapters[1] = answering;
    fake->adapters[2] = std::vector<uint8_t>(4096, 0); // opens, but no bus
    fake->adapters[3] = answering;
    EXPECT_EQ(Install(), 2);
    for (const auto& open : fake->opens) {
        EXPECT_NE(open.name, "\\\\.\\SCSI3:");
    }

    fake = std::make_shared<FakeWindows>();
    Letter('D', 0, 0);
    for (int n = 0; n < 12; ++n) {
        fake->adapters[n] = answering;
    }
    EXPECT_EQ(Install(), 10);
    EXPECT_EQ(fake->opens.back().name, "\\\\.\\SCSI9:");

    // An adapter that cannot be opened also ends the scan.
    fake = std::make_shared<FakeWindows>();
    Letter('D', 0, 0);
    fake->adapters[1] = answering;
    EXPECT_EQ(Install(), 0);
    EXPECT_TRUE(TransportIsPassThrough()); // the drive letter was entered
}

// ---- pass-through execution -------------------------------------------------------------

TEST_F(WindowsTransportTest, PassThroughRequestAsTheSystemReceivesIt) {
    Letter('E', 0, 1);
    fake->adapters[0] = InquiryAnswer({{0, 1, 0, 5, "V", "P", "R"}});
    ASSERT_EQ(Install(), 1);
    uint8_t toc[804] = {};
    EXPECT_EQ(CdCommands::ReadToc(0, 1, 804, toc), kStatusOk);
    CdCommands::SelectBlockMode(0, 1, 0);
    EXPECT_EQ(CdCommands::TestUnitReady(0, 1), kStatusOk);
    ASSERT_EQ(fake->passThroughCalls.size(), 3u);

    const auto& read = fake->passThroughCalls[0];
    EXPECT_EQ(read.device, "\\\\.\\E:");
    EXPECT_TRUE(read.sameBufferInAndOut);
    EXPECT_EQ(read.inSize, sizeof(PassThroughRequest));
    EXPECT_EQ(read.outSize, sizeof(PassThroughRequest));
    EXPECT_EQ(read.request.sptd.Length, sizeof(ScsiPassThroughDirect));
    EXPECT_EQ(read.request.sptd.TargetId, 1);
    EXPECT_EQ(read.request.sptd.CdbLength, 10);
    EXPECT_EQ(read.request.sptd.DataIn, kScsiIoctlDataIn);
    EXPECT_EQ(read.request.sptd.DataTransferLength, 804u);
    EXPECT_EQ(read.request.sptd.DataBuffer, toc);
    EXPECT_EQ(read.request.sptd.TimeOutValue, 120u); // the 120 s of the other backends
    EXPECT_EQ(read.request.sptd.SenseInfoLength, 32);
    EXPECT_EQ(read.request.sptd.Cdb[0], 0x43);

    const auto& modeSelect = fake->passThroughCalls[1];
    EXPECT_EQ(modeSelect.request.sptd.Cdb[0], 0x55);
    EXPECT_EQ(modeSelect.request.sptd.DataIn, kScsiIoctlDataOut);
    EXPECT_EQ(modeSelect.request.sptd.DataTransferLength, 16u);

    const auto& ready = fake->passThroughCalls[2];
    EXPECT_EQ(ready.request.sptd.CdbLength, 6);
    EXPECT_EQ(ready.request.sptd.DataIn, kScsiIoctlDataIn);
    EXPECT_EQ(ready.request.sptd.DataTransferLength, 0u);
}

TEST_F(WindowsTransportTest, PassThroughStatusAndSense) {
    Letter('D', 0, 0);
    fake->adapters[0] = InquiryAnswer({{0, 0, 0, 5, "V", "P", "R"}});
    ASSERT_EQ(Install(), 1);

    fake->passThrough = [](PassThroughRequest& request, uint32_t&) {
        request.sptd.ScsiStatus = 2;
        PutFixedSense(request.sense, 0x05, 0x21, 0x00);
        return true;
    };
    uint8_t buffer[2352] = {};
    EXPECT_EQ(CdCommands::ReadCd(0, 0, 500000, 1, buffer), 2);
    EXPECT_EQ(LastSenseCode(), 0x52100);

    fake->passThrough = [](PassThroughRequest& request, uint32_t&) {
        request.sptd.ScsiStatus = 2;
        PutFixedSense(request.sense, 0x23, 0x11, 0x00);
        return true;
    };
    EXPECT_EQ(CdCommands::ReadCd(0, 0, 0, 1, buffer), 2);
    EXPECT_EQ(LastSenseCode() >> 16, 0x23);

    // The request refused with ERROR_INVALID_FUNCTION (1): a failure.
    fake->passThrough = [](PassThroughRequest&, uint32_t& error) {
        error = 1;
        return false;
    };
    EXPECT_NE(CdCommands::TestUnitReady(0, 0), kStatusOk);
    EXPECT_EQ(LastSenseCode(), 0);
    fake->passThrough = [](PassThroughRequest&, uint32_t& error) {
        error = 1167; // ERROR_DEVICE_NOT_CONNECTED
        return false;
    };
    EXPECT_EQ(CdCommands::TestUnitReady(0, 0), 1167);

    fake->passThrough = nullptr;
    EXPECT_EQ(CdCommands::TestUnitReady(0, 0), kStatusOk);
    PutFixedSense(buffer, 0, 0, 0);
    fake->passThrough = [](PassThroughRequest& request, uint32_t&) {
        request.sptd.ScsiStatus = 2;
        PutFixedSense(request.sense, 0x06, 0x28, 0x00);
        return true;
    };
    EXPECT_EQ(CdCommands::TestUnitReady(0, 0), 2);
    const std::size_t sent = fake->passThroughCalls.size();
    EXPECT_EQ(CdCommands::TestUnitReady(0, 1), kStatusNoDrive);
    EXPECT_EQ(fake->passThroughCalls.size(), sent);
    EXPECT_EQ(LastSenseCode(), 0x62800);
}

TEST_F(WindowsTransportTest, ShortTransfersAreFailuresInBothBackends) {
    // Pass-through: the system hands back how many bytes moved.
    Letter('D', 0, 0);
    fake->adapters[0] = InquiryAnswer({{0, 0, 0, 5, "V", "P", "R"}});
    ASSERT_EQ(Install(), 1);
    uint32_t moved = 2048;
    fake->passThrough = [&](PassThroughRequest& request, uint32_t&) {
        request.sptd.ScsiStatus = 0;
        if (request.sptd.DataTransferLength > moved) {
            request.sptd.DataTransferLength = moved;
        }
        return true;
    };
    std::vector<uint8_t> buffer(2352 * 2);
    EXPECT_EQ(CdCommands::ReadCd(0, 0, 0, 1, buffer.data()), kStatusShortTransfer);
    EXPECT_EQ(CdCommands::ReadCdda(0, 0, 0, 2, buffer.data()), kStatusShortTransfer);
    EXPECT_EQ(CdCommands::Read10(0, 0, 0, 1, buffer.data()), kStatusShortTransfer);
    moved = 2352;
    EXPECT_EQ(CdCommands::ReadCd(0, 0, 0, 1, buffer.data()), kStatusOk);
    EXPECT_EQ(CdCommands::ReadCd(0, 0, 0, 2, buffer.data()), kStatusShortTransfer);
    // A table of contents shorter than the allocation length is normal.
    moved = 20;
    uint8_t toc[804] = {};
    EXPECT_EQ(CdCommands::ReadToc(0, 0, 804, toc), kStatusOk);

    // ASPI: the host adapter status reports a data underrun.
    ResetTransportForTesting();
    fake = std::make_shared<FakeWindows>();
    UseAspi(1);
    ASSERT_EQ(Install(), 1);
    uint8_t haStat = 0x12; // HASTAT_DO_DU
    fake->aspiCommand = [&](SrbExecScsiCmd& srb) {
        srb.SRB_Status = kSsComp;
        srb.SRB_HaStat = haStat;
        return uint32_t{kSsComp};
    };
    EXPECT_EQ(CdCommands::ReadCd(0, 0, 0, 1, buffer.data()), kStatusShortTransfer);
    EXPECT_EQ(CdCommands::ReadCdda(0, 0, 0, 1, buffer.data()), kStatusShortTransfer);
    EXPECT_EQ(CdCommands::ReadToc(0, 0, 804, toc), kStatusOk);
    haStat = 0;
    EXPECT_EQ(CdCommands::ReadCd(0, 0, 0, 1, buffer.data()), kStatusOk);
}

TEST_F(WindowsTransportTest, PassThroughInquiryWalksTheAdaptersList) {
    Letter('D', 0, 2);
    Letter('E', 1, 4);
    fake->adapters[0] = InquiryAnswer({{0, 0, 0, 0, "DISK    ", "HARD DISK       ", "0001"},
                                       {0, 2, 0, 5, "FIRST   ", "CHANGER SLOT 0  ", "0001"},
                                       {0, 2, 1, 5, "SECOND  ", "CHANGER SLOT 1  ", "0002"}});
    fake->adapters[1] = InquiryAnswer({{0, 4, 0, 0x08, "ARM     ", "CHANGER ARM     ", "0003"},
                                       {1, 4, 1, 5, "LATER   ", "CD-ROM          ", "0004"}});
    ASSERT_EQ(Install(), 2);
    ASSERT_TRUE(TransportIsPassThrough());

    char vendor[9];
    char product[17];
    char revision[5];
    EXPECT_EQ(CdCommands::Inquiry(0, 2, vendor, product, revision), 1);
    EXPECT_STREQ(vendor, "FIRST   ");
    EXPECT_STREQ(revision, "0001");
    EXPECT_EQ(CdCommands::Inquiry(1, 4, vendor, product, revision), 1);
    EXPECT_STREQ(vendor, "LATER   ");
    EXPECT_STREQ(product, "CD-ROM          ");
    EXPECT_EQ(CdCommands::Inquiry(0, 0, vendor, product, revision), 0);
    EXPECT_EQ(CdCommands::Inquiry(2, 0, vendor, product, revision), 0); // no handle
    EXPECT_TRUE(fake->passThroughCalls.empty());

    const auto drives = FindDrives();
    ASSERT_EQ(drives.size(), 2u);
    EXPECT_EQ(drives[0].text, " [0:2]  FIRST CHANGER SLOT 0");
    EXPECT_EQ(drives[1].text, " [1:4]  LATER CD-ROM");
    EXPECT_TRUE(fake->passThroughCalls.empty());
}

TEST(WindowsPassThroughLifetime, HandlesAreClosedWithTheBackend) {
    auto fake = std::make_shared<FakeWindows>();
    fake->letters['D'] = FakeLetter{};
    fake->adapters[0] = InquiryAnswer({{0, 0, 0, 5, "V", "P", "R"}});
    {
        WindowsPassThrough backend(fake);
        ASSERT_EQ(backend.Initialise(), 1);
    }
    for (const auto& open : fake->opens) {
        if (open.handle != InvalidHandle()) {
            EXPECT_TRUE(fake->closedHandles.count(open.handle)) << open.name;
        }
    }
}

} // namespace
} // namespace vindral::windows

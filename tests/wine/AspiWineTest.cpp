// The ASPI backend on Windows (run under Wine): the program's real Windows
// functions, with the test manager of TestAspiManager.cpp installed as
// wnaspi32.dll beside the test executable.
#include <windows.h>

#include <gtest/gtest.h>

#include <chrono>
#include <thread>
#include <vector>

#include "drive/CdCommands.h"
#include "drive/DriveSearch.h"
#include "drive/Transport.h"
#include "drive/emulated/DemoDisc.h"
#include "drive/emulated/EmulatedTransport.h"
#include "drive/windows/WindowsApi.h"
#include "drive/windows/WindowsTransport.h"
#include "TestAspiManager.h"

namespace vindral::wine {
namespace {

// The control functions of the test manager: the same module that the
// backend loads, since a library is loaded once per process.
struct ManagerControl {
    HMODULE module = nullptr;
    ConfigureFn configure = nullptr;
    RecordCountFn count = nullptr;
    RecordFn record = nullptr;
    PendingCountFn pending = nullptr;

    ManagerControl() {
        module = LoadLibraryA("wnaspi32.dll");
        if (module == nullptr) {
            return;
        }
        configure = reinterpret_cast<ConfigureFn>(
            reinterpret_cast<void*>(GetProcAddress(module, "VindralTestAspiConfigure")));
        count = reinterpret_cast<RecordCountFn>(
            reinterpret_cast<void*>(GetProcAddress(module, "VindralTestAspiRecordCount")));
        record = reinterpret_cast<RecordFn>(
            reinterpret_cast<void*>(GetProcAddress(module, "VindralTestAspiRecord")));
        pending = reinterpret_cast<PendingCountFn>(
            reinterpret_cast<void*>(GetProcAddress(module, "VindralTestAspiPendingCount")));
    }

    bool Ready() const { return configure && count && record && pending; }

    std::vector<SrbRecord> Records() const {
        std::vector<SrbRecord> all(static_cast<std::size_t>(count()));
        for (std::size_t i = 0; i < all.size(); ++i) {
            record(static_cast<int32_t>(i), &all[i]);
        }
        return all;
    }
};

class AspiUnderWine : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_TRUE(control.Ready()) << "the test wnaspi32.dll is not beside the executable";
        ResetTransportForTesting();
    }
    void TearDown() override {
        ResetTransportForTesting();
        // Let asynchronous completions of the test finish before the next.
        for (int i = 0; i < 200 && control.pending() > 0; ++i) {
            std::this_thread::sleep_for(std::chrono::milliseconds(5));
        }
    }

    int32_t Install(ManagerMode mode, uint32_t timeoutMs = kCommandTimeoutMs) {
        control.configure(static_cast<int32_t>(mode));
        SelectTransport(
            std::make_unique<windows::WindowsTransport>(windows::RealWindowsApi(), timeoutMs));
        return InitialiseTransport();
    }

    static ManagerControl control;
};

ManagerControl AspiUnderWine::control;

// The same demo disc, read straight from an emulated drive in this process.
struct Reference {
    emulated::EmulatedTransport transport;
    Reference() { transport.AddDrive(emulated::MakeDemoDisc()); }

    int32_t ReadCd(int32_t address, int32_t count, uint8_t* buffer) {
        uint8_t cdb[12] = {0xBE, 0x04};
        cdb[3] = static_cast<uint8_t>(address >> 16);
        cdb[4] = static_cast<uint8_t>(address >> 8);
        cdb[5] = static_cast<uint8_t>(address);
        cdb[8] = static_cast<uint8_t>(count);
        cdb[9] = 0x10;
        SenseResult sense;
        return transport.Execute(0, 0, cdb, 12, false, buffer,
                                 static_cast<uint32_t>(count) * 2352, sense);
    }
};

TEST_F(AspiUnderWine, ManagerIsChosenAndEveryPairIsAskedByInquiry) {
    ASSERT_EQ(Install(ManagerMode::Synchronous), 1);
    EXPECT_FALSE(TransportIsPassThrough());

    const auto drives = FindDrives();
    ASSERT_EQ(drives.size(), 1u);
    EXPECT_EQ(drives[0].device.hostAdapter, 0);
    EXPECT_EQ(drives[0].device.target, 0);
    EXPECT_NE(drives[0].text.find("VINDRAL"), std::string::npos) << drives[0].text;

    const auto records = control.Records();
    ASSERT_EQ(records.size(), 128u);
    for (std::size_t i = 0; i < records.size(); ++i) {
        const SrbRecord& srb = records[i];
        SCOPED_TRACE(i);
        EXPECT_EQ(srb.command, 2);
        EXPECT_EQ(srb.haId, i / 16);
        EXPECT_EQ(srb.target, i % 16);
        EXPECT_EQ(srb.lun, 0);
        EXPECT_EQ(srb.flags, 0x48);
        EXPECT_EQ(srb.cdbLen, 6);
        EXPECT_EQ(srb.cdb[0], 0x12);
        EXPECT_EQ(srb.cdb[4], 56);
        EXPECT_EQ(srb.bufLen, 56u);
        EXPECT_NE(srb.bufPointer, nullptr);
        EXPECT_EQ(srb.senseLen, 14);
        EXPECT_NE(srb.postProc, nullptr);
        EXPECT_TRUE(srb.unsetBytesZero);
    }
}

TEST_F(AspiUnderWine, TableOfContentsAndAudioMatchTheDisc) {
    ASSERT_EQ(Install(ManagerMode::Synchronous), 1);
    TrackTable viaAspi;
    ASSERT_EQ(ReadTrackTable(0, 0, viaAspi), kStatusOk);
    ASSERT_GT(viaAspi.count, 0);

    Reference reference;
    std::vector<uint8_t> expected(16 * 2352);
    std::vector<uint8_t> actual(16 * 2352, 0xEE);
    const int32_t address = viaAspi.entries[0].start + 600;
    ASSERT_EQ(reference.ReadCd(address, 16, expected.data()), kStatusOk);
    ASSERT_EQ(CdCommands::ReadCd(0, 0, address, 16, actual.data()), kStatusOk);
    EXPECT_EQ(actual, expected);

    // READ TOC format 0, then format 1 (the sessions), then READ CD.
    const auto records = control.Records();
    ASSERT_EQ(records.size(), 3u);
    EXPECT_EQ(records[0].cdb[0], 0x43);
    EXPECT_EQ(records[0].cdb[2], 0);
    EXPECT_EQ(records[0].cdbLen, 10);
    EXPECT_EQ(records[1].cdb[0], 0x43);
    EXPECT_EQ(records[1].cdb[2], 1);
    EXPECT_EQ(records[1].bufLen, 12u);
    EXPECT_EQ(records[2].cdbLen, 12);
    EXPECT_EQ(records[2].bufLen, 16u * 2352);
    EXPECT_EQ(records[2].bufPointer, actual.data());
}

TEST_F(AspiUnderWine, ModeSelectGoesOutAndSwitchesTheDriveToAudioBlocks) {
    ASSERT_EQ(Install(ManagerMode::Synchronous), 1);
    EXPECT_EQ(CdCommands::SelectBlockMode(0, 0, 0), kStatusOk);
    std::vector<uint8_t> viaRead10(2 * 2352);
    std::vector<uint8_t> viaReadCd(2 * 2352);
    ASSERT_EQ(CdCommands::Read10(0, 0, 1000, 2, viaRead10.data()), kStatusOk);
    ASSERT_EQ(CdCommands::ReadCd(0, 0, 1000, 2, viaReadCd.data()), kStatusOk);
    EXPECT_EQ(viaRead10, viaReadCd);

    const auto records = control.Records();
    ASSERT_GE(records.size(), 1u);
    EXPECT_EQ(records[0].cdb[0], 0x55);
    EXPECT_EQ(records[0].flags, 0x50);
    EXPECT_EQ(records[0].bufLen, 16u);
}

TEST_F(AspiUnderWine, RefusedCommandKeepsItsSense) {
    ASSERT_EQ(Install(ManagerMode::Synchronous), 1);
    std::vector<uint8_t> buffer(2352);
    const int32_t status = CdCommands::ReadCd(0, 0, 0xFFFFF0, 1, buffer.data());
    EXPECT_NE(status, kStatusOk);
    EXPECT_EQ(LastSenseCode(), 0x52100);
    EXPECT_EQ(CdCommands::TestUnitReady(0, 1), 0x82); // SS_NO_DEVICE from the manager
    EXPECT_EQ(LastSenseCode(), 0);
}

TEST_F(AspiUnderWine, PendingCommandsCompleteThroughTheEvent) {
    ASSERT_EQ(Install(ManagerMode::Asynchronous), 1);
    EXPECT_EQ(CdCommands::TestUnitReady(0, 0), kStatusOk);
    Reference reference;
    std::vector<uint8_t> expected(4 * 2352);
    std::vector<uint8_t> actual(4 * 2352);
    ASSERT_EQ(reference.ReadCd(150, 4, expected.data()), kStatusOk);
    ASSERT_EQ(CdCommands::ReadCd(0, 0, 150, 4, actual.data()), kStatusOk);
    EXPECT_EQ(actual, expected);
}

TEST_F(AspiUnderWine, CommandThatNeverCompletesIsAbortedAfterTheTimeLimit) {
    ASSERT_EQ(Install(ManagerMode::NeverCompletes, 300), 1);
    const auto start = std::chrono::steady_clock::now();
    EXPECT_EQ(CdCommands::TestUnitReady(0, 0), kStatusTimeout);
    EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(5));

    const auto records = control.Records();
    ASSERT_EQ(records.size(), 2u);
    EXPECT_EQ(records[1].command, 3); // SC_ABORT_SRB
    EXPECT_EQ(records[1].toAbort, records[0].address);
    EXPECT_TRUE(records[1].unsetBytesZero);
}

TEST_F(AspiUnderWine, ManagerWithoutAdaptersIsNotUsed) {
    for (ManagerMode mode : {ManagerMode::NoAdapters, ManagerMode::NotReady}) {
        SCOPED_TRACE(static_cast<int>(mode));
        ResetTransportForTesting();
        const int32_t adapters = Install(mode);
        // The pass-through set-up ran instead; the manager gets no command.
        CdCommands::TestUnitReady(0, 0);
        EXPECT_EQ(control.count(), 0);
        if (adapters == 0) {
            EXPECT_FALSE(TransportIsPassThrough());
        }
    }
}

} // namespace
} // namespace vindral::wine

#include <gtest/gtest.h>

#include <functional>
#include <set>

#include "drive/CdCommands.h"
#include "drive/DriveSearch.h"
#include "drive/Transport.h"
#include "drive/linux/FakeKernel.h"
#include "drive/linux/LinuxPassThrough.h"

namespace vindral::linuxdrive {
namespace {

using test::FakeDevice;
using test::FakeKernel;
using test::PutSense;
using test::SgIoCall;

// A backend over the fake kernel, installed as the process's transport.
class LinuxPassThroughTest : public ::testing::Test {
protected:
    void TearDown() override { ResetTransportForTesting(); }

    int32_t Install() {
        ResetTransportForTesting();
        auto backend = std::make_unique<LinuxPassThrough>(kernel);
        backend_ = backend.get();
        SelectTransport(std::move(backend));
        return InitialiseTransport();
    }

    // The device node that the last SG_IO went to.
    std::string LastNode() const {
        return kernel->sgIoCalls.empty() ? std::string() : kernel->sgIoCalls.back().node;
    }

    std::shared_ptr<FakeKernel> kernel = std::make_shared<FakeKernel>();
    LinuxPassThrough* backend_ = nullptr;
};

// ---- the request the kernel receives ------------------------------------

TEST_F(LinuxPassThroughTest, RequestCarriesDirectionLengthsSenseBufferAndTimeLimit) {
    kernel->AddDevice("/dev/sr0", 0, 0, 0, 0);
    ASSERT_EQ(Install(), 1);

    struct Case {
        const char* name;
        std::function<int32_t()> send;
        uint8_t opcode;
        int direction;
        unsigned cdbLength;
        unsigned dataLength;
    };
    uint8_t buffer[2352 * 16] = {};
    const Case cases[] = {
        {"MODE SELECT(10)", [&] { return CdCommands::SelectBlockMode(0, 0, 0); }, 0x55,
         SG_DXFER_TO_DEV, 10, 16},
        {"READ TOC", [&] { return CdCommands::ReadToc(0, 0, 804, buffer); }, 0x43,
         SG_DXFER_FROM_DEV, 10, 804},
        {"INQUIRY", [&] {
             uint8_t cdb[6] = {0x12, 0, 0, 0, 56, 0};
             return ExecuteCommand(0, 0, cdb, buffer, 56);
         }, 0x12, SG_DXFER_FROM_DEV, 6, 56},
        {"READ CD", [&] { return CdCommands::ReadCd(0, 0, 0x1234, 16, buffer); }, 0xBE,
         SG_DXFER_FROM_DEV, 12, 16 * 2352},
        {"READ CDDA", [&] { return CdCommands::ReadCdda(0, 0, 0, 2, buffer); }, 0xD8,
         SG_DXFER_FROM_DEV, 12, 2 * 2352},
        {"READ(10)", [&] { return CdCommands::Read10(0, 0, 0, 3, buffer); }, 0x28,
         SG_DXFER_FROM_DEV, 10, 3 * 2352},
        {"TEST UNIT READY", [&] { return CdCommands::TestUnitReady(0, 0); }, 0x00,
         SG_DXFER_FROM_DEV, 6, 0},
        {"SET CD SPEED", [&] { return CdCommands::SetReadSpeed(0, 0, 0xFFFF); }, 0xBB,
         SG_DXFER_FROM_DEV, 12, 0},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        kernel->sgIoCalls.clear();
        EXPECT_EQ(c.send(), kStatusOk);
        ASSERT_EQ(kernel->sgIoCalls.size(), 1u);
        const SgIoCall& call = kernel->sgIoCalls[0];
        EXPECT_EQ(call.header.interface_id, 'S');
        EXPECT_EQ(call.header.dxfer_direction, c.direction);
        EXPECT_EQ(call.header.cmd_len, c.cdbLength);
        ASSERT_FALSE(call.cdb.empty());
        EXPECT_EQ(call.cdb[0], c.opcode);
        EXPECT_EQ(call.header.dxfer_len, c.dataLength);
        EXPECT_EQ(call.header.mx_sb_len, 32);
        EXPECT_NE(call.header.sbp, nullptr);
        EXPECT_TRUE(call.senseZeroedOnEntry);
        EXPECT_GT(call.header.timeout, 0u);
        EXPECT_EQ(call.header.timeout, kCommandTimeoutMs);
    }
}

TEST_F(LinuxPassThroughTest, DataOutPayloadReachesTheKernelAndRejectedTenByteFormFallsBack) {
    kernel->AddDevice("/dev/sr0", 0, 0, 0, 0);
    ASSERT_EQ(Install(), 1);
    kernel->answer = [](const SgIoCall& call, sg_io_hdr_t& header) {
        if (call.cdb[0] == 0x55) {
            header.status = 2;
            PutSense(header, 0x05, 0x20, 0x00);
        }
        return 0;
    };
    CdCommands::SelectBlockMode(0, 0, 0);
    ASSERT_EQ(kernel->sgIoCalls.size(), 2u);
    const SgIoCall& six = kernel->sgIoCalls[1];
    EXPECT_EQ(six.cdb[0], 0x15);
    EXPECT_EQ(six.header.cmd_len, 6u);
    EXPECT_EQ(six.header.dxfer_direction, SG_DXFER_TO_DEV);
    ASSERT_EQ(six.dataOut.size(), 12u);
    EXPECT_EQ(six.dataOut[4], 0x82); // density of audio blocks
    EXPECT_EQ((six.dataOut[10] << 8) | six.dataOut[11], 2352);
    EXPECT_EQ(kernel->sgIoCalls[0].dataOut.size(), 16u);
}

TEST_F(LinuxPassThroughTest, DataInAnswerArrivesInTheCallersBuffer) {
    kernel->AddDevice("/dev/sr0", 0, 0, 0, 0);
    ASSERT_EQ(Install(), 1);
    kernel->answer = [](const SgIoCall&, sg_io_hdr_t& header) {
        auto* data = static_cast<uint8_t*>(header.dxferp);
        for (unsigned i = 0; i < header.dxfer_len; ++i) {
            data[i] = static_cast<uint8_t>(i * 7);
        }
        return 0;
    };
    std::vector<uint8_t> buffer(2352, 0xEE);
    ASSERT_EQ(CdCommands::ReadCd(0, 0, 100, 1, buffer.data()), kStatusOk);
    for (std::size_t i = 0; i < buffer.size(); i += 331) {
        EXPECT_EQ(buffer[i], static_cast<uint8_t>(i * 7)) << i;
    }
}

// ---- status mapping and sense --------------------------------------------

TEST_F(LinuxPassThroughTest, StatusMappingAndSensePacking) {
    kernel->AddDevice("/dev/sr0", 0, 0, 0, 0);
    ASSERT_EQ(Install(), 1);

    kernel->answer = nullptr;
    EXPECT_EQ(CdCommands::TestUnitReady(0, 0), kStatusOk);
    EXPECT_EQ(LastSenseCode(), 0);

    // CHECK CONDITION: the status byte itself, the sense packed.
    kernel->answer = [](const SgIoCall&, sg_io_hdr_t& header) {
        header.status = 0x02;
        PutSense(header, 0x05, 0x21, 0x00);
        return 0;
    };
    uint8_t buffer[2352] = {};
    EXPECT_EQ(CdCommands::ReadCd(0, 0, 400000, 1, buffer), 2);
    EXPECT_EQ(LastSenseCode(), 0x52100);

    // Incorrect-length bit with sense key 3 stays in the packed code.
    kernel->answer = [](const SgIoCall&, sg_io_hdr_t& header) {
        header.status = 0x02;
        PutSense(header, 0x23, 0x11, 0x05);
        return 0;
    };
    EXPECT_EQ(CdCommands::ReadCd(0, 0, 0, 1, buffer), 2);
    EXPECT_EQ(LastSenseCode() >> 16, 0x23);

    // The request itself refused with EPERM (1 on Linux): never success but
    // its own value, and the sense of this request (none) replaces the last one.
    kernel->answer = [](const SgIoCall&, sg_io_hdr_t&) { return -EPERM; };
    const int32_t refused = CdCommands::TestUnitReady(0, 0);
    EXPECT_NE(refused, kStatusOk);
    EXPECT_EQ(refused, kStatusNotPermitted);
    EXPECT_EQ(LastSenseCode(), 0);

    kernel->answer = [](const SgIoCall&, sg_io_hdr_t&) { return -EIO; };
    EXPECT_EQ(CdCommands::TestUnitReady(0, 0), EIO);
}

TEST_F(LinuxPassThroughTest, HostOrDriverErrorWithGoodStatusIsAFailure) {
    kernel->AddDevice("/dev/sr0", 0, 0, 0, 0);
    ASSERT_EQ(Install(), 1);
    uint16_t host = 0;
    uint16_t driver = 0;
    kernel->answer = [&](const SgIoCall&, sg_io_hdr_t& header) {
        header.host_status = host;
        header.driver_status = driver;
        return 0;
    };
    // DID_NO_CONNECT, DID_BAD_TARGET, DID_ERROR: distinct failures.
    std::set<int32_t> seen;
    for (uint16_t h : {0x01, 0x04, 0x07}) {
        host = h;
        const int32_t status = CdCommands::TestUnitReady(0, 0);
        EXPECT_NE(status, kStatusOk) << h;
        EXPECT_NE(status, kStatusTimeout) << h;
        EXPECT_TRUE(seen.insert(status).second) << h;
    }
    host = 0;
    driver = 0x04; // DRIVER_ERROR
    EXPECT_NE(CdCommands::TestUnitReady(0, 0), kStatusOk);
    driver = 0x08; // DRIVER_SENSE alone: the sense came with a GOOD status
    EXPECT_EQ(CdCommands::TestUnitReady(0, 0), kStatusOk);

    host = 0x03; // DID_TIME_OUT
    driver = 0;
    EXPECT_EQ(CdCommands::TestUnitReady(0, 0), kStatusTimeout);
    host = 0;
    driver = 0x06; // DRIVER_TIMEOUT
    EXPECT_EQ(CdCommands::TestUnitReady(0, 0), kStatusTimeout);
}

TEST_F(LinuxPassThroughTest, UnknownPairFailsWithoutAnySystemCallAndKeepsTheSense) {
    kernel->AddDevice("/dev/sr0", 0, 0, 2, 0);
    ASSERT_EQ(Install(), 1);
    kernel->answer = [](const SgIoCall&, sg_io_hdr_t& header) {
        header.status = 0x02;
        PutSense(header, 0x02, 0x3A, 0x00);
        return 0;
    };
    EXPECT_EQ(CdCommands::TestUnitReady(0, 2), 2);
    ASSERT_EQ(LastSenseCode(), 0x23A00);

    const int ioctlsBefore = kernel->ioctlCount;
    const std::size_t opensBefore = kernel->opens.size();
    for (auto [adapter, target] : {std::pair<int, int>{0, 3}, {1, 2}, {7, 15}, {8, 0}, {0, 16}}) {
        EXPECT_EQ(CdCommands::TestUnitReady(static_cast<uint8_t>(adapter),
                                            static_cast<uint8_t>(target)),
                  kStatusNoDrive)
            << adapter << ":" << target;
    }
    EXPECT_EQ(kernel->ioctlCount, ioctlsBefore);
    EXPECT_EQ(kernel->opens.size(), opensBefore);
    EXPECT_EQ(LastSenseCode(), 0x23A00);
}

// ---- initialisation -------------------------------------------------------

TEST_F(LinuxPassThroughTest, ProbesTheTwentyFourNodesAndOpensReadOnlyWhenWritingIsRefused) {
    kernel->AddDevice("/dev/sr0", 0, 0, 0, 0).writable = false;
    kernel->AddDevice("/dev/sr5", 0, 0, 1, 0);
    FakeDevice& locked = kernel->AddDevice("/dev/sr7", 0, 0, 2, 0);
    locked.writable = false;
    locked.readable = false;
    kernel->AddDevice("/dev/sr24", 0, 0, 3, 0); // beyond the 24 slots
    ASSERT_EQ(Install(), 1);

    std::vector<std::string> probed;
    for (const auto& open : kernel->opens) {
        if (probed.empty() || probed.back() != open.path) {
            probed.push_back(open.path);
        }
    }
    ASSERT_EQ(probed.size(), 24u);
    for (std::size_t i = 0; i < probed.size(); ++i) {
        EXPECT_EQ(probed[i], "/dev/sr" + std::to_string(i));
    }
    // Every node is tried read-write first, non-blocking.
    auto opensOf = [&](const std::string& node) {
        std::vector<FakeKernel::OpenCall> calls;
        for (const auto& open : kernel->opens) {
            if (open.path == node) {
                calls.push_back(open);
            }
        }
        return calls;
    };
    const auto sr0 = opensOf("/dev/sr0");
    ASSERT_EQ(sr0.size(), 2u);
    EXPECT_EQ(sr0[0].flags & O_ACCMODE, O_RDWR);
    EXPECT_EQ(sr0[1].flags & O_ACCMODE, O_RDONLY);
    EXPECT_NE(sr0[0].flags & O_NONBLOCK, 0);
    EXPECT_NE(sr0[1].flags & O_NONBLOCK, 0);
    EXPECT_EQ(opensOf("/dev/sr5").size(), 1u);
    EXPECT_EQ(opensOf("/dev/sr3").size(), 1u); // missing: no second try
    EXPECT_EQ(opensOf("/dev/sr7").size(), 2u);

    // The read-only drive and the read-write one both answer; the locked one
    // is not entered.
    EXPECT_EQ(CdCommands::TestUnitReady(0, 0), kStatusOk);
    EXPECT_EQ(LastNode(), "/dev/sr0");
    EXPECT_EQ(CdCommands::TestUnitReady(0, 1), kStatusOk);
    EXPECT_EQ(LastNode(), "/dev/sr5");
    EXPECT_EQ(CdCommands::TestUnitReady(0, 2), kStatusNoDrive);
    EXPECT_EQ(CdCommands::TestUnitReady(0, 3), kStatusNoDrive);
}

TEST_F(LinuxPassThroughTest, NoDriveGivesZeroAdapters) {
    EXPECT_EQ(Install(), 0);
    EXPECT_EQ(kernel->opens.size(), 24u);
    EXPECT_EQ(CdCommands::TestUnitReady(0, 0), kStatusNoDrive);
    EXPECT_TRUE(FindDrives().empty());
}

TEST_F(LinuxPassThroughTest, HighHostNumbersGetAdapterNumbersInTheOrderFound) {
    kernel->AddDevice("/dev/sr0", 9, 0, 0, 0);  // a USB drive
    kernel->AddDevice("/dev/sr1", 2, 0, 0, 0);
    kernel->AddDevice("/dev/sr2", 300, 0, 5, 0); // host above 255: only the bus number has it
    kernel->AddDevice("/dev/sr3", 9, 0, 1, 0);
    ASSERT_EQ(Install(), 3);
    EXPECT_EQ(backend_->AdapterHost(0), 9);
    EXPECT_EQ(backend_->AdapterHost(1), 2);
    EXPECT_EQ(backend_->AdapterHost(2), 300);

    const std::pair<std::pair<int, int>, const char*> expected[] = {
        {{0, 0}, "/dev/sr0"}, {{1, 0}, "/dev/sr1"}, {{2, 5}, "/dev/sr2"}, {{0, 1}, "/dev/sr3"}};
    for (const auto& [pair, node] : expected) {
        EXPECT_EQ(CdCommands::TestUnitReady(static_cast<uint8_t>(pair.first),
                                            static_cast<uint8_t>(pair.second)),
                  kStatusOk)
            << node;
        EXPECT_EQ(LastNode(), node);
    }
}

TEST_F(LinuxPassThroughTest, BusNumberFailureFallsBackToTheHostByteOfTheAddress) {
    kernel->AddDevice("/dev/sr0", 4, 0, 0, 0);
    kernel->AddDevice("/dev/sr1", 6, 0, 0, 0).busNumberFails = true;
    kernel->AddDevice("/dev/sr2", 6, 0, 1, 0);
    ASSERT_EQ(Install(), 2);
    EXPECT_EQ(backend_->AdapterHost(1), 6);
    EXPECT_EQ(CdCommands::TestUnitReady(1, 0), kStatusOk);
    EXPECT_EQ(LastNode(), "/dev/sr1");
    EXPECT_EQ(CdCommands::TestUnitReady(1, 1), kStatusOk);
    EXPECT_EQ(LastNode(), "/dev/sr2");
}

TEST_F(LinuxPassThroughTest, DrivesBeyondEightHostsOrSixteenTargetsGetFreePairs) {
    for (unsigned i = 0; i < 9; ++i) {
        kernel->AddDevice("/dev/sr" + std::to_string(i), 10 + i, 0, 0, 0);
    }
    kernel->AddDevice("/dev/sr9", 50, 0, 16, 0);   // target 16
    kernel->AddDevice("/dev/sr10", 0, 0, 3, 0).idLunFails = true;
    kernel->AddDevice("/dev/sr11", 10, 0, 200, 0); // target 200 of the first host
    ASSERT_EQ(Install(), 8);
    for (int adapter = 0; adapter < 8; ++adapter) {
        EXPECT_EQ(backend_->AdapterHost(adapter), 10 + adapter);
        EXPECT_EQ(CdCommands::TestUnitReady(static_cast<uint8_t>(adapter), 0), kStatusOk);
        EXPECT_EQ(LastNode(), "/dev/sr" + std::to_string(adapter));
    }
    // The ninth host's drive and the high targets take the first free pairs,
    // in the order found.
    const std::pair<int, const char*> moved[] = {{1, "/dev/sr8"}, {2, "/dev/sr9"},
                                                 {3, "/dev/sr11"}};
    for (const auto& [target, node] : moved) {
        EXPECT_EQ(CdCommands::TestUnitReady(0, static_cast<uint8_t>(target)), kStatusOk) << node;
        EXPECT_EQ(LastNode(), node);
    }
    int entered = 0;
    for (int index = 0; index < 128; ++index) {
        entered += backend_->AddressMapEntry(index) >= 0 ? 1 : 0;
    }
    EXPECT_EQ(entered, 11);
    // The node without an address is closed again.
    for (const auto& open : kernel->opens) {
        if (open.path == "/dev/sr10") {
            ASSERT_GE(open.result, 0);
            EXPECT_FALSE(kernel->IsOpen(open.result)) << open.path;
        }
    }
}

TEST_F(LinuxPassThroughTest, DrivesSharingATargetNeitherCollideNorVanish) {
    kernel->AddDevice("/dev/sr0", 1, 0, 4, 0);
    kernel->AddDevice("/dev/sr1", 1, 1, 4, 0); // another channel, the same target
    kernel->AddDevice("/dev/sr2", 1, 0, 4, 1); // another logical unit
    kernel->AddDevice("/dev/sr3", 1, 0, 0, 0); // its own pair is free: kept
    kernel->AddSysfsDevice("1:0:4:0", 5, "FIRST   ", "DRIVE ONE       ", "0001");
    kernel->AddSysfsDevice("1:1:4:0", 5, "SECOND  ", "DRIVE TWO       ", "0002");
    kernel->AddSysfsDevice("1:0:4:1", 5, "THIRD   ", "DRIVE THREE     ", "0003");
    kernel->AddSysfsDevice("1:0:0:0", 5, "FOURTH  ", "DRIVE FOUR      ", "0004");
    ASSERT_EQ(Install(), 1);
    const std::pair<int, const char*> expected[] = {
        {4, "/dev/sr0"}, {1, "/dev/sr1"}, {2, "/dev/sr2"}, {0, "/dev/sr3"}};
    for (const auto& [target, node] : expected) {
        EXPECT_EQ(CdCommands::TestUnitReady(0, static_cast<uint8_t>(target)), kStatusOk) << node;
        EXPECT_EQ(LastNode(), node);
    }
    const auto drives = FindDrives();
    ASSERT_EQ(drives.size(), 4u);
    EXPECT_EQ(drives[0].text, " [0:0]  FOURTH DRIVE FOUR");
    EXPECT_EQ(drives[1].text, " [0:1]  SECOND DRIVE TWO");
    EXPECT_EQ(drives[2].text, " [0:2]  THIRD DRIVE THREE");
    EXPECT_EQ(drives[3].text, " [0:4]  FIRST DRIVE ONE");
    // The pairs stay as they are for the rest of the run.
    EXPECT_EQ(FindDrives()[1].text, drives[1].text);
    EXPECT_EQ(CdCommands::TestUnitReady(0, 1), kStatusOk);
    EXPECT_EQ(LastNode(), "/dev/sr1");
}

// ---- what the kernel reports besides the status --------------------------

TEST_F(LinuxPassThroughTest, ResidualCountOfASectorReadIsAShortTransfer) {
    kernel->AddDevice("/dev/sr0", 0, 0, 0, 0);
    ASSERT_EQ(Install(), 1);
    int resid = 304; // a 2048-byte block into a 2352-byte buffer
    kernel->answer = [&](const SgIoCall& call, sg_io_hdr_t& header) {
        header.resid = call.cdb[0] == 0x43 ? 700 : resid;
        return 0;
    };
    std::vector<uint8_t> buffer(2352 * 16);
    EXPECT_EQ(CdCommands::Read10(0, 0, 0, 1, buffer.data()), kStatusShortTransfer);
    EXPECT_EQ(CdCommands::ReadCd(0, 0, 0, 16, buffer.data()), kStatusShortTransfer);
    EXPECT_EQ(CdCommands::ReadCdda(0, 0, 0, 16, buffer.data()), kStatusShortTransfer);
    EXPECT_EQ(CdCommands::ReadAudio(0, 0, 0, 16, buffer.data(), kReadCd), kStatusShortTransfer);
    // READ TOC answers fewer bytes than its allocation length: no fault.
    uint8_t toc[804];
    EXPECT_EQ(CdCommands::ReadToc(0, 0, sizeof toc, toc), kStatusOk);
    resid = 0;
    EXPECT_EQ(CdCommands::ReadCd(0, 0, 0, 16, buffer.data()), kStatusOk);
}

TEST_F(LinuxPassThroughTest, CommandsTheKernelRefusesAreReportedAsNotPermitted) {
    kernel->AddDevice("/dev/sr0", 0, 0, 0, 0).writable = false;
    ASSERT_EQ(Install(), 1);
    kernel->answer = [](const SgIoCall& call, sg_io_hdr_t&) {
        // Vendor commands need CAP_SYS_RAWIO; SET CD SPEED a writable open.
        return call.cdb[0] == 0xD8 || call.cdb[0] == 0xBB ? -EPERM : 0;
    };
    uint8_t sector[2352];
    EXPECT_EQ(CdCommands::ReadCdda(0, 0, 0, 1, sector), kStatusNotPermitted);
    EXPECT_NE(DescribeStatus(kStatusNotPermitted, LastSenseCode()).find("not allow"),
              std::string::npos);
    EXPECT_EQ(CdCommands::SetReadSpeed(0, 0, 0xFFFF), kStatusNotPermitted);
    EXPECT_EQ(CdCommands::ReadCd(0, 0, 0, 1, sector), kStatusOk);
}

TEST_F(LinuxPassThroughTest, FailureDetailNamesEachNodeTriedAndWhy) {
    FakeDevice& locked = kernel->AddDevice("/dev/sr0", 0, 0, 0, 0);
    locked.writable = false;
    locked.readable = false;
    kernel->groups["/dev/sr0"] = "cdrom";
    kernel->AddDevice("/dev/sr1", 0, 0, 1, 0).idLunFails = true;
    EXPECT_EQ(Install(), 0);
    EXPECT_EQ(TransportFailureDetail(),
              "/dev/sr0: Permission denied (the user must be in the group 'cdrom'); "
              "/dev/sr1: Invalid argument (no SCSI address: not a CD-ROM drive); "
              "/dev/sr2 to /dev/sr23: No such file or directory");

    ResetTransportForTesting();
    kernel = std::make_shared<FakeKernel>();
    FakeDevice& two = kernel->AddDevice("/dev/sr3", 0, 0, 0, 0);
    two.writable = false;
    two.readable = false; // no group known
    LinuxPassThrough backend(kernel, {"/dev/sr3", "/dev/sr4"});
    EXPECT_EQ(backend.Initialise(), 0);
    EXPECT_EQ(backend.FailureDetail(),
              "/dev/sr3: Permission denied (the user may not open the device node); "
              "/dev/sr4: No such file or directory");
}

TEST(LinuxPassThroughLifetime, DestructionClosesEveryDriveHandle) {
    auto kernel = std::make_shared<FakeKernel>();
    kernel->AddDevice("/dev/sr0", 0, 0, 0, 0);
    kernel->AddDevice("/dev/sr1", 0, 0, 1, 0).writable = false;
    {
        LinuxPassThrough backend(kernel);
        ASSERT_EQ(backend.Initialise(), 1);
        EXPECT_EQ(backend.Initialise(), 1); // a second call changes nothing
    }
    int opened = 0;
    for (const auto& open : kernel->opens) {
        if (open.result >= 0) {
            ++opened;
            EXPECT_FALSE(kernel->IsOpen(open.result)) << open.path;
        }
    }
    EXPECT_EQ(opened, 2);
}

TEST(LinuxPassThroughLifetime, GivenDeviceListLimitsTheProbe) {
    auto kernel = std::make_shared<FakeKernel>();
    kernel->AddDevice("/dev/sr0", 0, 0, 0, 0);
    kernel->AddDevice("/dev/sr3", 0, 0, 1, 0);
    LinuxPassThrough backend(kernel, {"/dev/sr3"});
    ASSERT_EQ(backend.Initialise(), 1);
    ASSERT_EQ(kernel->opens.size(), 1u);
    EXPECT_EQ(kernel->opens[0].path, "/dev/sr3");
    SenseResult sense;
    uint8_t cdb[6] = {};
    EXPECT_EQ(backend.Execute(0, 0, cdb, 6, false, nullptr, 0, sense), kStatusNoDrive);
    EXPECT_FALSE(sense.taken);
    EXPECT_EQ(backend.Execute(0, 1, cdb, 6, false, nullptr, 0, sense), kStatusOk);
    EXPECT_TRUE(sense.taken);
}

// ---- identification from sysfs ----------------------------------------------

TEST_F(LinuxPassThroughTest, InquiryComesFromSysfsWithoutACommand) {
    kernel->AddDevice("/dev/sr0", 9, 0, 0, 0);
    kernel->AddDevice("/dev/sr1", 3, 0, 1, 0);
    kernel->AddSysfsDevice("9:0:0:0", 5, "PLEXTOR ", "DVDR   PX-716A  ", "1.11");
    kernel->AddSysfsDevice("3:0:1:0", 5, "ASUS    ", "DRW-24B1ST   a  ", "1.00");
    kernel->AddSysfsDevice("3:0:0:0", 0, "ATA     ", "Samsung SSD 860 ", "RVT0");
    ASSERT_EQ(Install(), 2);
    ASSERT_TRUE(TransportIsPassThrough());

    char vendor[9];
    char product[17];
    char revision[5];
    EXPECT_EQ(CdCommands::Inquiry(0, 0, vendor, product, revision), 1);
    EXPECT_STREQ(vendor, "PLEXTOR ");
    EXPECT_STREQ(product, "DVDR   PX-716A  ");
    EXPECT_STREQ(revision, "1.11");
    EXPECT_EQ(CdCommands::Inquiry(1, 1, vendor, product, revision), 1);
    EXPECT_STREQ(vendor, "ASUS    ");
    // The disk on the same host has no drive node: not a drive.
    EXPECT_EQ(CdCommands::Inquiry(1, 0, vendor, product, revision), 0);
    EXPECT_EQ(CdCommands::Inquiry(2, 0, vendor, product, revision), 0);
    EXPECT_TRUE(kernel->sgIoCalls.empty());

    const auto drives = FindDrives();
    ASSERT_EQ(drives.size(), 2u);
    EXPECT_EQ(drives[0].text, " [0:0]  PLEXTOR DVDR   PX-716A");
    EXPECT_EQ(drives[1].text, " [1:1]  ASUS DRW-24B1ST   a");
    EXPECT_TRUE(kernel->sgIoCalls.empty());
}

TEST_F(LinuxPassThroughTest, TwoLogicalUnitsOfOneTarget) {
    kernel->AddDevice("/dev/sr0", 0, 0, 2, 0);
    // Listed by the kernel in reverse order; the walk goes by (channel,
    // target, lun).
    kernel->AddSysfsDevice("0:0:2:0", 5, "FIRST   ", "CHANGER SLOT 0  ", "0001");
    kernel->AddSysfsDevice("0:0:2:1", 5, "SECOND  ", "CHANGER SLOT 1  ", "0002");
    ASSERT_EQ(Install(), 1);

    std::vector<InquiryEntry> list;
    ASSERT_TRUE(TransportAdapterInquiryList(0, list));
    ASSERT_EQ(list.size(), 2u);
    EXPECT_EQ(list[0].lun, 0);
    EXPECT_EQ(list[1].lun, 1);

    char vendor[9];
    char product[17];
    char revision[5];
    EXPECT_EQ(CdCommands::Inquiry(0, 2, vendor, product, revision), 1);
    EXPECT_STREQ(vendor, "FIRST   ");
    EXPECT_STREQ(revision, "0001");

    // Only the second unit is a CD-ROM device: its strings are returned.
    kernel->AddSysfsDevice("0:0:2:0", 0x08, "FIRST   ", "CHANGER ARM     ", "0001");
    EXPECT_EQ(CdCommands::Inquiry(0, 2, vendor, product, revision), 1);
    EXPECT_STREQ(vendor, "SECOND  ");
    EXPECT_STREQ(product, "CHANGER SLOT 1  ");
    EXPECT_STREQ(revision, "0002");

    // Neither: the result is 0.
    kernel->AddSysfsDevice("0:0:2:1", 0x08, "SECOND  ", "CHANGER ARM     ", "0002");
    EXPECT_EQ(CdCommands::Inquiry(0, 2, vendor, product, revision), 0);
}

TEST_F(LinuxPassThroughTest, TextAttributesServeWhenTheBinaryInquiryIsMissing) {
    kernel->AddDevice("/dev/sr0", 0, 0, 0, 0);
    kernel->AddDevice("/dev/sr1", 0, 0, 1, 0);
    kernel->AddSysfsDevice("0:0:0:0", 5, "HL-DT-ST", "DVDRAM GH24NSD1 ", "LG00", false);
    kernel->AddSysfsDevice("0:0:1:0", 5, "TSSTcorp", "CDDVDW SH-224DB ", "SB01", false);
    kernel->files.erase("/sys/bus/scsi/devices/0:0:1:0/type"); // unreadable entry
    ASSERT_EQ(Install(), 1);

    std::vector<InquiryEntry> list;
    ASSERT_TRUE(TransportAdapterInquiryList(0, list));
    // The unreadable entry is replaced by what the drive itself answers
    // (here: the fake's empty answer, a device of type 0).
    ASSERT_EQ(list.size(), 2u);
    EXPECT_EQ(list[0].targetId, 0);
    EXPECT_EQ(list[0].inquiryData[0], 5);
    EXPECT_EQ(list[1].targetId, 1);
    ASSERT_EQ(kernel->sgIoCalls.size(), 1u);
    EXPECT_EQ(kernel->sgIoCalls[0].node, "/dev/sr1");
    EXPECT_EQ(kernel->sgIoCalls[0].cdb[0], 0x12);

    char vendor[9];
    char product[17];
    char revision[5];
    EXPECT_EQ(CdCommands::Inquiry(0, 0, vendor, product, revision), 1);
    EXPECT_STREQ(vendor, "HL-DT-ST");
    EXPECT_STREQ(product, "DVDRAM GH24NSD1 ");
    EXPECT_STREQ(revision, "LG00");
    EXPECT_EQ(CdCommands::Inquiry(0, 1, vendor, product, revision), 0);
}

TEST_F(LinuxPassThroughTest, UnknownAdapterHasNoInquiryList) {
    kernel->AddDevice("/dev/sr0", 0, 0, 0, 0);
    kernel->AddSysfsDevice("0:0:0:0", 5, "VENDOR  ", "PRODUCT         ", "0001");
    ASSERT_EQ(Install(), 1);
    std::vector<InquiryEntry> list;
    EXPECT_FALSE(TransportAdapterInquiryList(1, list));
    EXPECT_FALSE(TransportAdapterInquiryList(200, list));
    EXPECT_TRUE(TransportAdapterInquiryList(0, list));
}

TEST_F(LinuxPassThroughTest, DrivesThatSysfsDoesNotShowAnswerARealInquiry) {
    kernel->AddDevice("/dev/sr0", 5, 0, 0, 0);
    kernel->AddDevice("/dev/sr1", 5, 0, 3, 0);
    kernel->AddDevice("/dev/sr2", 5, 0, 4, 0);
    ASSERT_EQ(Install(), 1); // no sysfs at all, as in some containers
    kernel->answer = [](const SgIoCall& call, sg_io_hdr_t& header) {
        const auto* target = call.node.c_str() + std::strlen("/dev/sr");
        if (call.cdb[0] == 0x00) {
            header.status = 2;
            PutSense(header, 0x02, 0x3A, 0x00);
            return 0;
        }
        if (call.cdb[0] != 0x12 || *target == '2') {
            header.status = 2;
            PutSense(header, 0x05, 0x20, 0x00);
            return 0;
        }
        auto* data = static_cast<uint8_t*>(header.dxferp);
        std::memset(data, ' ', header.dxfer_len);
        data[0] = *target == '0' ? 5 : 0;
        std::memcpy(data + 8, "REALDRV ", 8);
        std::memcpy(data + 16, "ASKED BY INQUIRY", 16);
        return 0;
    };
    EXPECT_EQ(CdCommands::TestUnitReady(0, 0), 2);
    ASSERT_EQ(LastSenseCode(), 0x23A00);
    kernel->sgIoCalls.clear();

    const auto drives = FindDrives();
    ASSERT_EQ(drives.size(), 1u);
    EXPECT_EQ(drives[0].text, " [0:0]  REALDRV ASKED BY INQUIRY");
    ASSERT_FALSE(kernel->sgIoCalls.empty());
    for (const SgIoCall& call : kernel->sgIoCalls) {
        EXPECT_EQ(call.cdb[0], 0x12);
        EXPECT_EQ(call.header.dxfer_direction, SG_DXFER_FROM_DEV);
        EXPECT_EQ(call.header.dxfer_len, call.cdb[4]);
        EXPECT_GE(call.header.dxfer_len, 36u);
    }
    // Asking for identification is no command of the caller's: the last
    // sense code stays.
    EXPECT_EQ(LastSenseCode(), 0x23A00);

    // A drive that sysfs does show is not asked.
    kernel->AddSysfsDevice("5:0:3:0", 5, "FROMSYS ", "CACHED          ", "0001");
    kernel->sgIoCalls.clear();
    char vendor[9];
    char product[17];
    char revision[5];
    EXPECT_EQ(CdCommands::Inquiry(0, 3, vendor, product, revision), 1);
    EXPECT_STREQ(vendor, "FROMSYS ");
    for (const SgIoCall& call : kernel->sgIoCalls) {
        EXPECT_NE(call.node, "/dev/sr1");
    }
}

// ---- the status function on its own ---------------------------------------------

TEST(SgIoStatus, EveryNonGoodOutcomeIsAFailure) {
    for (int scsi = 0; scsi < 256; scsi += 2) {
        for (uint16_t host : {0, 1, 3, 7, 0x0E}) {
            for (uint16_t driver : {0, 4, 6, 8, 0x28}) {
                const int32_t status = SgIoStatus(static_cast<uint8_t>(scsi), host, driver);
                const bool clean = scsi == 0 && host == 0 && (driver & 7) == 0;
                EXPECT_EQ(status == kStatusOk, clean) << scsi << " " << host << " " << driver;
            }
        }
    }
}

} // namespace
} // namespace vindral::linuxdrive

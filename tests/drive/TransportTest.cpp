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

TEST(Transport, DescriptorFormatSenseIsPackedFromItsOwnFields) {
    // Response code 0x72: key, ASC and ASCQ in bytes 1 to 3; byte 2 of the
    // fixed layout would give 0x11 as the key and bytes 12/13 nothing.
    uint8_t sense[32] = {0x72, 0x03, 0x11, 0x05, 0, 0, 0, 0};
    EXPECT_EQ(PackSense(sense, sizeof sense), 0x031105);
    sense[0] = 0x73; // deferred error, same layout
    sense[1] = 0x06;
    sense[2] = 0x28;
    sense[3] = 0x00;
    EXPECT_EQ(PackSense(sense, sizeof sense), 0x062800);
    sense[0] = 0xF2; // the valid bit does not change the format
    EXPECT_EQ(PackSense(sense, sizeof sense), 0x062800);
}

TEST(Transport, ShortTransferOfASectorReadIsItsOwnFailure) {
    std::vector<test::RecordedCommand> log;
    test::RecordingBackend* backend = test::InstallRecordingBackend(&log);
    uint32_t residual = 0;
    backend->responder = [&](const test::RecordedCommand&, uint8_t*, SenseResult& sense) {
        sense.residual = residual;
        return kStatusOk;
    };
    std::vector<uint8_t> buffer(2352 * 2);
    const uint8_t readCd[12] = {0xBE, 0x04, 0, 0, 0, 0, 0, 0, 2, 0x10, 0, 0};
    const uint8_t readCdda[12] = {0xD8, 0, 0, 0, 0, 0, 0, 0, 0, 2, 0, 0};
    const uint8_t read10[10] = {0x28, 0, 0, 0, 0, 0, 0, 0, 2, 0};
    EXPECT_EQ(ExecuteCommand(0, 0, readCd, buffer.data(), 4704), kStatusOk);
    residual = 304;
    for (const uint8_t* cdb : {readCd, readCdda, read10}) {
        const int32_t status = ExecuteCommand(0, 0, cdb, buffer.data(), 4704);
        EXPECT_EQ(status, kStatusShortTransfer) << int{cdb[0]};
        EXPECT_NE(status, kStatusOk);
    }
    EXPECT_EQ(kStatusShortTransfer, 0x40000);
    // A table of contents shorter than its allocation length is normal.
    const uint8_t toc[10] = {0x43, 0, 0, 0, 0, 0, 0, 0x03, 0x24, 0};
    EXPECT_EQ(ExecuteCommand(0, 0, toc, buffer.data(), 804), kStatusOk);
    // A drive's own failure stays what it was.
    backend->responder = [](const test::RecordedCommand&, uint8_t*, SenseResult& sense) {
        sense.residual = 2352;
        sense.data[0] = 0x70;
        sense.data[2] = 0x03;
        sense.data[12] = 0x11;
        return 2;
    };
    EXPECT_EQ(ExecuteCommand(0, 0, readCd, buffer.data(), 4704), 2);
    ResetTransportForTesting();
}

// A transport whose drive answers from a script of sense codes, with a
// clock that only moves when the transport pauses.
class TransportRetryTest : public ::testing::Test {
protected:
    void SetUp() override {
        backend_ = test::InstallRecordingBackend(&log_);
        RetryClock clock;
        clock.nowMs = [this] { return now_; };
        clock.sleepMs = [this](uint32_t ms) {
            now_ += ms;
            ++pauses_;
        };
        SetRetryClock(clock);
        backend_->responder = [this](const test::RecordedCommand&, uint8_t*,
                                     SenseResult& sense) {
            int32_t code = 0;
            if (!script_.empty()) {
                code = script_.front();
                script_.erase(script_.begin());
            } else {
                code = always_;
            }
            if (code == 0) {
                return kStatusOk;
            }
            sense.data[0] = descriptor_ ? 0x72 : 0x70;
            if (descriptor_) {
                sense.data[1] = static_cast<uint8_t>(code >> 16);
                sense.data[2] = static_cast<uint8_t>(code >> 8);
                sense.data[3] = static_cast<uint8_t>(code);
            } else {
                sense.data[2] = static_cast<uint8_t>(code >> 16);
                sense.data[12] = static_cast<uint8_t>(code >> 8);
                sense.data[13] = static_cast<uint8_t>(code);
            }
            return 2;
        };
    }
    void TearDown() override { ResetTransportForTesting(); }

    int32_t ReadToc() {
        const uint8_t cdb[10] = {0x43, 0, 0, 0, 0, 0, 0, 0x03, 0x24, 0};
        return ExecuteCommand(0, 3, cdb, answer_, sizeof answer_);
    }
    int32_t TestUnitReady() {
        const uint8_t cdb[6] = {};
        return ExecuteCommand(0, 3, cdb, nullptr, 0);
    }

    std::vector<test::RecordedCommand> log_;
    test::RecordingBackend* backend_ = nullptr;
    std::vector<int32_t> script_;
    int32_t always_ = 0;
    bool descriptor_ = false;
    uint64_t now_ = 1000;
    int pauses_ = 0;
    uint8_t answer_[804] = {};
};

TEST_F(TransportRetryTest, BecomingReadyIsRetriedUntilReadyWithPauses) {
    for (bool descriptor : {false, true}) {
        SCOPED_TRACE(descriptor ? "descriptor sense" : "fixed sense");
        descriptor_ = descriptor;
        log_.clear();
        pauses_ = 0;
        script_ = {0x020401, 0x020401, 0x020401, 0};
        EXPECT_EQ(ReadToc(), kStatusOk);
        EXPECT_EQ(log_.size(), 4u);
        EXPECT_EQ(pauses_, 3);
        EXPECT_EQ(LastSenseCode(), 0);
    }
}

TEST_F(TransportRetryTest, BecomingReadyGivesUpAfterThirtySeconds) {
    always_ = 0x020401;
    const uint64_t started = now_;
    EXPECT_EQ(ReadToc(), 2);
    EXPECT_EQ(LastSenseCode(), 0x020401);
    EXPECT_GE(now_ - started, uint64_t{kBecomingReadyLimitMs});
    EXPECT_LT(now_ - started, uint64_t{kBecomingReadyLimitMs} + 2 * kBecomingReadyPauseMs);
    EXPECT_EQ(log_.size(), static_cast<std::size_t>(pauses_) + 1); // a pause between tries
    EXPECT_GT(log_.size(), 10u);
}

TEST_F(TransportRetryTest, UnitAttentionIsRetriedOnceAndNothingElse) {
    script_ = {0x062800, 0};
    EXPECT_EQ(ReadToc(), kStatusOk);
    EXPECT_EQ(log_.size(), 2u);
    EXPECT_EQ(pauses_, 0);

    log_.clear();
    script_ = {0x062900, 0x062901, 0};
    EXPECT_EQ(ReadToc(), 2) << "a second attention in a row is not passed over";
    EXPECT_EQ(log_.size(), 2u);
    EXPECT_EQ(LastSenseCode(), 0x062901);

    for (int32_t code : {0x023A00, 0x031100, 0x052000, 0x020400, 0x020402, 0x062A00}) {
        SCOPED_TRACE(code);
        log_.clear();
        script_ = {code, 0};
        EXPECT_EQ(ReadToc(), 2);
        EXPECT_EQ(log_.size(), 1u);
        EXPECT_EQ(LastSenseCode(), code);
    }
    EXPECT_EQ(pauses_, 0);
}

TEST_F(TransportRetryTest, TestUnitReadyIsNotRetriedAndStillSeesAChangeThatARetryPassedOver) {
    // The drive's own attention reaches the disc check.
    script_ = {0x062800};
    EXPECT_EQ(TestUnitReady(), 2);
    EXPECT_EQ(LastSenseCode(), 0x062800);
    EXPECT_EQ(log_.size(), 1u);
    script_ = {0x020401};
    EXPECT_EQ(TestUnitReady(), 2);
    EXPECT_EQ(log_.size(), 2u);
    EXPECT_EQ(pauses_, 0);

    // A read meets the attention and is retried: the next readiness test
    // of that drive reports the change without asking the drive.
    log_.clear();
    script_ = {0x062800, 0};
    EXPECT_EQ(ReadToc(), kStatusOk);
    EXPECT_EQ(LastSenseCode(), 0);
    const uint8_t tur[6] = {};
    EXPECT_EQ(ExecuteCommand(0, 4, tur, nullptr, 0), kStatusOk) << "another drive saw nothing";
    EXPECT_EQ(TestUnitReady(), 2);
    EXPECT_EQ(LastSenseCode(), 0x062800);
    EXPECT_EQ(log_.size(), 3u);
    EXPECT_EQ(TestUnitReady(), kStatusOk) << "reported once";
    EXPECT_EQ(log_.size(), 4u);
}

TEST(Transport, StatusDescriptionsNameWhatHappened) {
    EXPECT_EQ(DescribeStatus(2, 0x052100), "code 052100");
    EXPECT_EQ(DescribeStatus(kStatusShortTransfer, 0), "the drive transferred fewer bytes than asked");
    EXPECT_EQ(DescribeStatus(kStatusNotPermitted, 0).find("code"), std::string::npos);
    EXPECT_NE(DescribeStatus(kStatusNotPermitted, 0).find("not allow"), std::string::npos);
}

TEST(Transport, CommandsBeforeInitialisationFail) {
    ResetTransportForTesting();
    uint8_t tur[6] = {};
    EXPECT_EQ(ExecuteCommand(0, 0, tur, nullptr, 0), kStatusNoDrive);
}

} // namespace
} // namespace vindral

#include <gtest/gtest.h>

#include <cstring>

#include "drive/Transport.h"
#include "drive/windows/FakeWindows.h"
#include "drive/windows/WindowsLayouts.h"

namespace vindral::windows {
namespace {

constexpr std::size_t kPointer = sizeof(void*);

template <typename T>
const uint8_t* Bytes(const T& record) {
    return reinterpret_cast<const uint8_t*>(&record);
}

uint32_t Le32At(const uint8_t* bytes, std::size_t at) {
    uint32_t value = 0;
    std::memcpy(&value, bytes + at, 4);
    return value;
}

void* PointerAt(const uint8_t* bytes, std::size_t at) {
    void* value = nullptr;
    std::memcpy(&value, bytes + at, kPointer);
    return value;
}

// Byte positions of SRB_ExecSCSICmd as published (byte-packed), P being the
// pointer size: BufLen 12, BufPointer 16, SenseLen 16+P, CDBLen 17+P,
// PostProc 20+P, CDBByte 40+2P, SenseArea 56+2P.
TEST(AspiRequestBlock, FilledAtThePublishedBytePositions) {
    uint8_t cdb[12] = {0xBE, 0x04, 0, 0, 0x12, 0x34, 0, 0, 0x10, 0x10, 0, 0};
    uint8_t buffer[16];
    int marker = 0;
    SrbExecScsiCmd srb;
    std::memset(&srb, 0xCC, sizeof srb); // fill must zero everything it does not set
    FillExecScsiCmd(srb, 3, 9, cdb, 12, false, buffer, 37632, &marker);
    const uint8_t* b = Bytes(srb);
    EXPECT_EQ(sizeof srb, 72 + 2 * kPointer);
    EXPECT_EQ(b[0], 2);    // SC_EXEC_SCSI_CMD
    EXPECT_EQ(b[1], 0);    // status
    EXPECT_EQ(b[2], 3);    // host adapter
    EXPECT_EQ(b[3], 0x48); // event notify, data in
    EXPECT_EQ(Le32At(b, 4), 0u);
    EXPECT_EQ(b[8], 9);    // target
    EXPECT_EQ(b[9], 0);    // lun
    EXPECT_EQ(Le32At(b, 12), 37632u);
    EXPECT_EQ(PointerAt(b, 16), buffer);
    EXPECT_EQ(b[16 + kPointer], 14);
    EXPECT_EQ(b[17 + kPointer], 12);
    EXPECT_EQ(PointerAt(b, 20 + kPointer), &marker);
    EXPECT_EQ(std::memcmp(b + 40 + 2 * kPointer, cdb, 12), 0);
    // Everything else zero: reserved fields, the rest of the CDB, the sense.
    std::vector<std::pair<std::size_t, std::size_t>> zeroRanges = {
        {10, 2}, {18 + kPointer, 2}, {20 + 2 * kPointer, 20}, {52 + 2 * kPointer, 4},
        {56 + 2 * kPointer, 16}};
    for (auto [at, width] : zeroRanges) {
        for (std::size_t i = at; i < at + width; ++i) {
            EXPECT_EQ(b[i], 0) << "byte " << i;
        }
    }
}

TEST(AspiRequestBlock, DirectionFlagsAndCommandsWithoutData) {
    uint8_t modeSelect[10] = {0x55, 0x10, 0, 0, 0, 0, 0, 0, 16, 0};
    uint8_t parameters[16] = {};
    SrbExecScsiCmd srb;
    FillExecScsiCmd(srb, 0, 0, modeSelect, 10, true, parameters, 16, nullptr);
    EXPECT_EQ(srb.SRB_Flags, 0x50);
    EXPECT_EQ(srb.SRB_CDBLen, 10);

    uint8_t testUnitReady[6] = {};
    FillExecScsiCmd(srb, 1, 2, testUnitReady, 6, false, nullptr, 0, nullptr);
    EXPECT_EQ(srb.SRB_Flags, 0x48);
    EXPECT_EQ(srb.SRB_BufLen, 0u);
    EXPECT_EQ(srb.SRB_BufPointer, nullptr);
    EXPECT_EQ(srb.SRB_CDBLen, 6);
}

TEST(AspiSupportInfo, StatusInTheSecondByteAdaptersInTheFirst) {
    const struct {
        uint32_t value;
        bool usable;
        int adapters;
    } cases[] = {
        {0x0102, true, 2}, {0x0100, false, 0}, {0x0202, false, 2},
        {0xE801, false, 1}, {0x12340101, true, 1}, {0x0000, false, 0},
    };
    for (const auto& c : cases) {
        const AspiSupport support = DecodeSupportInfo(c.value);
        EXPECT_EQ(support.Usable(), c.usable) << std::hex << c.value;
        EXPECT_EQ(support.hostAdapters, c.adapters) << std::hex << c.value;
    }
}

// SCSI_PASS_THROUGH_DIRECT as the system declares it (natural alignment):
// Length 0, ScsiStatus 2, PathId 3, TargetId 4, Lun 5, CdbLength 6,
// SenseInfoLength 7, DataIn 8, DataTransferLength 12, TimeOutValue 16,
// DataBuffer 20 (24 with 8-byte pointers), SenseInfoOffset 24 (32), Cdb 28 (36).
TEST(PassThroughRequestRecord, FilledAtTheSystemsBytePositions) {
    const std::size_t bufferAt = kPointer == 4 ? 20 : 24;
    const std::size_t senseOffsetAt = bufferAt + kPointer;
    const std::size_t cdbAt = senseOffsetAt + 4;
    const std::size_t recordSize = kPointer == 4 ? 44 : 56;

    uint8_t cdb[10] = {0x43, 0, 0, 0, 0, 0, 0, 0x03, 0x24, 0};
    uint8_t buffer[804];
    PassThroughRequest request;
    std::memset(&request, 0xCC, sizeof request);
    FillPassThroughRequest(request, cdb, 10, false, buffer, 804);
    const uint8_t* b = Bytes(request);
    EXPECT_EQ(b[0] | (b[1] << 8), static_cast<int>(recordSize));
    EXPECT_EQ(b[2], 0);
    EXPECT_EQ(b[3], 0); // path
    EXPECT_EQ(b[4], 1); // target
    EXPECT_EQ(b[5], 0); // lun
    EXPECT_EQ(b[6], 10);
    EXPECT_EQ(b[7], 32);
    EXPECT_EQ(b[8], 1); // data in
    EXPECT_EQ(Le32At(b, 12), 804u);
    EXPECT_EQ(Le32At(b, 16), 120u);
    EXPECT_EQ(PointerAt(b, bufferAt), buffer);
    const uint32_t senseOffset = Le32At(b, senseOffsetAt);
    EXPECT_EQ(senseOffset, recordSize + 4);
    EXPECT_EQ(b + senseOffset, request.sense);
    EXPECT_EQ(std::memcmp(b + cdbAt, cdb, 10), 0);
    EXPECT_GE(sizeof request, senseOffset + 32);
    for (std::size_t i = senseOffset; i < senseOffset + 32; ++i) {
        EXPECT_EQ(b[i], 0) << "sense byte " << i;
    }
    if (kPointer == 4) {
        EXPECT_EQ(sizeof request, 80u);
    }

    uint8_t modeSelect6[6] = {0x15, 0, 0, 0, 12, 0};
    FillPassThroughRequest(request, modeSelect6, 6, true, buffer, 12);
    EXPECT_EQ(request.sptd.DataIn, 0);
    EXPECT_EQ(request.sptd.CdbLength, 6);
    uint8_t setSpeed[12] = {0xBB, 0, 0xFF, 0xFF, 0xFF, 0xFF};
    FillPassThroughRequest(request, setSpeed, 12, false, nullptr, 0);
    EXPECT_EQ(request.sptd.DataIn, 1);
    EXPECT_EQ(request.sptd.DataTransferLength, 0u);
}

TEST(PassThroughStatus, GoodIsOneAndNoErrorCodeReadsAsSuccess) {
    EXPECT_EQ(PassThroughStatus(true, 0, 0), kStatusOk);
    EXPECT_EQ(PassThroughStatus(true, 2, 0), 2);
    EXPECT_EQ(PassThroughStatus(true, 0x18, 0), 0x18);
    EXPECT_EQ(PassThroughStatus(false, 0, 0x37), 0x37);
    EXPECT_EQ(PassThroughStatus(false, 0, 21), 21); // ERROR_NOT_READY
    // ERROR_INVALID_FUNCTION is 1; a failure without a code is not 0 or 1.
    EXPECT_NE(PassThroughStatus(false, 0, 1), kStatusOk);
    EXPECT_NE(PassThroughStatus(false, 0, 0), kStatusOk);
    EXPECT_NE(PassThroughStatus(false, 0, 0), 0);
    // A stale ScsiStatus does not hide a failed request.
    EXPECT_EQ(PassThroughStatus(false, 0, 5), 5);
}

TEST(AccessMode, ReadWriteOnlyForNtMajorVersionFive) {
    EXPECT_EQ(AccessModeFor(true, kVerPlatformWin32Nt, 5), kGenericRead | kGenericWrite);
    for (uint32_t major : {3u, 4u, 6u, 10u}) {
        EXPECT_EQ(AccessModeFor(true, kVerPlatformWin32Nt, major), kGenericRead) << major;
    }
    EXPECT_EQ(AccessModeFor(true, 1, 5), kGenericRead); // the Windows 9x family
    EXPECT_EQ(AccessModeFor(false, kVerPlatformWin32Nt, 5), kGenericRead);
}

// ---- IOCTL_SCSI_GET_INQUIRY_DATA answers ------------------------------------

void Put32(std::vector<uint8_t>& answer, std::size_t at, uint32_t value) {
    for (int i = 0; i < 4; ++i) {
        answer[at + i] = static_cast<uint8_t>(value >> (8 * i));
    }
}

TEST(AdapterInquiryData, WalksTheFirstBusInTheAnswersOrder) {
    const auto answer = test::InquiryAnswer({{0, 1, 0, 5, "VENDOR A", "PRODUCT A", "1.00"},
                                             {0, 0, 0, 0, "DISK    ", "DISK", "2.00"},
                                             {1, 1, 1, 5, "VENDOR B", "PRODUCT B", "3.00"}});
    const auto entries = ParseAdapterInquiryData(answer.data(), answer.size());
    ASSERT_EQ(entries.size(), 3u);
    EXPECT_EQ(entries[0].targetId, 1);
    EXPECT_EQ(entries[1].targetId, 0);
    EXPECT_EQ(entries[2].pathId, 1);
    EXPECT_EQ(entries[2].lun, 1);
    EXPECT_EQ(entries[0].inquiryData[0], 5);
    EXPECT_EQ(std::string(reinterpret_cast<const char*>(&entries[2].inquiryData[8]), 8),
              "VENDOR B");
    EXPECT_EQ(std::string(reinterpret_cast<const char*>(&entries[1].inquiryData[32]), 4), "2.00");
}

TEST(AdapterInquiryData, EmptyZeroedAndBrokenAnswersEndTheWalkSafely) {
    std::vector<uint8_t> zeroed(4096, 0);
    EXPECT_TRUE(ParseAdapterInquiryData(zeroed.data(), zeroed.size()).empty());
    EXPECT_TRUE(ParseAdapterInquiryData(nullptr, 4096).empty());
    EXPECT_TRUE(ParseAdapterInquiryData(zeroed.data(), 6).empty());

    auto answer = test::InquiryAnswer({{0, 1, 0, 5, "A", "A", "A"}, {0, 2, 0, 5, "B", "B", "B"}});
    // The second entry points back to the first: each is listed once.
    Put32(answer, 16 + 48 + 8, 16);
    EXPECT_EQ(ParseAdapterInquiryData(answer.data(), answer.size()).size(), 2u);
    // An entry that points to itself.
    Put32(answer, 16 + 8, 16);
    EXPECT_EQ(ParseAdapterInquiryData(answer.data(), answer.size()).size(), 1u);
    // A next offset beyond the answer.
    Put32(answer, 16 + 8, 5000);
    EXPECT_EQ(ParseAdapterInquiryData(answer.data(), answer.size()).size(), 1u);
    // A first offset whose header does not fit.
    Put32(answer, 8, 4096 - 11);
    EXPECT_TRUE(ParseAdapterInquiryData(answer.data(), answer.size()).empty());
    // An offset of 0xFFFFFFFF does not wrap around.
    Put32(answer, 8, 0xFFFFFFFFu);
    EXPECT_TRUE(ParseAdapterInquiryData(answer.data(), answer.size()).empty());
}

TEST(AdapterInquiryData, InquiryBytesStopAtTheDeclaredLengthAndTheAnswersEnd) {
    auto answer = test::InquiryAnswer({{0, 3, 0, 5, "VENDOR  ", "PRODUCT", "REV1"}});
    Put32(answer, 16 + 4, 8); // only the first 8 bytes are inquiry data
    auto entries = ParseAdapterInquiryData(answer.data(), answer.size());
    ASSERT_EQ(entries.size(), 1u);
    EXPECT_EQ(entries[0].inquiryData[0], 5);
    EXPECT_EQ(entries[0].inquiryData[8], 0);
    EXPECT_EQ(entries[0].inquiryData[35], 0);

    // An entry in the last 20 bytes: its data are cut at the answer's end.
    std::vector<uint8_t> tail(4096, 0);
    tail[0] = 1;
    Put32(tail, 8, 4096 - 20);
    tail[4096 - 20 + 1] = 7;
    Put32(tail, 4096 - 20 + 4, 36);
    std::fill(tail.end() - 8, tail.end(), 0xAB);
    entries = ParseAdapterInquiryData(tail.data(), tail.size());
    ASSERT_EQ(entries.size(), 1u);
    EXPECT_EQ(entries[0].targetId, 7);
    EXPECT_EQ(entries[0].inquiryData[7], 0xAB);
    EXPECT_EQ(entries[0].inquiryData[8], 0);
}

} // namespace
} // namespace vindral::windows

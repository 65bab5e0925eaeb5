#include <gtest/gtest.h>

#include <cstring>
#include <map>
#include <set>
#include <tuple>
#include <thread>
#include <vector>

#include "drive/CdCommands.h"
#include "drive/Transport.h"
#include "drive/emulated/EmulatedDrive.h"
#include "drive/emulated/EmulatedTransport.h"
#include "PressedDisc.h"

namespace vindral::emulated {
namespace {

using Bytes = std::vector<uint8_t>;

// Sector contents that tell where they came from: byte i of sector a is a
// function of both.
class PatternSource : public SectorSource {
public:
    bool Read(int64_t, SectorAddress address, uint8_t* out) const override {
        for (int i = 0; i < kSectorBytes; ++i) {
            out[i] = Expected(address, i);
        }
        return true;
    }
    static uint8_t Expected(SectorAddress address, int i) {
        return static_cast<uint8_t>(address * 7 + i * 13 + (i >> 8));
    }
};

// Three audio tracks of 100, 50 and 60 sectors and a data track of 40.
std::shared_ptr<Disc> MakeTestDisc() {
    auto disc = std::make_shared<Disc>();
    disc->AddTrack(1, false, 0);
    disc->AddTrack(2, false, 100);
    disc->AddTrack(3, false, 150);
    disc->AddTrack(4, true, 210);
    disc->SetLeadOut(250);
    disc->AddSegment(0, 210, false, std::make_shared<PatternSource>());
    return disc;
}

constexpr int32_t Sense(int key, int asc, int ascq = 0) { return key * 65536 + asc * 256 + ascq; }

class EmulatedDriveTest : public ::testing::Test {
protected:
    void SetUp() override {
        ResetTransportForTesting();
        auto transport = std::make_unique<EmulatedTransport>();
        disc = MakeTestDisc();
        drive = transport->AddDrive(disc);
        second = transport->AddDrive(nullptr);
        SelectTransport(std::move(transport));
        ASSERT_EQ(InitialiseTransport(), 1);
    }
    void TearDown() override { ResetTransportForTesting(); }

    // A command the program has no function for, straight through the seam.
    int32_t Send(const Bytes& cdb, void* buffer, uint32_t length) {
        return ExecuteCommand(0, 0, cdb.data(), buffer, length);
    }

    std::shared_ptr<Disc> disc;
    std::shared_ptr<EmulatedDrive> drive;
    std::shared_ptr<EmulatedDrive> second;
};

TEST_F(EmulatedDriveTest, TransportAddressesDrivesByIndex) {
    char vendor[9], product[17], revision[5];
    EXPECT_EQ(CdCommands::Inquiry(0, 0, vendor, product, revision), 1);
    EXPECT_EQ(CdCommands::Inquiry(0, 1, vendor, product, revision), 1);
    EXPECT_EQ(CdCommands::TestUnitReady(0, 0), kStatusOk);
    EXPECT_EQ(CdCommands::TestUnitReady(0, 1), kStatusCheckCondition) << "drive 1 has no disc";
    EXPECT_EQ(LastSenseCode(), Sense(2, 0x3A));
    EXPECT_EQ(CdCommands::TestUnitReady(0, 2), kStatusNoDrive);
    EXPECT_EQ(CdCommands::TestUnitReady(1, 0), kStatusNoDrive);
    EXPECT_EQ(LastSenseCode(), Sense(2, 0x3A)) << "no device: the last sense stays";

    EmulatedTransport empty;
    EXPECT_EQ(empty.Initialise(), 0);
    EmulatedTransport many;
    for (int i = 0; i < 17; ++i) {
        many.AddDrive(nullptr);
    }
    EXPECT_EQ(many.Initialise(), 2);
    SenseResult sense;
    const uint8_t tur[6] = {};
    EXPECT_EQ(many.Execute(1, 0, tur, 6, false, nullptr, 0, sense), kStatusCheckCondition);
    EXPECT_TRUE(sense.taken);
    EXPECT_EQ(many.Execute(1, 1, tur, 6, false, nullptr, 0, sense), kStatusNoDrive);
    EXPECT_FALSE(sense.taken);
}

TEST_F(EmulatedDriveTest, InquiryGivesIdentityAndHonoursTheLength) {
    drive->SetIdentity("ACME", "SPINNER 9000 PRO MAX", "2.1");
    char vendor[9], product[17], revision[5];
    ASSERT_EQ(CdCommands::Inquiry(0, 0, vendor, product, revision), 1);
    EXPECT_STREQ(vendor, "ACME    ");
    EXPECT_STREQ(product, "SPINNER 9000 PRO");
    EXPECT_STREQ(revision, "2.1 ");

    uint8_t answer[64];
    std::memset(answer, 0xEE, sizeof answer);
    ASSERT_EQ(Send({0x12, 0, 0, 0, 10, 0}, answer, sizeof answer), kStatusOk);
    EXPECT_EQ(answer[0], 0x05);
    EXPECT_EQ(answer[9], 'C');
    EXPECT_EQ(answer[10], 0xEE) << "allocation length 10";
    std::memset(answer, 0xEE, sizeof answer);
    ASSERT_EQ(Send({0x12, 0, 0, 0, 60, 0}, answer, 20), kStatusOk);
    EXPECT_EQ(answer[19], 'N');
    EXPECT_EQ(answer[20], 0xEE) << "buffer length 20";
    EXPECT_EQ(Send({0x12, 1, 0x80, 0, 60, 0}, answer, 60), kStatusCheckCondition);
    EXPECT_EQ(LastSenseCode(), Sense(5, 0x24));
}

TEST_F(EmulatedDriveTest, ReadTocInSectorAddressesAndMsf) {
    uint8_t toc[804] = {};
    ASSERT_EQ(CdCommands::ReadToc(0, 0, sizeof toc, toc), kStatusOk);
    EXPECT_EQ((toc[0] << 8) | toc[1], 2 + 5 * 8);
    EXPECT_EQ(toc[2], 1);
    EXPECT_EQ(toc[3], 4);
    const SectorAddress starts[] = {0, 100, 150, 210, 250};
    for (int i = 0; i < 5; ++i) {
        const uint8_t* d = toc + 4 + 8 * i;
        EXPECT_EQ(d[1], i == 3 || i == 4 ? 0x14 : 0x10) << i;
        EXPECT_EQ(d[2], i == 4 ? 0xAA : i + 1);
        EXPECT_EQ((d[4] << 24) | (d[5] << 16) | (d[6] << 8) | d[7], starts[i]) << i;
    }

    uint8_t msf[64] = {};
    ASSERT_EQ(Send({0x43, 0x02, 0, 0, 0, 0, 0, 0, 64, 0}, msf, sizeof msf), kStatusOk);
    const uint8_t* leadOut = msf + 4 + 8 * 4;
    EXPECT_EQ(leadOut[2], 0xAA);
    // 250 + 150 sectors = 00:05:25
    EXPECT_EQ(leadOut[5], 0);
    EXPECT_EQ(leadOut[6], 5);
    EXPECT_EQ(leadOut[7], 25);

    uint8_t small[12];
    std::memset(small, 0xEE, sizeof small);
    ASSERT_EQ(CdCommands::ReadToc(0, 0, 12, small), kStatusOk);
    EXPECT_EQ((small[0] << 8) | small[1], 42) << "the full length is reported";
    EXPECT_EQ(small[11], 0) << "first descriptor's last byte";
    for (const uint8_t format : {0x03, 0x04}) {
        EXPECT_EQ(Send({0x43, 0, format, 0, 0, 0, 0, 0, 64, 0}, msf, 64), kStatusCheckCondition)
            << "formats 0, 1, 2 and 5 only";
        EXPECT_EQ(LastSenseCode(), Sense(5, 0x24));
    }

    // Format 1 of a disc of one session: session 1 of 1, its first track.
    uint8_t info[CdCommands::kSessionInfoLength];
    std::memset(info, 0xEE, sizeof info);
    ASSERT_EQ(CdCommands::ReadSessionInfo(0, 0, info), kStatusOk);
    EXPECT_EQ((info[0] << 8) | info[1], 10);
    EXPECT_EQ(info[2], 1);
    EXPECT_EQ(info[3], 1);
    EXPECT_EQ(info[5], 0x10);
    EXPECT_EQ(info[6], 1);
    EXPECT_EQ((info[8] << 24) | (info[9] << 16) | (info[10] << 8) | info[11], 0);
}

// An Enhanced CD: three audio tracks in session 1, a data track in session 2
// 11,400 sectors after the first session's end; track 2 has FLAGS DCP PRE.
TEST_F(EmulatedDriveTest, SecondSessionInTheTableOfContentsAndItsGap) {
    auto enhanced = std::make_shared<Disc>();
    enhanced->AddTrack(1, false, 0);
    enhanced->AddTrack(2, false, 100, 1, 0x03);
    enhanced->AddTrack(3, false, 150, 1, 0x08);
    enhanced->AddTrack(4, true, 210 + 11400, 2);
    enhanced->SetLeadOut(210 + 11400 + 40);
    enhanced->AddSegment(0, 210, false, std::make_shared<PatternSource>());
    enhanced->AddBetweenSessions(210, 11250);
    enhanced->AddSegment(11460, 150, true, MakeSilenceSource(true));
    drive->Insert(enhanced);
    EXPECT_EQ(CdCommands::TestUnitReady(0, 0), kStatusCheckCondition) << "medium changed";

    uint8_t toc[64] = {};
    ASSERT_EQ(CdCommands::ReadToc(0, 0, sizeof toc, toc), kStatusOk);
    EXPECT_EQ(toc[4 + 8 * 1 + 1], 0x13) << "ADR 1, DCP and PRE";
    EXPECT_EQ(toc[4 + 8 * 2 + 1], 0x18) << "ADR 1, four channels";
    EXPECT_EQ(toc[4 + 8 * 3 + 1], 0x14);
    EXPECT_EQ((toc[4 + 8 * 3 + 6] << 8) | toc[4 + 8 * 3 + 7], 11610);

    uint8_t info[CdCommands::kSessionInfoLength] = {};
    ASSERT_EQ(CdCommands::ReadSessionInfo(0, 0, info), kStatusOk);
    EXPECT_EQ(info[2], 1);
    EXPECT_EQ(info[3], 2);
    EXPECT_EQ(info[5], 0x14);
    EXPECT_EQ(info[6], 4);
    EXPECT_EQ((info[10] << 8) | info[11], 11610);
    uint8_t msf[12] = {};
    ASSERT_EQ(Send({0x43, 0x02, 0x01, 0, 0, 0, 0, 0, 12, 0}, msf, sizeof msf), kStatusOk);
    // 11610 + 150 sectors = 02:36:60
    EXPECT_EQ(msf[9], 2);
    EXPECT_EQ(msf[10], 36);
    EXPECT_EQ(msf[11], 60);
    // The same asked the older way, the format in the control byte's top
    // bits, as the Linux sr driver asks for it; 3 there is no format.
    uint8_t old[12] = {};
    ASSERT_EQ(Send({0x43, 0, 0, 0, 0, 0, 0, 0, 12, 0x40}, old, sizeof old), kStatusOk);
    EXPECT_EQ(old[3], 2);
    EXPECT_EQ(old[6], 4);
    EXPECT_EQ((old[10] << 8) | old[11], 11610);
    EXPECT_EQ(Send({0x43, 0, 0, 0, 0, 0, 0, 0, 12, 0xC0}, old, sizeof old), kStatusCheckCondition);
    EXPECT_EQ(LastSenseCode(), Sense(5, 0x24));

    // The lead-out and lead-in between the sessions are no logical blocks.
    std::vector<uint8_t> buffer(16 * kSectorBytes);
    for (int32_t method : {kReadCd, kReadCdda}) {
        ASSERT_EQ(CdCommands::ReadAudio(0, 0, 194, 16, buffer.data(), method), kStatusOk);
        EXPECT_EQ(buffer[15 * kSectorBytes], PatternSource::Expected(209, 0));
        EXPECT_EQ(CdCommands::ReadAudio(0, 0, 200, 16, buffer.data(), method),
                  kStatusCheckCondition)
            << method;
        EXPECT_EQ(LastSenseCode(), Sense(5, 0x21));
        EXPECT_EQ(CdCommands::ReadAudio(0, 0, 5000, 1, buffer.data(), method),
                  kStatusCheckCondition);
        EXPECT_EQ(LastSenseCode(), Sense(5, 0x21));
    }
    // The pregap of the data track (150 sectors) reads as data.
    EXPECT_EQ(CdCommands::ReadCd(0, 0, 11460, 1, buffer.data()), kStatusCheckCondition);
    EXPECT_EQ(LastSenseCode(), Sense(5, 0x64));
}

TEST_F(EmulatedDriveTest, AudioReadsDeliverTheSectors) {
    std::vector<uint8_t> buffer(16 * kSectorBytes);
    for (int32_t method : {kReadCd, kReadCdda}) {
        std::fill(buffer.begin(), buffer.end(), 0);
        ASSERT_EQ(CdCommands::ReadAudio(0, 0, 95, 16, buffer.data(), method), kStatusOk);
        for (int s = 0; s < 16; ++s) {
            for (int i : {0, 1, 1000, 2351}) {
                ASSERT_EQ(buffer[s * kSectorBytes + i], PatternSource::Expected(95 + s, i))
                    << "method " << method << " sector " << s << " byte " << i;
            }
        }
    }
    EXPECT_EQ(drive->CommandCount(0xBE), 1u);
    EXPECT_EQ(drive->CommandCount(0xD8), 1u);
}

TEST_F(EmulatedDriveTest, ReadsOutsideTheDiscOrTooLargeAreRefused) {
    std::vector<uint8_t> buffer(26 * kSectorBytes, 0xEE);
    EXPECT_EQ(CdCommands::ReadCd(0, 0, 240, 16, buffer.data()), kStatusCheckCondition);
    EXPECT_EQ(LastSenseCode(), Sense(5, 0x21));
    EXPECT_EQ(CdCommands::ReadCdda(0, 0, 250, 1, buffer.data()), kStatusCheckCondition);
    EXPECT_EQ(LastSenseCode(), Sense(5, 0x21));
    EXPECT_EQ(CdCommands::ReadCd(0, 0, -1, 1, buffer.data()), kStatusCheckCondition);
    EXPECT_EQ(LastSenseCode(), Sense(5, 0x21));
    // A buffer too small for the count: refused, nothing written past it.
    const uint8_t cdb[12] = {0xBE, 0x04, 0, 0, 0, 0, 0, 0, 2, 0x10, 0, 0};
    SenseResult sense;
    EXPECT_EQ(drive->Execute(cdb, 12, false, buffer.data(), kSectorBytes, sense),
              kStatusCheckCondition);
    EXPECT_EQ(PackSense(sense.data.data(), sense.data.size()), Sense(5, 0x24));
    EXPECT_EQ(buffer[0], 0xEE);
    CdCommands::SelectBlockMode(0, 0, 0);
    EXPECT_EQ(CdCommands::Read10(0, 0, 0, 26, buffer.data()), kStatusCheckCondition)
        << "26 sectors come with no data length";
    EXPECT_EQ(LastSenseCode(), Sense(5, 0x24));
}

TEST_F(EmulatedDriveTest, DataTrackIsNotAudio) {
    std::vector<uint8_t> buffer(4 * 2352);
    for (int32_t method : {kReadCd, kReadCdda}) {
        EXPECT_EQ(CdCommands::ReadAudio(0, 0, 208, 4, buffer.data(), method),
                  kStatusCheckCondition);
        EXPECT_EQ(LastSenseCode(), Sense(5, 0x64)) << method;
    }
    EXPECT_EQ(buffer[0], PatternSource::Expected(208, 0)) << "sectors before the fault arrive";
    CdCommands::SelectBlockMode(0, 0, 0);
    EXPECT_EQ(CdCommands::Read10(0, 0, 210, 1, buffer.data()), kStatusCheckCondition);
    EXPECT_EQ(LastSenseCode(), Sense(5, 0x64));

    // READ CD of any sector type gives the data track's user data.
    const uint8_t anyType[12] = {0xBE, 0, 0, 0, 0, 211, 0, 0, 1, 0x10, 0, 0};
    uint8_t user[2048];
    ASSERT_EQ(ExecuteCommand(0, 0, anyType, user, sizeof user), kStatusOk);
    uint8_t raw[2352];
    ASSERT_TRUE(disc->ReadSector(211, raw, 0));
    EXPECT_EQ(std::memcmp(user, raw + kMode1UserOffset, 2048), 0);
    EXPECT_EQ(raw[15], 1) << "MODE1 header";
}

// A data track of Mode 2 form 1 sectors (CD-ROM XA, as on Enhanced CDs):
// 2048-byte blocks are the user data after the 8-byte subheader.
TEST_F(EmulatedDriveTest, ReadTenOfModeTwoSectorsSkipsTheSubheader) {
    class ModeTwoSource : public SectorSource {
    public:
        bool Read(int64_t, SectorAddress address, uint8_t* out) const override {
            for (int i = 0; i < kSectorBytes; ++i) {
                out[i] = PatternSource::Expected(address, i);
            }
            out[15] = 2; // the mode byte of the header
            return true;
        }
    };
    auto xa = std::make_shared<Disc>();
    xa->AddTrack(1, false, 0);
    xa->AddTrack(2, true, 100);
    xa->SetLeadOut(120);
    xa->AddSegment(0, 100, false, std::make_shared<PatternSource>());
    xa->AddSegment(100, 20, true, std::make_shared<ModeTwoSource>());
    drive->Insert(xa);
    CdCommands::TestUnitReady(0, 0);
    std::vector<uint8_t> block(2048);
    ASSERT_EQ(CdCommands::Read10(0, 0, 105, 1, block.data()), kStatusOk);
    for (int i : {0, 1, 2047}) {
        EXPECT_EQ(block[static_cast<std::size_t>(i)], PatternSource::Expected(105, 24 + i)) << i;
    }
    ASSERT_EQ(CdCommands::Read10(0, 0, 0, 1, block.data()), kStatusCheckCondition)
        << "audio in 2048-byte mode";
}

TEST_F(EmulatedDriveTest, ModeSelectSwitchesReadTenBlocks) {
    EXPECT_EQ(drive->BlockLength(), 2048u);
    std::vector<uint8_t> buffer(2 * kSectorBytes);
    EXPECT_EQ(CdCommands::Read10(0, 0, 10, 1, buffer.data()), kStatusCheckCondition)
        << "audio in 2048-byte mode";
    EXPECT_EQ(LastSenseCode(), Sense(5, 0x64));
    ASSERT_EQ(CdCommands::Read10(0, 0, 215, 1, buffer.data()), kStatusOk) << "data blocks";

    ASSERT_EQ(CdCommands::SelectBlockMode(0, 0, 0), kStatusOk);
    EXPECT_EQ(drive->CommandCount(0x55), 1u);
    EXPECT_EQ(drive->CommandCount(0x15), 0u);
    EXPECT_EQ(drive->BlockLength(), 2352u);
    ASSERT_EQ(CdCommands::Read10(0, 0, 10, 2, buffer.data()), kStatusOk);
    EXPECT_EQ(buffer[kSectorBytes + 5], PatternSource::Expected(11, 5));

    ASSERT_EQ(CdCommands::SelectBlockMode(0, 0, 1), kStatusOk);
    EXPECT_EQ(drive->BlockLength(), 2048u);

    // MODE SELECT(6) alone does the same.
    const uint8_t cdb6[6] = {0x15, 0, 0, 0, 12, 0};
    uint8_t list6[12] = {0, 0, 0, 8, 0x82, 0, 0, 0, 0, 0x00, 0x09, 0x30};
    ASSERT_EQ(ExecuteCommand(0, 0, cdb6, list6, sizeof list6), kStatusOk);
    EXPECT_EQ(drive->BlockLength(), 2352u);
    // Block lengths a CD drive has no use for.
    list6[10] = 0x02;
    list6[11] = 0x00;
    EXPECT_EQ(ExecuteCommand(0, 0, cdb6, list6, sizeof list6), kStatusCheckCondition);
    EXPECT_EQ(LastSenseCode(), Sense(5, 0x26));
    EXPECT_EQ(drive->BlockLength(), 2352u);
    // A parameter list longer than the data.
    EXPECT_EQ(ExecuteCommand(0, 0, cdb6, list6, 4), kStatusCheckCondition);
    EXPECT_EQ(LastSenseCode(), Sense(5, 0x1A));
}

TEST_F(EmulatedDriveTest, DisabledReadCommandsAreInvalid) {
    drive->SetAcceptedReads(false, true, false);
    std::vector<uint8_t> buffer(kSectorBytes);
    EXPECT_EQ(CdCommands::ReadCd(0, 0, 0, 1, buffer.data()), kStatusCheckCondition);
    EXPECT_EQ(LastSenseCode(), Sense(5, 0x20));
    EXPECT_EQ(CdCommands::ReadCdda(0, 0, 0, 1, buffer.data()), kStatusOk);
    EXPECT_EQ(CdCommands::Read10(0, 0, 0, 1, buffer.data()), kStatusCheckCondition);
    EXPECT_EQ(LastSenseCode(), Sense(5, 0x20));
    EXPECT_EQ(Send({0xA8, 0, 0, 0, 0, 0, 0, 0, 0, 1, 0, 0}, buffer.data(), 2048),
              kStatusCheckCondition)
        << "READ(12) is not known at all";
    EXPECT_EQ(LastSenseCode(), Sense(5, 0x20));
}

TEST_F(EmulatedDriveTest, EjectAndInsertReportMediumAndChangeOnce) {
    drive->Eject();
    uint8_t toc[64];
    std::vector<uint8_t> buffer(kSectorBytes);
    EXPECT_EQ(CdCommands::TestUnitReady(0, 0), kStatusCheckCondition);
    EXPECT_EQ(LastSenseCode(), Sense(2, 0x3A));
    EXPECT_EQ(CdCommands::ReadToc(0, 0, sizeof toc, toc), kStatusCheckCondition);
    EXPECT_EQ(CdCommands::ReadCd(0, 0, 0, 1, buffer.data()), kStatusCheckCondition);
    EXPECT_EQ(LastSenseCode(), Sense(2, 0x3A));

    drive->Insert(MakeTestDisc());
    char vendor[9], product[17], revision[5];
    EXPECT_EQ(CdCommands::Inquiry(0, 0, vendor, product, revision), 1) << "INQUIRY passes";
    EXPECT_EQ(CdCommands::TestUnitReady(0, 0), kStatusCheckCondition);
    EXPECT_EQ(LastSenseCode(), Sense(6, 0x28));
    EXPECT_EQ(CdCommands::TestUnitReady(0, 0), kStatusOk) << "reported once";
    EXPECT_EQ(LastSenseCode(), 0);
}

TEST_F(EmulatedDriveTest, FlakySectorsAndSectorsThatReadAfterTries) {
    auto damaged = MakeTestDisc();
    damaged->AddFlaky(50, 2, 50);
    damaged->AddFlaky(52, 1, 100, 3); // every reading wrong in 3 samples
    damaged->AddUnreadableTries(70, 1, 3);
    drive->Insert(damaged);
    CdCommands::TestUnitReady(0, 0);

    // Half the readings of a flaky sector are wrong, the others right; each
    // wrong one has C2 bits on exactly the bytes it got wrong. Sector 52's
    // readings are wrong in all 4 bytes of 3 samples, at places that vary.
    const int stride = CdCommands::kSectorWithC2Bytes;
    std::vector<uint8_t> buffer(4 * stride);
    int right = 0;
    int wrongReadings = 0;
    std::set<std::vector<int>> samplePlaces;
    for (int reading = 0; reading < 200; ++reading) {
        ASSERT_EQ(CdCommands::ReadCdWithC2(0, 0, 50, 3, buffer.data()), kStatusOk);
        for (int s = 0; s < 3; ++s) {
            const uint8_t* audio = buffer.data() + s * stride;
            const uint8_t* c2 = audio + kSectorBytes;
            int wrong = 0;
            int flaggedRight = 0;
            std::vector<int> places;
            for (int i = 0; i < kSectorBytes; ++i) {
                const bool bad = audio[i] != PatternSource::Expected(50 + s, i);
                const bool flag = ((c2[i / 8] >> (7 - i % 8)) & 1) != 0;
                wrong += bad ? 1 : 0;
                flaggedRight += flag && !bad ? 1 : 0;
                ASSERT_TRUE(!bad || flag) << "a wrong byte without its C2 bit";
                if (bad && (places.empty() || places.back() != i / 4)) {
                    places.push_back(i / 4);
                }
            }
            EXPECT_EQ(flaggedRight, 0);
            if (s == 2) {
                EXPECT_EQ(wrong, 12);
                EXPECT_EQ(places.size(), 3u);
                samplePlaces.insert(places);
            } else {
                (wrong == 0 ? right : wrongReadings) += 1;
            }
        }
    }
    EXPECT_GT(right, 120);
    EXPECT_GT(wrongReadings, 120);
    EXPECT_GT(samplePlaces.size(), 190u) << "the wrong samples move between readings";

    // Plain reads fail three times, then the sector reads and stays readable.
    for (int attempt = 0; attempt < 3; ++attempt) {
        EXPECT_EQ(CdCommands::ReadCd(0, 0, 68, 4, buffer.data()), kStatusCheckCondition)
            << attempt;
        EXPECT_EQ(LastSenseCode(), Sense(3, 0x11));
    }
    EXPECT_EQ(CdCommands::ReadCd(0, 0, 68, 4, buffer.data()), kStatusOk);
    EXPECT_EQ(buffer[2 * kSectorBytes + 5], PatternSource::Expected(70, 5));
    EXPECT_EQ(CdCommands::ReadCd(0, 0, 70, 1, buffer.data()), kStatusOk);
}

TEST_F(EmulatedDriveTest, UnreadableAndUnstableSectors) {
    auto damaged = MakeTestDisc();
    damaged->AddUnreadable(40, 3);
    damaged->AddUnstable(60, 2);
    drive->Insert(damaged);
    CdCommands::TestUnitReady(0, 0);

    std::vector<uint8_t> buffer(16 * CdCommands::kSectorWithC2Bytes);
    EXPECT_EQ(CdCommands::ReadCd(0, 0, 30, 11, buffer.data()), kStatusCheckCondition);
    EXPECT_EQ(LastSenseCode(), Sense(3, 0x11));
    EXPECT_EQ(CdCommands::ReadCdda(0, 0, 42, 1, buffer.data()), kStatusCheckCondition);
    EXPECT_EQ(CdCommands::ReadCd(0, 0, 43, 16, buffer.data()), kStatusOk);

    const int stride = CdCommands::kSectorWithC2Bytes;
    ASSERT_EQ(CdCommands::ReadCdWithC2(0, 0, 58, 4, buffer.data()), kStatusOk);
    std::vector<uint8_t> again(4 * stride);
    ASSERT_EQ(CdCommands::ReadCdWithC2(0, 0, 58, 4, again.data()), kStatusOk);
    for (int s = 0; s < 4; ++s) {
        const bool unstable = s == 2 || s == 3;
        const uint8_t* audio = buffer.data() + s * stride;
        const uint8_t* c2 = audio + kSectorBytes;
        int wrong = 0;
        int changed = 0;
        int flagged = 0;
        for (int i = 0; i < kSectorBytes; ++i) {
            wrong += audio[i] != PatternSource::Expected(58 + s, i);
            changed += audio[i] != again[s * stride + i];
            flagged += (c2[i / 8] >> (7 - i % 8)) & 1;
        }
        EXPECT_EQ(wrong, unstable ? kSectorBytes : 0) << s;
        EXPECT_GT(changed, unstable ? kSectorBytes / 2 : -1) << s;
        EXPECT_EQ(changed > 0, unstable) << s;
        EXPECT_EQ(flagged, wrong) << "a C2 bit for each unreliable byte, sector " << s;
    }

    drive->SetC2Supported(false);
    EXPECT_EQ(CdCommands::ReadCdWithC2(0, 0, 58, 1, buffer.data()), kStatusCheckCondition);
    EXPECT_EQ(LastSenseCode(), Sense(5, 0x24));
}

TEST_F(EmulatedDriveTest, ReadCdWithBlockErrorByte) {
    auto damaged = MakeTestDisc();
    damaged->AddUnstable(5, 1);
    drive->Insert(damaged);
    CdCommands::TestUnitReady(0, 0);
    const uint8_t cdb[12] = {0xBE, 0x04, 0, 0, 0, 4, 0, 0, 2, 0x14, 0, 0};
    std::vector<uint8_t> buffer(2 * (kSectorBytes + 296), 0xEE);
    ASSERT_EQ(ExecuteCommand(0, 0, cdb, buffer.data(), buffer.size()), kStatusOk);
    const int stride = kSectorBytes + 296;
    EXPECT_EQ(buffer[kSectorBytes + 294], 0) << "sector 4 has no errors";
    EXPECT_NE(buffer[stride + kSectorBytes + 294], 0) << "sector 5 has";
    EXPECT_EQ(buffer[0], PatternSource::Expected(4, 0));
    EXPECT_EQ(buffer[stride - 1], 0) << "pad byte";
    EXPECT_EQ(buffer[stride + kSectorBytes], 0xFF) << "sector 5 starts after 2352 + 296 bytes";
}

TEST_F(EmulatedDriveTest, SpeedCommandsAndModeSense) {
    drive->SetReportedSpeeds(5645, 5645);
    int32_t maximum = 0, current = 0;
    ASSERT_EQ(CdCommands::SenseReadSpeeds(0, 0, &maximum, &current), kStatusOk);
    EXPECT_EQ(maximum, 5645);
    EXPECT_EQ(current, 5645) << "unthrottled";

    ASSERT_EQ(CdCommands::SetReadSpeed(0, 0, 1411), kStatusOk);
    EXPECT_EQ(drive->LastSetSpeedValue(), 1411);
    EXPECT_EQ(drive->SpeedLimitKBps(), 1411u);
    ASSERT_EQ(CdCommands::SenseReadSpeeds(0, 0, &maximum, &current), kStatusOk);
    EXPECT_EQ(maximum, 5645);
    EXPECT_EQ(current, 1411);

    ASSERT_EQ(CdCommands::SetReadSpeed(0, 0, 9000), kStatusOk);
    EXPECT_EQ(drive->SpeedLimitKBps(), 5645u) << "no faster than the maximum";
    ASSERT_EQ(CdCommands::SetReadSpeed(0, 0, 0xFFFF), kStatusOk);
    EXPECT_EQ(drive->LastSetSpeedValue(), 0xFFFF);
    EXPECT_EQ(drive->SpeedLimitKBps(), 0u);

    // Page 0x2A itself: the C2 capability follows the setting.
    uint8_t page[40] = {};
    ASSERT_EQ(Send({0x5A, 0x08, 0x2A, 0, 0, 0, 0, 0, 40, 0}, page, sizeof page), kStatusOk);
    EXPECT_EQ(page[8] & 0x3F, 0x2A);
    EXPECT_EQ((page[0] << 8 | page[1]) + 2, 8 + 2 + page[9]);
    EXPECT_NE(page[8 + 5] & 0x10, 0);
    drive->SetC2Supported(false);
    ASSERT_EQ(Send({0x5A, 0x08, 0x2A, 0, 0, 0, 0, 0, 40, 0}, page, sizeof page), kStatusOk);
    EXPECT_EQ(page[8 + 5] & 0x10, 0);
    EXPECT_EQ(Send({0x5A, 0x08, 0x0E, 0, 0, 0, 0, 0, 40, 0}, page, sizeof page),
              kStatusCheckCondition);
    EXPECT_EQ(LastSenseCode(), Sense(5, 0x24));
}

TEST_F(EmulatedDriveTest, ShortCdbsAndBuffersAreSafe) {
    // A CDB shorter than its command reads as zero-padded; null buffers take nothing.
    const uint8_t inquiry[1] = {0x12};
    SenseResult sense;
    EXPECT_EQ(drive->Execute(inquiry, 1, false, nullptr, 100, sense), kStatusOk);
    const uint8_t readCd[3] = {0xBE, 0x04, 0};
    EXPECT_EQ(drive->Execute(readCd, 3, false, nullptr, 0, sense), kStatusOk)
        << "a count of 0 reads nothing";
    const uint8_t readOne[12] = {0xBE, 0x04, 0, 0, 0, 0, 0, 0, 1, 0x10, 0, 0};
    EXPECT_EQ(drive->Execute(readOne, 12, true, nullptr, 2352, sense), kStatusCheckCondition)
        << "no room to read into";
    EXPECT_EQ(drive->Execute(nullptr, 0, false, nullptr, 0, sense), kStatusOk)
        << "TEST UNIT READY";
    EXPECT_TRUE(sense.taken);
}

TEST(ReadThrottle, BooksReadsBackToBack) {
    ReadThrottle throttle;
    using std::chrono::milliseconds;
    using std::chrono::nanoseconds;
    EXPECT_EQ(throttle.Reserve(milliseconds(5), 1000).count(), 0) << "unthrottled";

    throttle.SetLimitKBps(176);
    // 75 sectors at 176 kB/s: 176400 bytes / 176000 bytes/s.
    EXPECT_EQ(throttle.TransferTime(75), nanoseconds(int64_t{75} * 2352 * 1000000 / 176));
    const nanoseconds block = throttle.TransferTime(16);
    const nanoseconds start = milliseconds(1000);
    EXPECT_EQ(throttle.Reserve(start, 16), block);
    // The next read comes at once: it waits for the first one and its own time.
    EXPECT_EQ(throttle.Reserve(start, 16), 2 * block);
    // A reader that slept on time waits one block again.
    EXPECT_EQ(throttle.Reserve(start + 2 * block, 16), block);
    // A host that is a little late loses nothing: the drive read ahead.
    const nanoseconds late = start + 3 * block + block / 2;
    EXPECT_EQ(throttle.Reserve(late, 16), start + 4 * block - late);
    // A long pause earns no more than the read-ahead buffer: four blocks come
    // at once, the fifth waits its time again.
    const nanoseconds later = start + milliseconds(60000);
    for (int i = 0; i < 4; ++i) {
        EXPECT_EQ(throttle.Reserve(later, 16).count(), 0) << i;
    }
    EXPECT_NEAR(static_cast<double>(throttle.Reserve(later, 16).count()),
                static_cast<double>(block.count()), 10.0);
    // Split reads take as long as one big read.
    ReadThrottle a, b;
    a.SetLimitKBps(1411);
    b.SetLimitKBps(1411);
    nanoseconds split{0};
    for (int i = 0; i < 4; ++i) {
        split = a.Reserve(start, 4);
    }
    EXPECT_NEAR(static_cast<double>(split.count()),
                static_cast<double>(b.Reserve(start, 16).count()), 4.0);
}

TEST_F(EmulatedDriveTest, SpeedLimitSleepsOutsideTheLock) {
    using std::chrono::nanoseconds;
    nanoseconds now{0};
    std::vector<nanoseconds> sleeps;
    ThrottleClock clock;
    clock.now = [&] { return now; };
    clock.sleep = [&](nanoseconds d) {
        sleeps.push_back(d);
        // The drive answers other commands while a read waits.
        EXPECT_EQ(drive->BlockLength(), 2048u);
        now += d;
    };
    drive->SetClockForTesting(clock);
    std::vector<uint8_t> buffer(16 * kSectorBytes);
    ASSERT_EQ(CdCommands::ReadCd(0, 0, 0, 16, buffer.data()), kStatusOk);
    EXPECT_TRUE(sleeps.empty()) << "images start unthrottled";

    drive->SetSpeedLimitKBps(kDemoSpeedKBps);
    for (int i = 0; i < 3; ++i) {
        ASSERT_EQ(CdCommands::ReadCd(0, 0, 16 * i, 16, buffer.data()), kStatusOk);
    }
    ASSERT_EQ(sleeps.size(), 3u);
    // 16 sectors at 8 X take 16 / 600 s.
    for (const nanoseconds& d : sleeps) {
        EXPECT_NEAR(static_cast<double>(d.count()), 16.0 / 600.0 * 1e9, 1e-3 * 1e9);
    }
    EXPECT_EQ(CdCommands::ReadCd(0, 0, 300, 16, buffer.data()), kStatusCheckCondition);
    EXPECT_EQ(sleeps.size(), 3u) << "a refused read takes no time";
    CdCommands::SetReadSpeed(0, 0, 0xFFFF);
    ASSERT_EQ(CdCommands::ReadCd(0, 0, 0, 16, buffer.data()), kStatusOk);
    EXPECT_EQ(sleeps.size(), 3u) << "as fast as possible";
}

TEST_F(EmulatedDriveTest, TwoThreadsShareTheDrive) {
    std::atomic<bool> failed{false};
    std::thread reader([&] {
        std::vector<uint8_t> buffer(16 * kSectorBytes);
        for (int i = 0; i < 200; ++i) {
            if (CdCommands::ReadCd(0, 0, (i * 16) % 192, 16, buffer.data()) != kStatusOk ||
                buffer[100] != PatternSource::Expected((i * 16) % 192, 100)) {
                failed = true;
            }
        }
    });
    for (int i = 0; i < 200; ++i) {
        CdCommands::SelectBlockMode(0, 0, i % 2);
    }
    reader.join();
    EXPECT_FALSE(failed);
}


// What a pressed disc tells besides its audio, as the drive answers for it.
using testing::Ask;
using testing::LoadPressedDisc;
using testing::ReadCdCdb;

TEST(PressedDisc, SubChannelCrcIsTheInvertedCcittCrc) {
    const char* check = "123456789"; // CRC-16/XMODEM of it: 0x31C3
    EXPECT_EQ(SubChannelCrc(reinterpret_cast<const uint8_t*>(check), 9), 0xCE3C);
    EXPECT_EQ(SubChannelCrc(nullptr, 0), 0xFFFF);
}

TEST(PressedDisc, QSubChannelTellsTrackIndexAndTimes) {
    EmulatedDrive drive(LoadPressedDisc());
    struct Case {
        SectorAddress address;
        int control, track, index, relative;
    };
    const Case cases[] = {
        {0, 0, 1, 0, 149},       // the hidden track: track 1's pregap counts down
        {149, 0, 1, 0, 0},       {150, 0, 1, 1, 0},      {299, 0, 1, 1, 149},
        {300, 1 | 2, 2, 0, 74},  {374, 3, 2, 0, 0},      {375, 3, 2, 1, 0},
        {449, 3, 2, 1, 74},      {450, 3, 2, 2, 75},     {600, 0, 3, 0, 74},
        {675, 0, 3, 1, 0},       {824, 0, 3, 1, 149},    {12075, 4, 4, 0, 149},
        {12225, 4, 4, 1, 0},     {12324, 4, 4, 1, 99},
        {53, 0, 1, 0, 96},       // no ISRC in a pregap
        {12153, 4, 4, 0, 71},    // nor on a data track
    };
    for (const Case& c : cases) {
        const Bytes q = Ask(drive, ReadCdCdb(c.address, 1, 0x00, 0x02), 16);
        ASSERT_EQ(q.size(), 16u) << c.address;
        const testing::Q d = testing::Decode(q.data());
        EXPECT_TRUE(d.crcGood) << c.address;
        EXPECT_EQ(d.adr, 1) << c.address;
        EXPECT_EQ(d.control, c.control) << c.address;
        EXPECT_EQ(d.track, c.track) << c.address;
        EXPECT_EQ(d.index, c.index) << c.address;
        EXPECT_EQ(d.relative, c.relative) << c.address;
        EXPECT_EQ(d.absolute, c.address + 150) << c.address;
        EXPECT_EQ(Bytes(q.begin() + 12, q.end()), Bytes(4, 0)) << c.address;
        // Raw P-W: Q in bit 6 of the 96 bytes, P set in pregaps, no R-W.
        const Bytes raw = Ask(drive, ReadCdCdb(c.address, 1, 0x00, 0x01), 96);
        ASSERT_EQ(raw.size(), 96u);
        Bytes fromRaw(12, 0);
        for (int i = 0; i < 96; ++i) {
            fromRaw[i / 8] |= static_cast<uint8_t>(((raw[i] >> 6) & 1) << (7 - i % 8));
            EXPECT_EQ(raw[i] >> 7, c.index == 0 ? 1 : 0) << c.address;
            EXPECT_EQ(raw[i] & 0x3F, 0) << c.address;
        }
        EXPECT_EQ(fromRaw, Bytes(q.begin(), q.begin() + 12)) << c.address;
        EXPECT_EQ(Ask(drive, ReadCdCdb(c.address, 1, 0x00, 0x04), 96), Bytes(96, 0));
    }
    // The catalog number once in every 100 sectors, the ISRC of the track
    // once past its INDEX 01; both with a good CRC.
    const Bytes mcn = Ask(drive, ReadCdCdb(117, 1, 0x00, 0x02), 16);
    ASSERT_EQ(mcn.size(), 16u);
    EXPECT_EQ(mcn[0], 0x02);
    EXPECT_TRUE(testing::Decode(mcn.data()).crcGood);
    std::string digits;
    for (int i = 0; i < 13; ++i) {
        digits += static_cast<char>('0' + ((mcn[1 + i / 2] >> (i % 2 ? 0 : 4)) & 0x0F));
    }
    EXPECT_EQ(digits, "0602517931596");
    EXPECT_EQ(mcn[9], 0x42) << "AFRAME: frame 42 of absolute time 00:03:42";
    for (const auto& [address, isrc, control] :
         {std::tuple{253, "USABC0100001", 0}, std::tuple{453, "GBAFL0700213", 3}}) {
        const Bytes q = Ask(drive, ReadCdCdb(address, 1, 0x00, 0x02), 16);
        ASSERT_EQ(q.size(), 16u);
        EXPECT_EQ(q[0], (control << 4) | 3) << address;
        EXPECT_TRUE(testing::Decode(q.data()).crcGood) << address;
        uint64_t bits = 0;
        for (int i = 1; i <= 8; ++i) {
            bits = (bits << 8) | q[i];
        }
        std::string text;
        for (int i = 0; i < 5; ++i) {
            const int v = static_cast<int>((bits >> (58 - 6 * i)) & 0x3F);
            text += static_cast<char>(v >= 0x11 ? 'A' + v - 0x11 : '0' + v);
        }
        for (int i = 0; i < 7; ++i) {
            text += static_cast<char>('0' + ((bits >> (28 - 4 * i)) & 0x0F));
        }
        EXPECT_EQ(text, isrc) << address;
        EXPECT_EQ((bits >> 32) & 0x03, 0u) << address;
        EXPECT_EQ(bits & 0x0F, 0u) << address;
    }
    // Main channel and Q together: 2352 bytes then 16, sector by sector.
    const Bytes both = Ask(drive, ReadCdCdb(449, 2, 0xF8, 0x02), 2 * (kSectorBytes + 16));
    ASSERT_EQ(both.size(), 2u * (kSectorBytes + 16));
    EXPECT_EQ(both[0], 0x5A);
    EXPECT_EQ(testing::Decode(&both[kSectorBytes]).index, 1);
    EXPECT_EQ(testing::Decode(&both[2 * kSectorBytes + 16]).index, 2);
    int32_t sense = 0;
    EXPECT_TRUE(Ask(drive, ReadCdCdb(0, 1, 0x00, 0x03), 96, &sense).empty());
    EXPECT_EQ(sense, Sense(5, 0x24)) << "selection 011b is reserved";
}

TEST(PressedDisc, FullTocHasEverySessionsPointsAndTracks) {
    EmulatedDrive drive(LoadPressedDisc());
    const Bytes toc = Ask(drive, {0x43, 0x02, 0x02, 0, 0, 0, 0, 0x04, 0x00, 0}, 1024);
    ASSERT_FALSE(toc.empty());
    EXPECT_EQ((toc[0] << 8) | toc[1], 2 + 10 * 11);
    EXPECT_EQ(toc[2], 1);
    EXPECT_EQ(toc[3], 2);
    const Bytes expected[] = {
        {1, 0x10, 0, 0xA0, 0, 0, 0, 0, 1, 0, 0},  {1, 0x10, 0, 0xA1, 0, 0, 0, 0, 3, 0, 0},
        {1, 0x10, 0, 0xA2, 0, 0, 0, 0, 0, 13, 0}, {1, 0x10, 0, 1, 0, 0, 0, 0, 0, 4, 0},
        {1, 0x13, 0, 2, 0, 0, 0, 0, 0, 7, 0},     {1, 0x10, 0, 3, 0, 0, 0, 0, 0, 11, 0},
        {2, 0x14, 0, 0xA0, 0, 0, 0, 0, 4, 0, 0},  {2, 0x14, 0, 0xA1, 0, 0, 0, 0, 4, 0, 0},
        {2, 0x14, 0, 0xA2, 0, 0, 0, 0, 2, 46, 25}, {2, 0x14, 0, 4, 0, 0, 0, 0, 2, 45, 0},
    };
    for (std::size_t i = 0; i < std::size(expected); ++i) {
        EXPECT_EQ(Bytes(toc.begin() + 4 + 11 * i, toc.begin() + 15 + 11 * i), expected[i]) << i;
    }
    // From session 2 on; a session the disc lacks is refused.
    const Bytes second = Ask(drive, {0x43, 0x02, 0x02, 0, 0, 0, 2, 0x04, 0x00, 0}, 1024);
    ASSERT_FALSE(second.empty());
    EXPECT_EQ((second[0] << 8) | second[1], 2 + 4 * 11);
    EXPECT_EQ(Bytes(second.begin() + 4, second.begin() + 15), expected[6]);
    int32_t sense = 0;
    EXPECT_TRUE(Ask(drive, {0x43, 0x02, 0x02, 0, 0, 0, 3, 0x04, 0x00, 0}, 1024, &sense).empty());
    EXPECT_EQ(sense, Sense(5, 0x24));
    // Format 1: the first track of the last session.
    const Bytes sessions = Ask(drive, {0x43, 0, 0x01, 0, 0, 0, 0, 0, 12, 0}, 12);
    ASSERT_FALSE(sessions.empty());
    EXPECT_EQ(sessions[3], 2);
    EXPECT_EQ(sessions[6], 4);
    EXPECT_EQ((sessions[10] << 8) | sessions[11], 12225);
}

TEST(PressedDisc, ReadSubChannelReportsPositionCatalogAndIsrc) {
    EmulatedDrive drive(LoadPressedDisc());
    const Bytes mcn = Ask(drive, {0x42, 0, 0x40, 0x02, 0, 0, 0, 0, 24, 0}, 24);
    ASSERT_EQ(mcn.size(), 24u);
    EXPECT_EQ(mcn[1], 0x15);
    EXPECT_EQ((mcn[2] << 8) | mcn[3], 20);
    EXPECT_EQ(mcn[4], 0x02);
    EXPECT_EQ(mcn[8], 0x80) << "MCVal";
    EXPECT_EQ(std::string(mcn.begin() + 9, mcn.begin() + 22), "0602517931596");
    struct Case {
        int track;
        uint8_t valid;
        std::string isrc;
    };
    for (const Case& c : {Case{1, 0x80, "USABC0100001"}, Case{2, 0x80, "GBAFL0700213"},
                          Case{3, 0x00, std::string(12, '\0')}}) {
        const Bytes isrc =
            Ask(drive, {0x42, 0, 0x40, 0x03, 0, 0, static_cast<uint8_t>(c.track), 0, 24, 0}, 24);
        ASSERT_EQ(isrc.size(), 24u);
        EXPECT_EQ(isrc[6], c.track);
        EXPECT_EQ(isrc[8], c.valid) << "TCVal of track " << c.track;
        EXPECT_EQ(std::string(isrc.begin() + 9, isrc.begin() + 21), c.isrc);
    }
    int32_t sense = 0;
    EXPECT_TRUE(Ask(drive, {0x42, 0, 0x40, 0x03, 0, 0, 9, 0, 24, 0}, 24, &sense).empty());
    EXPECT_EQ(sense, Sense(5, 0x24));
    // The current position: where the last read ended, LBA and MSF.
    ASSERT_FALSE(Ask(drive, ReadCdCdb(449, 2, 0xF8, 0), 2 * kSectorBytes).empty());
    const Bytes here = Ask(drive, {0x42, 0, 0x40, 0x01, 0, 0, 0, 0, 16, 0}, 16);
    ASSERT_EQ(here.size(), 16u);
    EXPECT_EQ(Bytes(here.begin() + 4, here.end()),
              (Bytes{1, 0x13, 2, 2, 0, 0, 450 >> 8, 450 & 0xFF, 0, 0, 0, 75}));
    ASSERT_FALSE(Ask(drive, ReadCdCdb(300, 1, 0xF8, 0), kSectorBytes).empty());
    const Bytes msf = Ask(drive, {0x42, 0x02, 0x40, 0x01, 0, 0, 0, 0, 16, 0}, 16);
    ASSERT_EQ(msf.size(), 16u);
    EXPECT_EQ(Bytes(msf.begin() + 4, msf.end()), (Bytes{1, 0x13, 2, 0, 0, 0, 6, 0, 0, 0, 0, 74}));
    const Bytes none = Ask(drive, {0x42, 0, 0x00, 0x01, 0, 0, 0, 0, 16, 0}, 16);
    EXPECT_EQ((none[2] << 8) | none[3], 0) << "SubQ clear: the header alone";
}

// CD-Text taken apart as a reader does: CRCs, sequence numbers, the track
// and character position of every pack, strings per track, tabs.
TEST(PressedDisc, CdTextPacksCarryTheSheetsText) {
    EmulatedDrive drive(LoadPressedDisc());
    const Bytes answer = Ask(drive, {0x43, 0, 0x05, 0, 0, 0, 0, 0x10, 0x00, 0}, 4096);
    ASSERT_GE(answer.size(), 4u);
    const std::size_t length = static_cast<std::size_t>((answer[0] << 8) | answer[1]) + 2;
    ASSERT_EQ((length - 4) % 18, 0u);
    std::map<int, std::map<int, std::string>> text; // type -> track -> string
    std::map<int, int> counts;
    std::map<int, int> track;   // per type: the track of the string being read
    std::map<int, int> column;  // per type: its characters so far
    std::map<int, Bytes> bytes; // per type, all text bytes
    for (std::size_t at = 4, n = 0; at < length; at += 18, ++n) {
        const uint8_t* p = &answer[at];
        ASSERT_EQ(SubChannelCrc(p, 16), (p[16] << 8) | p[17]) << "pack " << n;
        EXPECT_EQ(static_cast<std::size_t>(p[2]), n) << "sequence number";
        EXPECT_EQ(p[3] & 0xF0, 0) << "block 0, single-byte";
        ++counts[p[0]];
        if (p[0] == 0x8F) {
            bytes[p[0]].insert(bytes[p[0]].end(), p + 4, p + 16);
            continue;
        }
        if (!track.count(p[0])) {
            track[p[0]] = p[1];
        }
        EXPECT_EQ(p[1], track[p[0]]) << "pack " << n;
        EXPECT_EQ(p[3] & 0x0F, std::min(column[p[0]], 15)) << "pack " << n;
        for (int i = 4; i < 16; ++i) {
            bytes[p[0]].push_back(p[i]);
            if (p[i] == 0) {
                ++track[p[0]];
                column[p[0]] = 0;
            } else {
                text[p[0]][track[p[0]]] += static_cast<char>(p[i]);
                ++column[p[0]];
            }
        }
    }
    EXPECT_EQ(text[0x80][0], "Caf\xE9 ?") << "ISO 8859-1, '?' for what it lacks";
    EXPECT_EQ(text[0x80][1], "Hidden");
    EXPECT_EQ(text[0x80][2], "Second");
    EXPECT_EQ(text[0x80][3], "Third part of a title that needs two packs");
    EXPECT_EQ(text[0x80].count(4), 0u) << "the data track has no title";
    EXPECT_EQ(text[0x81][0] + "|" + text[0x81][1] + "|" + text[0x81][2], "Band|Band|\t")
        << "the tab: same as the previous track";
    EXPECT_EQ(text[0x86][0], "XY12");
    EXPECT_EQ(bytes[0x87][0], 0x00);
    EXPECT_EQ(bytes[0x87][1], 14) << "genre code of Jazz";
    EXPECT_EQ(std::string(bytes[0x87].begin() + 2, bytes[0x87].begin() + 6), "Jazz");
    EXPECT_EQ(text[0x8E][0] + text[0x8E][1] + text[0x8E][2],
              "0602517931596USABC0100001GBAFL0700213");
    EXPECT_EQ(counts.count(0x82) + counts.count(0x85), 0u) << "no empty types";
    // Size information: character code, tracks, packs per type, last
    // sequence number and language of block 0.
    const Bytes& size = bytes[0x8F];
    ASSERT_EQ(size.size(), 36u);
    EXPECT_EQ(size[0], 0x00);
    EXPECT_EQ(size[1], 1);
    EXPECT_EQ(size[2], 4);
    for (int type = 0; type < 16; ++type) {
        EXPECT_EQ(size[4 + type], counts[0x80 + type]) << type;
    }
    EXPECT_EQ(static_cast<std::size_t>(size[20]), (length - 4) / 18 - 1);
    EXPECT_EQ(size[28], 0x09);
    // A disc without text answers the header alone.
    auto plain = std::make_shared<Disc>();
    plain->AddTrack(1, false, 0);
    plain->SetLeadOut(100);
    EmulatedDrive bare(plain);
    const Bytes empty = Ask(bare, {0x43, 0, 0x05, 0, 0, 0, 0, 0x10, 0x00, 0}, 4096);
    ASSERT_FALSE(empty.empty());
    EXPECT_EQ((empty[0] << 8) | empty[1], 2);
}

} // namespace
} // namespace vindral::emulated

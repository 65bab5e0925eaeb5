// The emulated drive's real-drive habits (becoming ready, unit attention,
// short transfers, descriptor sense, a read cache, a read offset, C2 error
// pointers that are missing or miss errors, sub-channel and CD-Text habits), set by
// REM DRIVE lines or directly, and what the transport makes of each.
#include <gtest/gtest.h>

#include <cstring>
#include <functional>
#include <vector>

#include "drive/CdCommands.h"
#include "drive/DriveSearch.h"
#include "drive/Transport.h"
#include "drive/emulated/CueSheet.h"
#include "drive/emulated/EmulatedDrive.h"
#include "drive/emulated/EmulatedTransport.h"
#include "PressedDisc.h"

namespace vindral::emulated {
namespace {

using Bytes = std::vector<uint8_t>;

// Byte i of pressed sector a; never the same for neighbouring samples.
uint8_t Pressed(int64_t a, int i) { return static_cast<uint8_t>(a * 11 + i * 5 + (i >> 9) + 1); }

class PressedSource : public SectorSource {
public:
    bool Read(int64_t, SectorAddress address, uint8_t* out) const override {
        for (int i = 0; i < kSectorBytes; ++i) {
            out[i] = Pressed(address, i);
        }
        return true;
    }
};

// Two audio tracks over 100 sectors; sectors 40-44 unstable, 60 unreadable.
std::shared_ptr<Disc> MakeDisc(const DriveBehaviour& behaviour) {
    auto disc = std::make_shared<Disc>();
    disc->AddTrack(1, false, 0);
    disc->AddTrack(2, false, 50);
    disc->SetLeadOut(100);
    disc->AddSegment(0, 100, false, std::make_shared<PressedSource>());
    disc->AddUnstable(40, 5);
    disc->AddUnreadable(60, 1);
    disc->SetDrive(behaviour);
    return disc;
}

constexpr int32_t Sense(int key, int asc, int ascq = 0) { return key * 65536 + asc * 256 + ascq; }

// One emulated drive at (0, 0) holding a disc with the given behaviour, and
// one clock for the drive and the transport's retries that moves only when
// the transport pauses.
class DriveBehaviourTest : public ::testing::Test {
protected:
    void Install(const DriveBehaviour& behaviour) {
        ResetTransportForTesting();
        auto transport = std::make_unique<EmulatedTransport>();
        drive = transport->AddDrive(MakeDisc(behaviour));
        SelectTransport(std::move(transport));
        ASSERT_EQ(InitialiseTransport(), 1);
        ThrottleClock clock;
        clock.now = [this] { return std::chrono::milliseconds(nowMs); };
        clock.sleep = [this](ReadThrottle::Duration d) {
            nowMs += static_cast<uint64_t>(
                std::chrono::duration_cast<std::chrono::milliseconds>(d).count());
        };
        drive->SetClockForTesting(clock);
        RetryClock retry;
        retry.nowMs = [this] { return nowMs; };
        retry.sleepMs = [this](uint32_t ms) {
            nowMs += ms;
            ++pauses;
        };
        SetRetryClock(retry);
    }
    void TearDown() override { ResetTransportForTesting(); }

    Bytes Read(SectorAddress address, int32_t count, int32_t method = kReadCd,
               int32_t* status = nullptr) {
        Bytes out(static_cast<std::size_t>(count) * kSectorBytes, 0xEE);
        const int32_t s = CdCommands::ReadAudio(0, 0, address, count, out.data(), method);
        if (status != nullptr) {
            *status = s;
        } else {
            EXPECT_EQ(s, kStatusOk) << address;
        }
        return out;
    }

    std::shared_ptr<EmulatedDrive> drive;
    uint64_t nowMs = 5000;
    int pauses = 0;
};

TEST_F(DriveBehaviourTest, BecomingReadyIsWaitedOutByTheTransport) {
    DriveBehaviour behaviour;
    behaviour.becomingReadyMs = 2000;
    Install(behaviour);
    // The disc check's question is answered as the drive gives it.
    EXPECT_EQ(CdCommands::TestUnitReady(0, 0), kStatusCheckCondition);
    EXPECT_EQ(LastSenseCode(), Sense(2, 0x04, 0x01));
    EXPECT_EQ(pauses, 0);
    // The table of contents is read once the drive is ready.
    TrackTable table;
    EXPECT_EQ(ReadTrackTable(0, 0, table), kStatusOk);
    EXPECT_EQ(table.count, 2);
    EXPECT_GE(nowMs, 7000u);
    EXPECT_EQ(pauses, 8); // 2000 ms in pauses of 250 ms
    EXPECT_EQ(CdCommands::TestUnitReady(0, 0), kStatusOk);

    // A drive that never gets ready is given up after 30 s.
    behaviour.becomingReadyMs = 100000;
    drive->SetBehaviour(behaviour);
    const uint64_t started = nowMs;
    EXPECT_EQ(ReadTrackTable(0, 0, table), kStatusCheckCondition);
    EXPECT_EQ(LastSenseCode(), Sense(2, 0x04, 0x01));
    EXPECT_GE(nowMs - started, uint64_t{kBecomingReadyLimitMs});
    EXPECT_LT(nowMs - started, uint64_t{kBecomingReadyLimitMs} + 1000);
}

TEST_F(DriveBehaviourTest, UnitAttentionIsPassedOverOnceAndTheDiscCheckStillSeesIt) {
    for (bool reset : {false, true}) {
        SCOPED_TRACE(reset ? "reset" : "medium changed");
        DriveBehaviour behaviour;
        behaviour.unitAttention = true;
        behaviour.attentionReset = reset;
        Install(behaviour);
        TrackTable table;
        EXPECT_EQ(ReadTrackTable(0, 0, table), kStatusOk);
        EXPECT_EQ(table.count, 2);
        // READ TOC format 0 met the attention and was sent again; format 1
        // (the sessions) followed.
        EXPECT_EQ(drive->CommandCount(0x43), 3u) << "one retry";
        // The readiness test reports the change the retry passed over...
        EXPECT_EQ(CdCommands::TestUnitReady(0, 0), kStatusCheckCondition);
        EXPECT_EQ(LastSenseCode(), Sense(6, reset ? 0x29 : 0x28));
        EXPECT_EQ(drive->CommandCount(0x00), 0u);
        // ...once; then the drive answers.
        EXPECT_EQ(CdCommands::TestUnitReady(0, 0), kStatusOk);
        EXPECT_EQ(drive->CommandCount(0x00), 1u);
    }
    // A disc change that the readiness test meets first is the drive's own.
    Install(DriveBehaviour{});
    drive->Insert(MakeDisc(DriveBehaviour{}));
    EXPECT_EQ(CdCommands::TestUnitReady(0, 0), kStatusCheckCondition);
    EXPECT_EQ(LastSenseCode(), Sense(6, 0x28));
    EXPECT_EQ(CdCommands::TestUnitReady(0, 0), kStatusOk);
}

TEST_F(DriveBehaviourTest, ShortReadsAreFailuresAndLeaveTheBufferTail) {
    DriveBehaviour behaviour;
    behaviour.shortReadCd = true;
    Install(behaviour);
    int32_t status = 0;
    Bytes out = Read(0, 2, kReadCd, &status);
    EXPECT_EQ(status, kStatusShortTransfer);
    // What did arrive is the disc; the tail is what the buffer held.
    EXPECT_EQ(out[0], Pressed(0, 0));
    EXPECT_EQ(out[4095], Pressed(1, 4095 - kSectorBytes)); // 2 x 2048 bytes came
    EXPECT_EQ(out[4096], 0xEE);
    EXPECT_EQ(out[2 * kSectorBytes - 1], 0xEE);
    // The other commands of this drive transfer whole sectors.
    Read(0, 2, kReadCdda);
    behaviour.shortReadCd = false;
    behaviour.shortReadCdda = true;
    behaviour.shortRead10 = true;
    drive->SetBehaviour(behaviour);
    Read(0, 2, kReadCdda, &status);
    EXPECT_EQ(status, kStatusShortTransfer);
    CdCommands::SelectBlockMode(0, 0, 0);
    Read(0, 1, kRead10, &status);
    EXPECT_EQ(status, kStatusShortTransfer);
    Read(0, 1, kReadCd);
}

TEST_F(DriveBehaviourTest, DescriptorSenseIsReadFromItsOwnFields) {
    DriveBehaviour behaviour;
    behaviour.descriptorSense = true;
    Install(behaviour);
    int32_t status = 0;
    Read(59, 2, kReadCd, &status);
    EXPECT_EQ(status, kStatusCheckCondition);
    EXPECT_EQ(LastSenseCode(), Sense(3, 0x11));
    Read(99, 2, kReadCd, &status);
    EXPECT_EQ(LastSenseCode(), Sense(5, 0x21));
    drive->Eject();
    EXPECT_EQ(CdCommands::TestUnitReady(0, 0), kStatusCheckCondition);
    EXPECT_EQ(LastSenseCode(), Sense(2, 0x3A));
    // The retries read descriptor sense too.
    behaviour.becomingReadyMs = 600;
    auto disc = MakeDisc(behaviour);
    drive->Insert(disc);
    TrackTable table;
    EXPECT_EQ(ReadTrackTable(0, 0, table), kStatusOk) << std::hex << LastSenseCode();
    EXPECT_GT(pauses, 0);
}

TEST_F(DriveBehaviourTest, CacheAnswersReReadsOfRecentSectors) {
    // Without a cache an unstable sector differs between readings.
    Install(DriveBehaviour{});
    EXPECT_NE(Read(40, 1), Read(40, 1));

    DriveBehaviour behaviour;
    behaviour.cacheSectors = 8;
    Install(behaviour);
    const Bytes first = Read(38, 4); // 38..41
    EXPECT_EQ(Read(38, 4), first) << "a second reading is fooled";
    // Eight newer sectors push 38..41 out; the re-read reaches the disc.
    Read(70, 8);
    const Bytes again = Read(38, 4);
    EXPECT_EQ(Bytes(again.begin(), again.begin() + 2 * kSectorBytes),
              Bytes(first.begin(), first.begin() + 2 * kSectorBytes)) << "stable sectors";
    EXPECT_NE(again, first);
    // An unreadable sector never enters the cache.
    int32_t status = 0;
    Read(60, 1, kReadCd, &status);
    EXPECT_EQ(status, kStatusCheckCondition);
    Read(60, 1, kReadCd, &status);
    EXPECT_EQ(status, kStatusCheckCondition);
}

TEST_F(DriveBehaviourTest, ReadOffsetShiftsTheSamples) {
    for (int32_t offset : {30, -30, 700, -700}) {
        SCOPED_TRACE(offset);
        DriveBehaviour behaviour;
        behaviour.offsetSamples = offset;
        Install(behaviour);
        const Bytes start = Read(0, 3);
        const Bytes end = Read(97, 3);
        // Sample j of the answer is pressed sample j - offset: byte b comes
        // from pressed byte b - 4 * offset; zero outside the disc.
        auto expected = [&](int64_t b) -> uint8_t {
            const int64_t p = b - int64_t{offset} * 4;
            if (p < 0 || p >= 100 * kSectorBytes) {
                return 0;
            }
            return Pressed(p / kSectorBytes, static_cast<int>(p % kSectorBytes));
        };
        int wrong = 0;
        for (int64_t b = 0; b < 3 * kSectorBytes; ++b) {
            wrong += start[static_cast<std::size_t>(b)] != expected(b) ? 1 : 0;
            wrong += end[static_cast<std::size_t>(b)] != expected(97 * kSectorBytes + b) ? 1 : 0;
        }
        EXPECT_EQ(wrong, 0);
        if (offset > 0) {
            EXPECT_EQ(start[0], 0);
            EXPECT_EQ(start[static_cast<std::size_t>(offset * 4)], Pressed(0, 0));
        } else {
            EXPECT_EQ(end.back(), 0);
        }
    }
}

TEST_F(DriveBehaviourTest, C2PointersFlagWrongBytesThroughOffsetCacheAndMisses) {
    // Sectors 38-46 (unstable 40-44) read with C2 pointers. `missShare` is the
    // expected share of wrong bytes left unflagged; -1: the drive has no C2.
    struct Case {
        const char* name;
        int32_t offset;
        uint32_t cache;
        uint32_t misses;
        bool noC2;
        int missShare;
    };
    const Case cases[] = {
        {"plain", 0, 0, 0, false, 0},
        {"offset +30", 30, 0, 0, false, 0},
        {"offset -700", -700, 0, 0, false, 0},
        {"cache", 0, 16, 0, false, 0},
        {"cache and offset", 667, 16, 0, false, 0},
        {"misses 40 %", 0, 0, 40, false, 40},
        {"misses 40 % behind an offset", -30, 0, 40, false, 40},
        {"misses all", 0, 16, 100, false, 100},
        {"no C2", 0, 0, 0, true, -1},
    };
    constexpr int kStride = CdCommands::kSectorWithC2Bytes;
    constexpr int kCount = 9;
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        DriveBehaviour behaviour;
        behaviour.offsetSamples = c.offset;
        behaviour.cacheSectors = c.cache;
        behaviour.c2MissPercent = c.misses;
        behaviour.noC2 = c.noC2;
        Install(behaviour);
        // MODE SENSE page 0x2A tells whether the drive has C2 pointers.
        uint8_t page[40] = {};
        const uint8_t senseCdb[10] = {0x5A, 0x08, 0x2A, 0, 0, 0, 0, 0, 40, 0};
        ASSERT_EQ(ExecuteCommand(0, 0, senseCdb, page, sizeof page), kStatusOk);
        EXPECT_EQ((page[8 + 5] & 0x10) != 0, !c.noC2);
        Bytes buffer(kCount * kStride);
        const int32_t status = CdCommands::ReadCdWithC2(0, 0, 38, kCount, buffer.data());
        if (c.noC2) {
            EXPECT_EQ(status, kStatusCheckCondition);
            EXPECT_EQ(LastSenseCode(), Sense(5, 0x24));
            Read(38, kCount); // READ CD without the error field reads
            continue;
        }
        ASSERT_EQ(status, kStatusOk);
        int wrong = 0;
        int flaggedWrong = 0;
        int flaggedRight = 0;
        for (int s = 0; s < kCount; ++s) {
            const uint8_t* audio = buffer.data() + s * kStride;
            const uint8_t* c2 = audio + kSectorBytes;
            for (int i = 0; i < kSectorBytes; ++i) {
                // Sample j of the answer is pressed sample j - offset.
                const int64_t p = int64_t{38 + s} * kSectorBytes + i - int64_t{c.offset} * 4;
                const bool bad = audio[i] != Pressed(p / kSectorBytes, static_cast<int>(p % kSectorBytes));
                const bool flag = ((c2[i / 8] >> (7 - i % 8)) & 1) != 0;
                wrong += bad ? 1 : 0;
                flaggedWrong += bad && flag ? 1 : 0;
                flaggedRight += !bad && flag ? 1 : 0;
            }
        }
        // Five unstable sectors' worth of bytes, wherever the offset puts them.
        EXPECT_EQ(wrong, 5 * kSectorBytes);
        EXPECT_EQ(flaggedRight, 0);
        const int missed = wrong - flaggedWrong;
        EXPECT_NEAR(missed * 100.0 / wrong, c.missShare, 3.0);
        if (c.cache != 0) {
            // A re-read from the cache brings the same bytes and the same flags.
            Bytes again(kCount * kStride);
            ASSERT_EQ(CdCommands::ReadCdWithC2(0, 0, 38, kCount, again.data()), kStatusOk);
            EXPECT_EQ(again, buffer);
        }
    }
}

TEST(DriveLines, CueSheetSetsTheDriveBehaviour) {
    const std::string head = "FILE a.bin BINARY\nTRACK 01 AUDIO\nINDEX 01 00:00:00\n";
    ImageFileOpener opener = [](const std::string&, std::string&) {
        return MakeMemoryImageFile(Bytes(100 * kSectorBytes, 0));
    };
    std::string error;
    auto disc = ParseCueSheet(head +
                                  "REM DRIVE READY 1500\nREM DRIVE UNITATTENTION RESET\n"
                                  "rem drive shortread readcdda\nREM DRIVE SHORTREAD READ10\n"
                                  "REM DRIVE SENSE DESCRIPTOR\nREM DRIVE CACHE 1024\n"
                                  "REM DRIVE OFFSET -48\nREM DRIVE C2 MISSES 35\n",
                              "disc.cue", "", error, opener);
    ASSERT_NE(disc, nullptr) << error;
    const DriveBehaviour& d = disc->Drive();
    EXPECT_EQ(d.becomingReadyMs, 1500u);
    EXPECT_TRUE(d.unitAttention);
    EXPECT_TRUE(d.attentionReset);
    EXPECT_FALSE(d.shortReadCd);
    EXPECT_TRUE(d.shortReadCdda);
    EXPECT_TRUE(d.shortRead10);
    EXPECT_TRUE(d.descriptorSense);
    EXPECT_EQ(d.cacheSectors, 1024u);
    EXPECT_EQ(d.offsetSamples, -48);
    EXPECT_EQ(d.c2MissPercent, 35u);
    EXPECT_FALSE(d.noC2);

    EXPECT_FALSE(d.refuseReadCd);

    // Drives without READ CD, and without READ CDDA too: the read methods
    // that remain answer, the refused ones are unknown commands.
    disc = ParseCueSheet(head + "REM DRIVE REFUSE READCD\nrem drive refuse readcdda\n"
                                "REM DRIVE C2 none\n",
                         "disc.cue", "", error, opener);
    ASSERT_NE(disc, nullptr) << error;
    EXPECT_TRUE(disc->Drive().noC2);
    EXPECT_EQ(disc->Drive().c2MissPercent, 0u);
    EXPECT_TRUE(disc->Drive().refuseReadCd);
    EXPECT_TRUE(disc->Drive().refuseReadCdda);
    EXPECT_FALSE(disc->Drive().refuseRead10);
    {
        EmulatedDrive refusing(disc);
        SenseResult sense;
        Bytes sector(kSectorBytes);
        const uint8_t readCd[12] = {0xBE, 0x04, 0, 0, 0, 0, 0, 0, 1, 0x10, 0, 0};
        const uint8_t readCdda[12] = {0xD8, 0, 0, 0, 0, 0, 0, 0, 0, 1, 0, 0};
        const uint8_t read10[10] = {0x28, 0, 0, 0, 0, 0, 0, 0, 1, 0};
        EXPECT_EQ(refusing.Execute(readCd, 12, false, sector.data(), kSectorBytes, sense),
                  kStatusCheckCondition);
        EXPECT_EQ(PackSense(sense.data.data(), sense.data.size()), Sense(5, 0x20));
        EXPECT_EQ(refusing.Execute(readCdda, 12, false, sector.data(), kSectorBytes, sense),
                  kStatusCheckCondition);
        EXPECT_EQ(PackSense(sense.data.data(), sense.data.size()), Sense(5, 0x20));
        // READ(10) of 2048-byte blocks meets an audio sector: the command is known.
        EXPECT_EQ(refusing.Execute(read10, 10, false, sector.data(), kSectorBytes, sense),
                  kStatusCheckCondition);
        EXPECT_EQ(PackSense(sense.data.data(), sense.data.size()), Sense(5, 0x64));
    }

    disc = ParseCueSheet(head + "REM DRIVE OFFSET +667\nREM DRIVE UNITATTENTION\n", "disc.cue",
                         "", error, opener);
    ASSERT_NE(disc, nullptr) << error;
    EXPECT_EQ(disc->Drive().offsetSamples, 667);
    EXPECT_TRUE(disc->Drive().unitAttention);
    EXPECT_FALSE(disc->Drive().attentionReset);
    EXPECT_EQ(disc->Drive().becomingReadyMs, 0u);

    // The drive that holds the image behaves so from the start.
    EmulatedDrive drive(disc);
    SenseResult sense;
    const uint8_t tur[6] = {};
    EXPECT_EQ(drive.Execute(tur, 6, false, nullptr, 0, sense), kStatusCheckCondition);
    EXPECT_EQ(PackSense(sense.data.data(), sense.data.size()), Sense(6, 0x28));

    const std::pair<std::string, std::string> broken[] = {
        {"REM DRIVE\n", "disc.cue:4: REM DRIVE needs a behaviour"},
        {"REM DRIVE READY soon\n", "disc.cue:4: bad becoming-ready time 'soon'"},
        {"REM DRIVE READY\n", "disc.cue:4: REM DRIVE READY needs one value"},
        {"REM DRIVE SHORTREAD READ12\n", "disc.cue:4: unknown read command 'READ12'"},
        {"REM DRIVE REFUSE TOC\n", "disc.cue:4: unknown read command 'TOC'"},
        {"REM DRIVE SENSE FIXED\n", "disc.cue:4: unknown sense format 'FIXED'"},
        {"REM DRIVE CACHE -1\n", "disc.cue:4: bad cache size '-1'"},
        {"REM DRIVE OFFSET 6x\n", "disc.cue:4: bad read offset '6x'"},
        {"REM DRIVE UNITATTENTION NOW\n", "disc.cue:4: REM DRIVE UNITATTENTION takes nothing or RESET"},
        {"REM DRIVE TURBO 1\n", "disc.cue:4: unknown drive behaviour 'TURBO'"},
        {"REM DRIVE C2\n", "disc.cue:4: REM DRIVE C2 takes NONE or MISSES <percent>"},
        {"REM DRIVE C2 NONE 5\n", "disc.cue:4: REM DRIVE C2 takes NONE or MISSES <percent>"},
        {"REM DRIVE C2 MISSES\n", "disc.cue:4: REM DRIVE C2 takes NONE or MISSES <percent>"},
        {"REM DRIVE C2 MISSES 101\n", "disc.cue:4: bad C2 miss percentage '101'"},
        {"REM DRIVE C2 MISSES -5\n", "disc.cue:4: bad C2 miss percentage '-5'"},
        {"REM DRIVE QSHIFT one\n", "disc.cue:4: bad Q sub-channel shift 'one'"},
        {"REM DRIVE BADQCRC 0\n", "disc.cue:4: bad Q frame interval '0'"},
        {"REM DRIVE NOCDTEXT 1\n", "disc.cue:4: REM DRIVE NOCDTEXT takes no value"},
        {"REM DRIVE RAWONLY YES\n", "disc.cue:4: REM DRIVE RAWONLY takes no value"},
        {"REM DRIVE NOFULLTOC 2\n", "disc.cue:4: REM DRIVE NOFULLTOC takes no value"},
    };
    for (const auto& [line, message] : broken) {
        EXPECT_EQ(ParseCueSheet(head + line, "disc.cue", "", error, opener), nullptr) << line;
        EXPECT_EQ(error.substr(0, message.size()), message) << line;
    }
}


// Sub-channel and CD-Text habits of real drives, one row each: what the
// drive does with the line, and the same command without it.
TEST(DriveLines, SubChannelAndCdTextHabits) {
    using testing::Ask;
    using testing::ReadCdCdb;
    const Bytes cdText = {0x43, 0, 0x05, 0, 0, 0, 0, 0x10, 0x00, 0};
    const Bytes fullToc = {0x43, 0x02, 0x02, 0, 0, 0, 1, 0x10, 0x00, 0};
    const Bytes mcn = {0x42, 0, 0x40, 0x02, 0, 0, 0, 0, 24, 0};
    const Bytes isrc = {0x42, 0, 0x40, 0x03, 0, 0, 2, 0, 24, 0};
    struct Case {
        std::string line;
        std::function<void(EmulatedDrive&, bool)> check; // bool: the line is given
    };
    const Case cases[] = {
        {"REM DRIVE NOCDTEXT\n",
         [&](EmulatedDrive& drive, bool on) {
             int32_t sense = 0;
             EXPECT_EQ(Ask(drive, cdText, 4096, &sense).empty(), on);
             EXPECT_EQ(sense, on ? Sense(5, 0x24) : 0);
         }},
        {"REM DRIVE NOFULLTOC\n",
         [&](EmulatedDrive& drive, bool on) {
             int32_t sense = 0;
             EXPECT_EQ(Ask(drive, fullToc, 4096, &sense).empty(), on);
             EXPECT_EQ(sense, on ? Sense(5, 0x24) : 0);
         }},
        {"REM DRIVE NOSUBCHANNEL\n",
         [&](EmulatedDrive& drive, bool on) {
             for (const uint8_t selection : {1, 2, 4}) {
                 int32_t sense = 0;
                 EXPECT_EQ(Ask(drive, ReadCdCdb(0, 1, 0, selection), 96, &sense).empty(), on);
                 EXPECT_EQ(sense, on ? Sense(5, 0x24) : 0);
             }
             EXPECT_EQ(Ask(drive, ReadCdCdb(0, 1, 0xF8, 0), kSectorBytes).size(), kSectorBytes)
                 << "the audio itself still reads";
         }},
        {"REM DRIVE QSHIFT -1\n",
         [&](EmulatedDrive& drive, bool on) {
             // The Q of 375 (INDEX 01) arrives one sector late: with 376.
             const testing::Q q = testing::Decode(Ask(drive, ReadCdCdb(376, 1, 0, 2), 16).data());
             EXPECT_TRUE(q.crcGood);
             EXPECT_EQ(q.absolute, on ? 375 + 150 : 376 + 150);
             EXPECT_EQ(q.relative, on ? 0 : 1);
         }},
        {"REM DRIVE NOSUBCHANNELISRC\n",
         [&](EmulatedDrive& drive, bool on) {
             EXPECT_EQ(Ask(drive, mcn, 24)[8], on ? 0x00 : 0x80);
             EXPECT_EQ(Ask(drive, isrc, 24)[8], on ? 0x00 : 0x80);
             EXPECT_EQ(Ask(drive, ReadCdCdb(117, 1, 0, 2), 16)[0], 0x02) << "the Q still has it";
         }},
        {"REM DRIVE RAWONLY\n",
         [&](EmulatedDrive& drive, bool on) {
             int32_t sense = 0;
             EXPECT_EQ(Ask(drive, ReadCdCdb(0, 1, 0, 2), 16, &sense).empty(), on);
             EXPECT_EQ(sense, on ? Sense(5, 0x24) : 0);
             EXPECT_EQ(Ask(drive, ReadCdCdb(0, 1, 0, 1), 96).size(), 96u);
         }},
        {"REM DRIVE NOSUBCHANNELALONE\n",
         [&](EmulatedDrive& drive, bool on) {
             int32_t sense = 0;
             EXPECT_EQ(Ask(drive, ReadCdCdb(0, 2, 0, 2), 32, &sense).empty(), on);
             EXPECT_EQ(sense, on ? Sense(5, 0x24) : 0);
             const Bytes with = Ask(drive, ReadCdCdb(0, 2, 0xF8, 2), 2 * (kSectorBytes + 16));
             ASSERT_EQ(with.size(), 2 * (kSectorBytes + 16)) << "with the sector it still reads";
             EXPECT_TRUE(testing::Decode(with.data() + kSectorBytes).crcGood);
         }},
        {"REM DRIVE BADQCRC 3\n",
         [&](EmulatedDrive& drive, bool on) {
             // Every third frame is spoiled, whatever its form; reading
             // again gives a good one.
             std::string good;
             for (int i = 0; i < 6; ++i) {
                 const Bytes q = Ask(drive, ReadCdCdb(200 + i, 1, 0, 2), 16);
                 good += testing::Decode(q.data()).crcGood ? 'y' : 'n';
             }
             EXPECT_EQ(good, on ? "yynyyn" : "yyyyyy");
             const Bytes three = Ask(drive, ReadCdCdb(200, 3, 0, 2), 48);
             ASSERT_EQ(three.size(), 48u);
             EXPECT_TRUE(testing::Decode(three.data()).crcGood);
             EXPECT_TRUE(testing::Decode(three.data() + 16).crcGood);
             EXPECT_EQ(testing::Decode(three.data() + 32).crcGood, !on);
         }},
    };
    for (const Case& c : cases) {
        for (const bool on : {false, true}) {
            auto disc = testing::LoadPressedDisc(on ? c.line : "");
            ASSERT_NE(disc, nullptr);
            EmulatedDrive drive(disc);
            SCOPED_TRACE(c.line + (on ? " given" : " not given"));
            c.check(drive, on);
        }
    }
}

} // namespace
} // namespace vindral::emulated

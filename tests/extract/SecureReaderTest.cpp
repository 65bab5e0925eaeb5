#include "extract/ReadAhead.h"
#include "extract/SecureReader.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <deque>
#include <map>
#include <string>
#include <vector>

namespace vindral {
namespace {

uint8_t Pressed(SectorAddress address, int byte) {
    return static_cast<uint8_t>(address * 7 + byte * 13 + 1);
}

// A drive whose sectors are scripted: for each address, a queue of what its
// next readings give (right, wrong with C2 bits or not, or a failure); an
// empty queue reads right. A read of several sectors fails as a whole when
// one of them fails.
class FakeDrive {
public:
    enum Reading { kRight, kWrongFlagged, kWrongSilent, kFails, kRightFlagged };

    void Script(SectorAddress address, std::deque<Reading> readings) {
        script_[address] = std::move(readings);
    }

    SecureReader::Drive Hooks() {
        SecureReader::Drive drive;
        drive.read = [this](SectorAddress address, int32_t count, uint8_t* audio, uint8_t* c2) {
            ++reads;
            commands.push_back(std::to_string(address) + "+" + std::to_string(count));
            int32_t status = kStatusOk;
            for (int32_t s = 0; s < count; ++s) {
                const SectorAddress at = address + s;
                uint8_t* bits = c2 == nullptr ? nullptr : c2 + static_cast<std::size_t>(s) * 294;
                auto copy = cache_.find(at);
                if (copy != cache_.end()) { // what the drive read last, again
                    std::memcpy(audio + static_cast<std::size_t>(s) * kSectorBytes,
                                copy->second.data(), kSectorBytes);
                    if (bits != nullptr) {
                        std::memcpy(bits, copy->second.data() + kSectorBytes, 294);
                    }
                    continue;
                }
                Reading reading = kRight;
                auto it = script_.find(at);
                if (it != script_.end() && !it->second.empty()) {
                    reading = it->second.front();
                    it->second.pop_front();
                }
                uint8_t* sector = audio + static_cast<std::size_t>(s) * kSectorBytes;
                for (int b = 0; b < kSectorBytes; ++b) {
                    sector[b] = Pressed(at, b);
                }
                if (reading == kFails) {
                    status = 2;
                    continue;
                }
                if (reading == kRightFlagged && c2 != nullptr) {
                    c2[static_cast<std::size_t>(s) * 294] |= 0x01;
                    continue;
                }
                if (reading != kRight) {
                    ++wrongCount_;
                    sector[100] ^= static_cast<uint8_t>(wrongCount_);
                    if (c2 != nullptr && reading == kWrongFlagged) {
                        c2[static_cast<std::size_t>(s) * 294 + 100 / 8] |= 0x80 >> (100 % 8);
                    }
                }
                if (caching) {
                    std::vector<uint8_t> copy(sector, sector + kSectorBytes);
                    copy.resize(kSectorBytes + 294, 0);
                    if (bits != nullptr) {
                        std::memcpy(copy.data() + kSectorBytes, bits, 294);
                    }
                    cache_[at] = std::move(copy);
                }
            }
            return status;
        };
        drive.readElsewhere = [this](SectorAddress, int32_t count) {
            cache_.clear();
            ++flushes;
            commands.push_back("elsewhere");
            flushedSectors += count;
        };
        drive.slowDown = [this](bool slow) { speedChanges.push_back(slow); };
        drive.cancelled = [this] { return cancelAfterReads > 0 && reads >= cancelAfterReads; };
        return drive;
    }

    // true: the drive keeps each sector it read (bytes and C2 bits) and
    // answers from that copy until a read elsewhere empties its cache.
    bool caching = false;
    int reads = 0;
    int flushes = 0;
    std::vector<std::string> commands; // "address+count" of each read, "elsewhere"

    int64_t flushedSectors = 0;
    int cancelAfterReads = 0;
    std::vector<bool> speedChanges;

private:
    std::map<SectorAddress, std::deque<Reading>> script_;
    std::map<SectorAddress, std::vector<uint8_t>> cache_;
    int wrongCount_ = 0;
};

bool Exact(const std::vector<uint8_t>& out, SectorAddress first, int sectors) {
    for (int s = 0; s < sectors; ++s) {
        for (int b = 0; b < kSectorBytes; ++b) {
            if (out[static_cast<std::size_t>(s) * kSectorBytes + b] != Pressed(first + s, b)) {
                return false;
            }
        }
    }
    return true;
}

TEST(SecureReaderTest, CleanBlocksAreReadOnceAndFlaggedSectorsUntilTwoReadingsAgree) {
    FakeDrive drive;
    SecureReader reader(SecureSettings{}, drive.Hooks());
    std::vector<uint8_t> out(16 * kSectorBytes);
    ASSERT_EQ(reader.Read(100, 16, out.data()), kStatusOk);
    EXPECT_EQ(drive.reads, 1);
    EXPECT_EQ(drive.flushes, 0);
    EXPECT_TRUE(reader.Outcomes().empty());
    EXPECT_TRUE(Exact(out, 100, 16));

    // Sector 205: flagged, then wrong again, then right for good. Readings
    // that differ from the last one are new readings of the disc; the one
    // equal to it may be the drive's cached copy and is read again after
    // the cache is emptied.
    drive.Script(205, {FakeDrive::kWrongFlagged, FakeDrive::kWrongFlagged, FakeDrive::kRight,
                       FakeDrive::kRight});
    ASSERT_EQ(reader.Read(200, 16, out.data()), kStatusOk);
    EXPECT_TRUE(Exact(out, 200, 16));
    ASSERT_EQ(reader.Outcomes().size(), 1u);
    const SectorOutcome& repaired = reader.Outcomes()[0];
    EXPECT_EQ(repaired.address, 205);
    EXPECT_TRUE(repaired.agreed);
    EXPECT_EQ(repaired.readings, 4) << "the reading that may be a copy is not one";
    EXPECT_EQ(repaired.agreeing, 2);
    EXPECT_EQ(reader.Rereads(), 4) << "only the flagged sector is read again";
    EXPECT_EQ(drive.commands, (std::vector<std::string>{"100+16", "200+16", "205+1", "205+1",
                                                        "205+1", "elsewhere", "205+1"}));
    EXPECT_EQ(drive.flushedSectors, 2048);
}

TEST(SecureReaderTest, FailedReadsAndSuspectSectorsAreReReadWithoutC2) {
    FakeDrive drive;
    SecureSettings settings;
    settings.agreeing = 3;
    settings.cacheSectors = 0;
    SecureReader reader(settings, drive.Hooks());
    reader.SetUsesC2(false);
    std::vector<uint8_t> out(4 * kSectorBytes);
    // The block's read fails on sector 11; read alone, it fails once more.
    // The other sectors read alone are taken as they are.
    drive.Script(11, {FakeDrive::kFails, FakeDrive::kFails});
    ASSERT_EQ(reader.Read(10, 4, out.data()), kStatusOk);
    EXPECT_TRUE(Exact(out, 10, 4));
    EXPECT_EQ(drive.flushes, 0) << "no cache defeat when the cache size is 0";
    ASSERT_EQ(reader.Outcomes().size(), 1u);
    EXPECT_EQ(reader.Outcomes()[0].address, 11);
    EXPECT_EQ(reader.Outcomes()[0].readings, 5) << "block, alone, then three alike";
    EXPECT_EQ(reader.Outcomes()[0].agreeing, 3);
    EXPECT_EQ(drive.reads, 1 + 4 + 3);

    // A silent wrong reading is caught only when the sector is suspect.
    reader.ClearOutcomes();
    drive.Script(21, {FakeDrive::kWrongSilent, FakeDrive::kRight, FakeDrive::kRight,
                      FakeDrive::kRight});
    std::vector<bool> suspect{false, true, false, false};
    ASSERT_EQ(reader.Read(20, 4, out.data(), &suspect), kStatusOk);
    EXPECT_TRUE(Exact(out, 20, 4));
    ASSERT_EQ(reader.Outcomes().size(), 1u);
    EXPECT_EQ(reader.Outcomes()[0].readings, 4);
    drive.Script(31, {FakeDrive::kWrongSilent});
    reader.ClearOutcomes();
    ASSERT_EQ(reader.Read(30, 4, out.data()), kStatusOk);
    EXPECT_FALSE(Exact(out, 30, 4)) << "nothing tells a silent wrong reading apart";
    EXPECT_TRUE(reader.Outcomes().empty());
}

TEST(SecureReaderTest, SectorsThatNeverAgreeKeepTheMostFrequentReadingAndSlowTheDrive) {
    FakeDrive drive;
    SecureSettings settings;
    settings.maxReadings = 6;
    settings.slowDownAfter = 2;
    SecureReader reader(settings, drive.Hooks());
    std::vector<uint8_t> out(2 * kSectorBytes);
    // Sector 50 is right once among its six readings. The block's read fails
    // as a whole (sector 51), so its reading there is not kept; read alone,
    // it comes wrong.
    drive.Script(50, {FakeDrive::kWrongFlagged, FakeDrive::kWrongFlagged, FakeDrive::kRight,
                      FakeDrive::kWrongFlagged, FakeDrive::kWrongFlagged,
                      FakeDrive::kWrongFlagged});
    // Sector 51 never reads.
    drive.Script(51, std::deque<FakeDrive::Reading>(6, FakeDrive::kFails));
    ASSERT_EQ(reader.Read(50, 2, out.data()), kStatusOk);
    ASSERT_EQ(reader.Outcomes().size(), 2u);
    const SectorOutcome& best = reader.Outcomes()[0];
    EXPECT_FALSE(best.agreed);
    EXPECT_EQ(best.readings, 6);
    EXPECT_EQ(best.agreeing, 1);
    // Every kept reading differs from the others: the first of them stays.
    EXPECT_NE(out[100], Pressed(50, 100));
    const SectorOutcome& unreadable = reader.Outcomes()[1];
    EXPECT_FALSE(unreadable.readable);
    EXPECT_EQ(unreadable.readings, 6);
    EXPECT_EQ(unreadable.agreeing, 0);
    EXPECT_EQ(out[kSectorBytes + 5], 0) << "silence where nothing could be read";
    // Slowed for the re-reads, back to full speed for each region read
    // elsewhere, restored when the pass ends.
    reader.Finish();
    ASSERT_GE(drive.speedChanges.size(), 2u);
    for (std::size_t i = 0; i < drive.speedChanges.size(); ++i) {
        EXPECT_EQ(drive.speedChanges[i], i % 2 == 0) << i;
    }
    EXPECT_FALSE(drive.speedChanges.back());

    // Three must agree: two right readings among six are the most frequent.
    settings.agreeing = 3;
    SecureReader three(settings, drive.Hooks());
    drive.Script(60, {FakeDrive::kWrongFlagged, FakeDrive::kWrongFlagged, FakeDrive::kRight,
                      FakeDrive::kWrongFlagged, FakeDrive::kRight, FakeDrive::kWrongFlagged});
    ASSERT_EQ(three.Read(60, 1, out.data()), kStatusOk);
    ASSERT_EQ(three.Outcomes().size(), 1u);
    EXPECT_FALSE(three.Outcomes()[0].agreed);
    EXPECT_EQ(three.Outcomes()[0].agreeing, 2);
    EXPECT_TRUE(Exact(out, 60, 1));
}

TEST(SecureReaderTest, CancelEndsTheReReadsAndRestoresTheSpeed) {
    FakeDrive drive;
    SecureSettings settings;
    settings.slowDownAfter = 1;
    drive.Script(7, std::deque<FakeDrive::Reading>(20, FakeDrive::kFails));
    drive.cancelAfterReads = 25;
    std::vector<uint8_t> out(16 * kSectorBytes);
    {
        SecureReader reader(settings, drive.Hooks());
        EXPECT_EQ(reader.Read(0, 16, out.data()), 0);
        EXPECT_EQ(drive.reads, 25) << "no read after the cancel was seen";
        EXPECT_FALSE(drive.speedChanges.empty());
    }
    EXPECT_FALSE(drive.speedChanges.back()) << "the speed is restored when the reader goes";
}

// The open sectors of a block are re-read in rounds: neighbours with one
// command, a sector that fails alone, and the cache emptied only for the
// sectors that gave a reading that may have been a cached copy - which a
// caching drive gives, and which never counts as a reading. A sector whose
// readings all differ is given up after a handful.
TEST(SecureReaderTest, OpenSectorsAreReReadTogetherInRoundsAndHopelessOnesGiveUpEarly) {
    FakeDrive drive;
    drive.caching = true;
    SecureSettings settings;
    settings.maxReadings = 12; // all different after half of them: given up
    SecureReader reader(settings, drive.Hooks());
    std::vector<uint8_t> out(16 * kSectorBytes);
    drive.Script(300, {FakeDrive::kWrongFlagged});
    drive.Script(301, {FakeDrive::kWrongFlagged});
    drive.Script(302, std::deque<FakeDrive::Reading>(20, FakeDrive::kWrongFlagged));
    drive.Script(309, {FakeDrive::kRight, FakeDrive::kFails, FakeDrive::kFails});
    std::vector<bool> suspect(16, false);
    suspect[9] = true;
    ASSERT_EQ(reader.Read(300, 16, out.data(), &suspect), kStatusOk);
    const std::vector<std::string> expected{
        "300+16",                       // the block
        "300+3", "309+1",               // cached copies: not counted
        "elsewhere", "300+3", "309+1",  // 300, 301 right; 309 fails
        "elsewhere", "300+3", "309+1",  // 300, 301 agree; 309 fails again
        "elsewhere", "302+1", "309+1",  // 309 agrees with its first reading
        "elsewhere", "302+1", "elsewhere", "302+1"}; // 302: six readings, all different
    EXPECT_EQ(drive.commands, expected);
    EXPECT_TRUE(Exact(out, 300, 2));
    ASSERT_EQ(reader.Outcomes().size(), 4u);
    EXPECT_TRUE(reader.Outcomes()[0].agreed);
    EXPECT_TRUE(reader.Outcomes()[1].agreed);
    EXPECT_FALSE(reader.Outcomes()[2].agreed);
    EXPECT_EQ(reader.Outcomes()[2].readings, 6);
    EXPECT_EQ(reader.Outcomes()[2].agreeing, 1);
    EXPECT_TRUE(reader.Outcomes()[3].agreed);
    EXPECT_EQ(reader.Outcomes()[3].readings, 4);

    // Without a cache that returns copies, a sector that reads differently
    // each time, and one that fails until it reads, cost no cache defeat
    // before a reading that may be a copy.
    FakeDrive plain;
    SecureReader direct(settings, plain.Hooks());
    plain.Script(502, std::deque<FakeDrive::Reading>(20, FakeDrive::kWrongFlagged));
    plain.Script(505, std::deque<FakeDrive::Reading>(5, FakeDrive::kFails));
    ASSERT_EQ(direct.Read(500, 8, out.data()), kStatusOk);
    EXPECT_EQ(plain.commands,
              (std::vector<std::string>{"500+8", "500+1", "501+1", "502+1", "503+1", "504+1",
                                        "505+1", "506+1", "507+1", "502+1", "505+1", "502+1",
                                        "505+1", "502+1", "505+1", "502+1", "505+1", "502+1",
                                        "505+1", "elsewhere", "505+1"}));
    ASSERT_EQ(direct.Outcomes().size(), 2u);
    EXPECT_FALSE(direct.Outcomes()[0].agreed);
    EXPECT_EQ(direct.Outcomes()[0].readings, 7);
    EXPECT_TRUE(direct.Outcomes()[1].agreed);
    EXPECT_EQ(direct.Outcomes()[1].readings, 7);

    // Known-wrong sectors with a reading and an earlier one at hand: a
    // re-read equal to either settles them.
    std::vector<uint8_t> right(kSectorBytes);
    for (int b = 0; b < kSectorBytes; ++b) {
        right[static_cast<std::size_t>(b)] = Pressed(401, b);
    }
    std::vector<uint8_t> block(2 * kSectorBytes, 0x55);
    const auto outcomes = reader.Reread(400, 2, block.data(), {false, true},
                                        {nullptr, right.data()}, {true, true});
    ASSERT_TRUE(outcomes);
    ASSERT_EQ(outcomes->size(), 1u);
    EXPECT_TRUE((*outcomes)[0].agreed);
    EXPECT_EQ((*outcomes)[0].readings, 3);
    EXPECT_EQ(drive.commands.back(), "401+1");
    EXPECT_TRUE(std::equal(right.begin(), right.end(), block.begin() + kSectorBytes));
}

// The drive is slowed for the re-reads of a block once the pass has seen
// enough bad readings, counting readings that agree but carry C2 errors as
// bad, and reads at its own speed again after them.
TEST(SecureReaderTest, TheDriveIsSlowedOnlyForReReads) {
    FakeDrive drive;
    SecureSettings settings;
    settings.agreeing = 4;
    settings.slowDownAfter = 2;
    settings.cacheSectors = 0;
    SecureReader reader(settings, drive.Hooks());
    std::vector<uint8_t> out(16 * kSectorBytes);
    drive.Script(5, std::deque<FakeDrive::Reading>(4, FakeDrive::kRightFlagged));
    drive.Script(40, std::deque<FakeDrive::Reading>(4, FakeDrive::kRightFlagged));
    ASSERT_EQ(reader.Read(0, 16, out.data()), kStatusOk);
    EXPECT_EQ(drive.speedChanges, (std::vector<bool>{true, false}));
    const int before = drive.reads;
    ASSERT_EQ(reader.Read(32, 16, out.data()), kStatusOk);
    EXPECT_EQ(drive.speedChanges, (std::vector<bool>{true, false, true, false}))
        << "slow from the first re-read on";
    EXPECT_EQ(drive.reads - before, 4);
    reader.Finish();
    EXPECT_EQ(drive.speedChanges.size(), 4u);
    EXPECT_TRUE(Exact(out, 32, 16));
}

// Reading ahead: the commands sent for a pass that asks for blocks of 16
// sectors in order, and what it gets, on drives that take long commands,
// refuse them, or fail one on a damaged sector.
TEST(ReadAheadTest, BlocksComeFromLongCommandsUnlessTheDriveRefusesThem) {
    struct Case {
        const char* drive;
        int32_t longest;      // longer commands are refused (not a medium error)
        SectorAddress damaged; // fails with a medium error (-1: none)
        std::vector<std::string> commands;
        bool refused;
    };
    const Case cases[] = {
        {"takes long commands", 64, -1, {"0+48", "48+48", "96+4"}, false},
        {"refuses them", 16, -1, {"0+48", "0+16", "16+16", "32+16", "48+16", "64+16", "80+16", "96+4"}, true},
        {"damaged", 64, 20, {"0+48", "0+16", "16+16", "32+16", "48+48", "96+4"}, false},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.drive);
        std::vector<std::string> commands;
        bool medium = false;
        auto read = [&](SectorAddress address, int32_t count, uint8_t* audio, uint8_t* c2) {
            commands.push_back(std::to_string(address) + "+" + std::to_string(count));
            medium = c.damaged >= address && c.damaged < address + count;
            if (count > c.longest || medium) {
                return 2;
            }
            for (int32_t s = 0; s < count; ++s) {
                for (int b = 0; b < kSectorBytes; ++b) {
                    audio[s * kSectorBytes + b] = Pressed(address + s, b);
                }
                c2[s * 294] = static_cast<uint8_t>(address + s);
            }
            return kStatusOk;
        };
        bool refused = false;
        ReadAhead ahead(read, 100, true, [&] { return medium; }, &refused);
        std::vector<uint8_t> audio(16 * kSectorBytes);
        std::vector<uint8_t> c2(16 * 294);
        for (SectorAddress at = 0; at < 100; at += 16) {
            const int32_t count = std::min<int32_t>(16, 100 - at);
            const bool bad = c.damaged >= at && c.damaged < at + count;
            ASSERT_EQ(ahead.Read(at, count, audio.data(), c2.data()), bad ? 2 : kStatusOk) << at;
            for (int32_t s = 0; s < count && !bad; ++s) {
                ASSERT_EQ(audio[s * kSectorBytes + 77], Pressed(at + s, 77)) << at + s;
                ASSERT_EQ(c2[s * 294], static_cast<uint8_t>(at + s)) << at + s;
            }
        }
        EXPECT_EQ(commands, c.commands);
        EXPECT_EQ(refused, c.refused);
    }
}

} // namespace
} // namespace vindral

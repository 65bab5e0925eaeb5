// The checks of a rip as the run feeds them: checksums of exactly the audio
// read, each track's result when its extraction pass ends, and verification
// left out for confirmed tracks.
#include <gtest/gtest.h>

#include <algorithm>

#include "accuracy/AccuracyTestData.h"
#include "accuracy/CtdbParity.h"
#include "accuracy/RipAccuracy.h"
#include "extract/RunHarness.h"
#include "net/LocalHttpServer.h"

namespace vindral {
namespace {

using accuracy::AccurateRipEntry;
using accuracy::AccurateRipLookup;
using accuracy::AccurateRipResponse;
using accuracy::CtdbEntry;
using accuracy::CtdbLookup;
using accuracy::LookupState;

// Two audio tracks, 40 and 35 sectors, then nothing.
TrackTable TwoTracks() {
    TrackTable table;
    table.entries[0] = TrackEntry{0, 1, 0, 40};
    table.entries[1] = TrackEntry{0, 2, 40, 35};
    table.count = 2;
    return table;
}

// The same two tracks after a data track of 33 sectors: the disc's audio
// still spans 75 sectors, from address 33 on.
TrackTable DataThenTwoTracks() {
    TrackTable table;
    table.entries[0] = TrackEntry{1, 1, 0, 33};
    table.entries[1] = TrackEntry{0, 2, 33, 40};
    table.entries[2] = TrackEntry{0, 3, 73, 35};
    table.count = 3;
    return table;
}

// The sums of a track of the fake disc, computed apart from the run; the
// disc's audio spans 75 sectors.
accuracy::TrackSums SumsOf(const TrackEntry& track, bool first, bool last) {
    const uint64_t discSamples = 75ull * accuracy::kSamplesPerSector;
    const accuracy::TrackPlace place{first, last};
    accuracy::TrackChecksums sums(static_cast<uint64_t>(track.length) * accuracy::kSamplesPerSector,
                                  place, accuracy::CtdbTrimFor(place, discSamples));
    std::vector<uint8_t> sector(kSectorBytes);
    for (SectorAddress a = track.start; a < track.start + track.length; ++a) {
        for (int i = 0; i < kSectorBytes; ++i) {
            sector[static_cast<std::size_t>(i)] = test::DiscByte(a, i);
        }
        sums.Add(sector.data(), sector.size());
    }
    return sums.Result();
}

class RipAccuracyRun : public test::RunFixture {
protected:
    struct Outcome {
        std::vector<std::string> lines;
        std::unique_ptr<accuracy::RipAccuracy> checks;
        bool failed = false;
        int bar = 0;
        int skipped = 0;
    };

    Outcome Rip(bool verify, bool skipConfirmed, AccurateRipLookup ar, CtdbLookup ctdb,
                const TrackTable& table = TwoTracks()) {
        const int audio = table.count - 2; // the last two tracks
        ExtractJob job = Job({table.entries[static_cast<std::size_t>(audio)],
                              table.entries[static_cast<std::size_t>(audio + 1)]},
                             verify);
        accuracy::RipAccuracyOptions options;
        options.skipConfirmed = skipConfirmed;
        Outcome outcome;
        outcome.checks = std::make_unique<accuracy::RipAccuracy>(table, job, options);
        outcome.checks->SetAnswers(std::move(ar), std::move(ctdb));
        test::RecordingView view;
        RunProtocol protocol(job, view, Clock());
        protocol.SetObserver(outcome.checks.get());
        RunToStop(protocol);
        outcome.lines = view.lines;
        outcome.failed = protocol.Failed();
        outcome.bar = protocol.ProgressBar();
        outcome.skipped = protocol.VerificationsSkipped();
        return outcome;
    }

    static AccurateRipLookup ArAnswer(std::vector<std::vector<AccurateRipEntry>> responses) {
        AccurateRipLookup lookup;
        lookup.state = LookupState::Found;
        for (auto& tracks : responses) {
            AccurateRipResponse response;
            response.id = accuracy::AccurateRipIdOf(accuracy::DiscTocFromTable(TwoTracks()));
            response.tracks = std::move(tracks);
            lookup.responses.push_back(std::move(response));
        }
        return lookup;
    }

    static CtdbLookup CtdbAnswer(std::vector<std::pair<int, std::vector<uint32_t>>> entries) {
        CtdbLookup lookup;
        lookup.state = entries.empty() ? LookupState::NotInDatabase : LookupState::Found;
        for (auto& [confidence, crcs] : entries) {
            CtdbEntry entry;
            entry.confidence = confidence;
            entry.trackCrcs = crcs;
            lookup.entries.push_back(entry);
        }
        return lookup;
    }

    const accuracy::TrackSums one = SumsOf(TrackEntry{0, 1, 0, 40}, true, false);
    const accuracy::TrackSums two = SumsOf(TrackEntry{0, 2, 40, 35}, false, true);
};

std::string Hex(uint32_t value) {
    char text[16];
    std::snprintf(text, sizeof text, "%08X", value);
    return text;
}

bool Has(const std::vector<std::string>& lines, const std::string& line) {
    return std::find(lines.begin(), lines.end(), line) != lines.end();
}

TEST_F(RipAccuracyRun, ConfirmedDiscIsReadOnceWithVerifyAuto) {
    auto outcome = Rip(true, true,
                       ArAnswer({{{12, one.arV2, 0}, {3, two.arV1, 0}},
                                 {{3, 0x1111, 0}, {1, 0x2222, 0}}}),
                       CtdbAnswer({{7, {one.ctdbCrc, two.ctdbCrc}}}));
    for (SectorAddress a = 0; a < 75; ++a) {
        ASSERT_EQ(disc.ReadsOf(a), 1) << "sector " << a;
    }
    const auto& lines = outcome.lines;
    EXPECT_TRUE(Has(lines, "  Verification skipped: AccurateRip confirms the copy (confidence 12)"));
    EXPECT_TRUE(Has(lines, "  Verification skipped: AccurateRip confirms the copy (confidence 3)"));
    for (const std::string& line : lines) {
        EXPECT_EQ(line.find("---> Verifying"), std::string::npos);
        EXPECT_EQ(line.find("  Errors:"), std::string::npos);
    }
    EXPECT_EQ(outcome.bar, 100);
    EXPECT_EQ(outcome.skipped, 2);
    EXPECT_FALSE(outcome.failed);
    // The added lines come after the run's own summary, in this order.
    const auto extracted = std::find(lines.begin(), lines.end(), "2 track(s) extracted");
    ASSERT_NE(extracted, lines.end());
    const std::vector<std::string> added(extracted + 1, lines.end());
    const std::vector<std::string> expected = {
        "Track 01: accurate (AccurateRip v2, confidence 12 of 15) [" + Hex(one.arV2) + "]",
        "Track 01: accurate (CTDB, confidence 7 of 7) [" + Hex(one.ctdbCrc) + "]",
        "Track 02: accurate (AccurateRip v1, confidence 3 of 4) [" + Hex(two.arV1) + "]",
        "Track 02: accurate (CTDB, confidence 7 of 7) [" + Hex(two.ctdbCrc) + "]",
        "Accuracy: 2 of 2 track(s) accurate, 0 not accurate, 0 not in database",
    };
    EXPECT_EQ(added, expected);
    EXPECT_FALSE(outcome.checks->AnyNotAccurate());

    // The copy CRC is zlib's CRC32 of the WAV's audio bytes.
    const auto wav = test::ReadWholeFile(folder.Path() + "Track01.wav");
    ASSERT_EQ(wav.size(), 44u + 40u * kSectorBytes);
    EXPECT_EQ(outcome.checks->Tracks()[0].sums.crc32,
              accuracy::Crc32(wav.data() + 44, wav.size() - 44));
    EXPECT_TRUE(outcome.checks->Tracks()[0].verificationSkipped);
    EXPECT_FALSE(outcome.checks->Tracks()[0].testCrc);

    // After a data track, the CTDB CRCs cover the audio alone: the last
    // track's trim follows the audio's length, not the disc's.
    const TrackTable enhanced = DataThenTwoTracks();
    const accuracy::TrackSums first = SumsOf(enhanced.entries[1], true, false);
    const accuracy::TrackSums last = SumsOf(enhanced.entries[2], false, true);
    auto after = Rip(false, false, ArAnswer({}), CtdbAnswer({{7, {first.ctdbCrc, last.ctdbCrc}}}),
                     enhanced);
    EXPECT_TRUE(Has(after.lines, "Track 02: accurate (CTDB, confidence 7 of 7) [" +
                                     Hex(first.ctdbCrc) + "]"));
    EXPECT_TRUE(Has(after.lines, "Track 03: accurate (CTDB, confidence 7 of 7) [" +
                                     Hex(last.ctdbCrc) + "]"))
        << ::testing::PrintToString(after.lines);
    EXPECT_FALSE(after.checks->AnyNotAccurate());
}

TEST_F(RipAccuracyRun, OnlyWellConfirmedTracksSkipTheSecondReading) {
    // Track 1: AccurateRip confidence 1 only (too weak), no CTDB entry
    // for it; track 2: CTDB confirms it.
    auto outcome = Rip(true, true, ArAnswer({{{1, one.arV2, 0}, {4, 0xBAD, 0}}}),
                       CtdbAnswer({{2, {0xBAD, two.ctdbCrc}}}));
    EXPECT_EQ(disc.ReadsOf(0), 2);
    EXPECT_EQ(disc.ReadsOf(39), 2);
    EXPECT_EQ(disc.ReadsOf(40), 1);
    EXPECT_EQ(disc.ReadsOf(74), 1);
    EXPECT_TRUE(Has(outcome.lines, "---> Verifying track 01"));
    EXPECT_FALSE(Has(outcome.lines, "---> Verifying track 02"));
    EXPECT_TRUE(Has(outcome.lines, "  Verification skipped: CTDB confirms the copy (confidence 2)"));
    EXPECT_EQ(outcome.bar, 100);
    EXPECT_EQ(outcome.skipped, 1);
    // The second reading's CRC is that of the same audio.
    const auto& track = outcome.checks->Tracks()[0];
    ASSERT_TRUE(track.testCrc);
    EXPECT_EQ(*track.testCrc, track.sums.crc32);
    EXPECT_EQ(track.differingBytes, 0);
    EXPECT_FALSE(outcome.checks->AnyNotAccurate());
}

TEST_F(RipAccuracyRun, WithoutAutoEveryTrackIsVerifiedAndMismatchesAreReported) {
    auto outcome = Rip(true, false,
                       ArAnswer({{{12, 0xBAD1, 0}, {3, two.arV2, 0}},
                                 {{3, 0xBAD2, 0}, {1, 0x2222, 0}},
                                 {{0, one.arV2, 0}, {0, 0, 0}}}),
                       CtdbAnswer({}));
    EXPECT_EQ(disc.ReadsOf(0), 2);
    EXPECT_EQ(disc.ReadsOf(74), 2);
    // A response of confidence 0 counts for nothing.
    EXPECT_TRUE(Has(outcome.lines, "Track 01: not accurate (AccurateRip: 2 pressings, none matches) [" +
                                       Hex(one.arV2) + "]"));
    EXPECT_TRUE(Has(outcome.lines, "Track 01: not in database (CTDB) [" + Hex(one.ctdbCrc) + "]"));
    EXPECT_TRUE(Has(outcome.lines, "Track 02: accurate (AccurateRip v2, confidence 3 of 4) [" +
                                       Hex(two.arV2) + "]"));
    EXPECT_EQ(outcome.lines.back(),
              "Accuracy: 1 of 2 track(s) accurate, 1 not accurate, 0 not in database");
    EXPECT_TRUE(outcome.checks->AnyNotAccurate());
}

TEST_F(RipAccuracyRun, DatabasesThatCannotBeUsedGiveOneLineEach) {
    AccurateRipLookup down;
    down.state = LookupState::Unreachable;
    down.reason = "Could not connect";
    CtdbLookup broken;
    broken.state = LookupState::Unusable;
    broken.reason = "malformed CTDB answer";
    auto outcome = Rip(false, false, down, broken);
    const auto extracted = std::find(outcome.lines.begin(), outcome.lines.end(), "2 track(s) extracted");
    ASSERT_NE(extracted, outcome.lines.end());
    const std::vector<std::string> added(extracted + 1, outcome.lines.end());
    const std::vector<std::string> expected = {
        "AccurateRip: database not reachable (Could not connect)",
        "CTDB: unusable answer, not used (malformed CTDB answer)",
        "Accuracy: not checked, neither database could be used",
    };
    EXPECT_EQ(added, expected);
    EXPECT_FALSE(outcome.checks->AnyNotAccurate());
    EXPECT_FALSE(outcome.failed);
}

TEST_F(RipAccuracyRun, LogDataHoldsEveryTracksSums) {
    auto outcome = Rip(true, false, ArAnswer({{{5, one.arV1, 0}, {5, two.arV2, 0}}}), CtdbAnswer({}));
    const accuracy::RipLogData data = outcome.checks->LogData();
    ASSERT_EQ(data.tracks.size(), 2u);
    EXPECT_EQ(data.tracks[0].number, 1);
    EXPECT_EQ(data.tracks[0].file, folder.Path() + "Track01.wav");
    EXPECT_EQ(data.tracks[0].copyCrc, one.crc32);
    EXPECT_EQ(data.tracks[0].arV1, one.arV1);
    EXPECT_EQ(data.tracks[1].arV2, two.arV2);
    EXPECT_EQ(data.tracks[1].ctdbCrc, two.ctdbCrc);
    ASSERT_TRUE(data.tracks[1].testCrc);
    EXPECT_EQ(*data.tracks[1].testCrc, two.crc32);
    ASSERT_EQ(data.tracks[0].results.size(), 2u);
    EXPECT_EQ(data.tracks[0].results[0].find("AccurateRip: accurate (AccurateRip v1, confidence 5 of 5)"), 0u)
        << data.tracks[0].results[0];
    EXPECT_EQ(data.accurateRipId,
              accuracy::AccurateRipIdOf(accuracy::DiscTocFromTable(TwoTracks())).Text());
}

// With repair on, a rip that differs from a CTDB entry in one sector is
// mended in its file when the run ends: the repair's lines come before the
// results, the track is accurate as written, and the peak display marks
// that sector's block repaired (blue) and no other.
TEST_F(RipAccuracyRun, RepairMendsTheFileAndMarksItsBlockForThePeakDisplay) {
    std::vector<uint8_t> pressed(75 * kSectorBytes);
    for (std::size_t i = 0; i < pressed.size(); ++i) {
        pressed[i] = test::DiscByte(static_cast<SectorAddress>(i / kSectorBytes), static_cast<int>(i % kSectorBytes));
    }
    for (int i = 0; i < kSectorBytes; ++i) {
        pressed[52 * kSectorBytes + i] ^= 0x5A; // what the drive gets wrong
    }
    std::string error;
    const auto encoded = accuracy::EncodeCtdbParity(pressed.data(), pressed.size(), 5880, 8, error);
    ASSERT_TRUE(encoded) << error;
    test::LocalHttpServer server;
    server.Set("/parity.bin", accuracy::CtdbParityBytes(encoded->parity));
    CtdbLookup ctdb = CtdbAnswer({{4, {}}});
    CtdbEntry& entry = ctdb.entries.front();
    entry.id = "7";
    entry.crc32 = encoded->crc;
    entry.npar = 8;
    entry.stride = 5880;
    entry.parityUrl = "/parity.bin";
    entry.syndrome = encoded->columnZero;
    for (int t = 0; t < 2; ++t) {
        const accuracy::TrackPlace place{t == 0, t == 1};
        accuracy::TrackChecksums sums(t == 0 ? 40 * 588 : 35 * 588, place, accuracy::CtdbTrimFor(place, 75 * 588));
        sums.Add(pressed.data() + (t == 0 ? 0 : 40 * kSectorBytes), (t == 0 ? 40 : 35) * kSectorBytes);
        entry.trackCrcs.push_back(sums.Result().ctdbCrc);
    }

    const ExtractJob job = Job({TwoTracks().entries[0], TwoTracks().entries[1]}, false);
    accuracy::RipAccuracyOptions options;
    options.repair = true;
    options.ctdbUrl = server.Url();
    accuracy::RipAccuracy checks(TwoTracks(), job, options);
    checks.SetAnswers(AccurateRipLookup{LookupState::NotInDatabase, "", false, {}}, ctdb);
    test::RecordingView view;
    RunProtocol protocol(job, view, Clock());
    protocol.SetObserver(&checks);
    RunToStop(protocol);

    const auto& lines = view.lines;
    const auto mended = std::find(lines.begin(), lines.end(), "  Repaired from CTDB: 00:00.12 (588 samples)");
    ASSERT_NE(mended, lines.end()) << ::testing::PrintToString(lines);
    EXPECT_EQ(*(mended - 1), "Track 02:");
    EXPECT_EQ(lines.back(), "Accuracy: 2 of 2 track(s) accurate, 0 not accurate, 0 not in database; "
                            "1 repaired from CTDB");
    const auto file = test::ReadWholeFile(folder.Path() + "Track02.wav");
    ASSERT_EQ(file.size(), 44u + 35 * kSectorBytes);
    EXPECT_TRUE(std::equal(file.begin() + 44, file.end(), pressed.begin() + 40 * kSectorBytes));
    for (SectorAddress block = 0; block < 75; block += 16) {
        EXPECT_EQ(protocol.Run().peaks->At(block)->secureMark,
                  block == 48 ? kSecureMarkRepaired : kSecureMarkNone) << block;
    }
}

} // namespace
} // namespace vindral

// The run protocol with secure reading over a scripted drive: the log lines,
// the track results, the peak marks and the speed changes.
#include <gtest/gtest.h>

#include <algorithm>

#include "extract/RunHarness.h"

namespace vindral {
namespace {

class SecureRun : public test::RunFixture {};

TEST_F(SecureRun, FlaggedAndUnreadableSectorsAreMarkedLoggedAndCounted) {
    disc.c2Flagged[20] = {5, 6};  // flagged every time, yet the same data
    disc.unreadable = {40};       // never reads
    ExtractJob job = Job({TrackEntry{0, 1, 0, 64}, TrackEntry{0, 2, 64, 32}}, false);
    job.secure = true;
    job.c2Pointers = true;
    job.secureSettings.cacheSectors = 0;
    test::RecordingView view;
    RunProtocol protocol(job, view, Clock());
    RunToStop(protocol);

    const auto has = [&](const std::string& line) {
        return std::find(view.lines.begin(), view.lines.end(), line) != view.lines.end();
    };
    EXPECT_TRUE(has("  Repaired: 00:00.20 (2 readings, 2 agreed)"));
    EXPECT_TRUE(has("  Unreadable: 00:00.40 (written as silence)"));
    EXPECT_TRUE(has("2 track(s) extracted"));
    // Re-reads: one of sector 20, eighteen of sector 40 (its block read and
    // its own first read make twenty readings); the second reading tries
    // sector 40 once more, alone, and leaves it as the first gave it up.
    EXPECT_TRUE(has("Secure reading: 1 exact, 0 repaired, 1 suspicious, 0 failed (19 re-reads; "
                    "1 sector(s) unreadable, written as silence)"))
        << view.lines.back();
    EXPECT_TRUE(has("---> Verifying track 02")) << "no sector is taken on one reading";
    EXPECT_TRUE(protocol.Finished());
    EXPECT_TRUE(protocol.Failed()) << "a suspicious track fails the run";
    EXPECT_EQ(protocol.Result(0), RunProtocol::TrackResult::kSuspicious);
    EXPECT_EQ(protocol.Result(1), RunProtocol::TrackResult::kExact);

    const PeakTable& peaks = *protocol.Run().peaks;
    EXPECT_EQ(peaks.At(0)->secureMark, kSecureMarkNone);
    EXPECT_EQ(peaks.At(16)->secureMark, kSecureMarkRepaired);
    EXPECT_EQ(peaks.At(32)->secureMark, kSecureMarkSuspicious);
    EXPECT_EQ(peaks.At(64)->secureMark, kSecureMarkNone);

    // Slowed down to 4 X for the re-reads of sector 40, and given back the
    // drive's maximum (it read at its maximum) afterwards.
    std::vector<int> speeds;
    for (const auto& c : commands) {
        if (c.cdb[0] == 0xBB) {
            speeds.push_back((c.cdb[2] << 8) | c.cdb[3]);
        }
    }
    EXPECT_EQ(speeds, (std::vector<int>{704, 0xFFFF}));
    EXPECT_EQ(disc.ReadsOf(41), 2) << "the failed block delivers nothing; read alone once a pass";

    // The file holds silence for the unreadable sector, the disc elsewhere.
    const auto wav = test::ReadWholeFile(folder.Path() + "Track01.wav");
    ASSERT_EQ(wav.size(), 44u + 64u * kSectorBytes);
    EXPECT_EQ(wav[44 + 40 * kSectorBytes + 7], 0);
    EXPECT_EQ(wav[44 + 41 * kSectorBytes + 7], test::DiscByte(41, 7));
    EXPECT_EQ(wav[44 + 20 * kSectorBytes + 7], test::DiscByte(20, 7));
}

TEST_F(SecureRun, WithoutSecureReadingTheFirstReadErrorStillEndsTheRun) {
    disc.unreadable = {40};
    ExtractJob job = Job({TrackEntry{0, 1, 0, 64}, TrackEntry{0, 2, 64, 32}}, false);
    test::RecordingView view;
    RunProtocol protocol(job, view, Clock());
    RunToStop(protocol);
    EXPECT_EQ(view.lines.back(), "Read error (code 031100)");
    EXPECT_FALSE(test::FileExists(folder.Path() + "Track01.wav"));
    EXPECT_FALSE(test::FileExists(folder.Path() + "Track02.wav"));
    EXPECT_EQ(disc.ReadsOf(64), 0);
}

} // namespace
} // namespace vindral

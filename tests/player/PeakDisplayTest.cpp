#include "player/PeakDisplay.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <vector>

namespace vindral {
namespace {

constexpr PeakColour kGrey{192, 192, 192};
constexpr PeakColour kGreen{0, 255, 0};
constexpr PeakColour kYellow{255, 255, 0};
constexpr PeakColour kRed{255, 0, 0};

// The rows of column x that are not black.
std::vector<int32_t> LitRows(const PeakPicture& picture, int32_t x) {
    std::vector<int32_t> rows;
    for (int32_t y = 0; y < picture.Height(); ++y) {
        if (picture.Pixel(x, y) != kBlack) {
            rows.push_back(y);
        }
    }
    return rows;
}

std::vector<int32_t> Range(int32_t from, int32_t to) { // from ... to, both included
    std::vector<int32_t> rows;
    for (int32_t y = from; y <= to; ++y) {
        rows.push_back(y);
    }
    return rows;
}

std::vector<int32_t> Concat(std::vector<int32_t> a, const std::vector<int32_t>& b) {
    a.insert(a.end(), b.begin(), b.end());
    return a;
}

int CountLitColumns(const PeakPicture& picture) {
    int count = 0;
    for (int32_t x = 0; x < picture.Width(); ++x) {
        count += LitRows(picture, x).empty() ? 0 : 1;
    }
    return count;
}

TEST(PeakPictureTest, BufferIsZeroedAndSizedForRoundedRowsPlusSlack) {
    PeakPicture picture;
    picture.Create(6, 4);
    EXPECT_EQ(picture.Size(), 8u * 4u * 3u + 100u);
    for (std::size_t i = 0; i < picture.Size(); ++i) {
        ASSERT_EQ(picture.Bits()[i], 0) << i;
    }
}

TEST(PeakPictureTest, PixelsAreBlueGreenRedInRowsStoredBottomUp) {
    PeakPicture picture;
    picture.Create(8, 4);
    picture.SetPixel(1, 0, PeakColour{10, 20, 30}); // top row: last row in memory
    picture.SetPixel(2, 3, PeakColour{40, 50, 60}); // bottom row: first in memory
    // Top row, column 1: ((4 - 1 - 0) * 8 + 1) * 3 = 75.
    EXPECT_EQ(picture.Offset(1, 0), 75u);
    EXPECT_EQ(picture.Bits()[75], 30);
    EXPECT_EQ(picture.Bits()[76], 20);
    EXPECT_EQ(picture.Bits()[77], 10);
    // Bottom row, column 2: (0 * 8 + 2) * 3 = 6.
    EXPECT_EQ(picture.Offset(2, 3), 6u);
    EXPECT_EQ(picture.Bits()[6], 60);
    EXPECT_EQ(picture.Bits()[7], 50);
    EXPECT_EQ(picture.Bits()[8], 40);
    EXPECT_EQ(picture.Pixel(1, 0), (PeakColour{10, 20, 30}));
}

TEST(PeakPictureTest, WritesOutsideThePictureAreIgnored) {
    PeakPicture picture;
    picture.Create(4, 4);
    picture.SetPixel(-1, 0, kRed);
    picture.SetPixel(4, 0, kRed);
    picture.SetPixel(0, -1, kRed);
    picture.SetPixel(0, 4, kRed);
    picture.FillRows(0, -10, 20, kGreen); // clipped to rows 0 ... 3
    picture.FillRows(7, 0, 4, kGreen);    // no such column
    for (std::size_t i = 0; i < picture.Size(); ++i) {
        const bool inColumn0 = i < 4u * 4u * 3u && (i / 3) % 4 == 0;
        const uint8_t expected = inColumn0 && i % 3 == 1 ? 255 : 0;
        ASSERT_EQ(picture.Bits()[i], expected) << i;
    }
}

TEST(PeakPictureTest, FillSetsFromTheSmallerRowUpToButNotIncludingTheLarger) {
    PeakPicture picture;
    picture.Create(4, 10);
    picture.FillRows(0, 7, 3, kGreen);
    picture.FillRows(1, 3, 7, kGreen);
    picture.FillRows(2, 5, 5, kGreen);
    EXPECT_EQ(LitRows(picture, 0), Range(3, 6));
    EXPECT_EQ(LitRows(picture, 1), Range(3, 6));
    EXPECT_TRUE(LitRows(picture, 2).empty());
}

TEST(ErrorColourTest, GreyBeforeVerificationGreenWhenCleanYellowToRedWithDifferences) {
    EXPECT_EQ(ErrorColour(-1), kGrey);
    EXPECT_EQ(ErrorColour(0), kGreen);
    EXPECT_EQ(ErrorColour(1), kYellow);
    EXPECT_EQ(ErrorColour(kMaxErrorCount), kRed);
    // Half of the bytes: 255 - 9408 * 255 / 18816 = 255 - 127.
    EXPECT_EQ(ErrorColour(9408), (PeakColour{255, 128, 0}));
    // A count beyond what a block can hold stays red instead of wrapping.
    EXPECT_EQ(ErrorColour(40000), kRed);
}

TEST(BarTest, HalvingIsAnArithmeticShiftAfterTruncatingDivisions) {
    EXPECT_EQ(BarOf(80, 127, 128).up, 20);   // 80 * 127 / 254 = 40, halved
    EXPECT_EQ(BarOf(80, 127, 128).down, 20); // 80 * 128 / 256 = 40, halved
    EXPECT_EQ(BarOf(80, 10, 10).up, 1);      // 3 >> 1
    EXPECT_EQ(BarOf(80, 10, 10).down, 1);    // 3 >> 1
    // -3 >> 1 is -2, where a division by two would give -1.
    EXPECT_EQ(BarOf(254, -3, 0).up, -2);
    EXPECT_EQ(BarOf(144, -128, 128).up, -36); // 144 * -128 / 254 = -72 (truncated), >> 1
}

TEST(BarTest, AnEmptyBarBecomesOnePixelUp) {
    const BarExtent silent = BarOf(80, 0, 0);
    EXPECT_EQ(silent.up, 1);
    EXPECT_EQ(silent.down, 0);
    const BarExtent quiet = BarOf(80, 1, 1); // 0 and 0 after the shift
    EXPECT_EQ(quiet.up, 1);
    EXPECT_EQ(quiet.down, 0);
}

class PeakDisplayTest : public ::testing::Test {
protected:
    // Width 100, height 80: the left centre row is 20, the right one 60.
    void SetUp() override { display.Initialise(PeakArea{10, 50, 100, 80}); }

    PeakPair& Entry(SectorAddress address) { return *table.At(address); }

    PeakDisplay display;
    PeakTable table;
};

TEST_F(PeakDisplayTest, InitialiseCreatesABlackPictureOfTheAreaAndResetsTheColumns) {
    EXPECT_EQ(display.Picture().Width(), 100);
    EXPECT_EQ(display.Picture().Height(), 80);
    EXPECT_EQ(CountLitColumns(display.Picture()), 0);
    EXPECT_EQ(display.Columns().At(0)->left, ColumnState::kStart);
    EXPECT_EQ(display.Columns().At(99)->right, ColumnState::kStart);
}

TEST_F(PeakDisplayTest, SilentBlockDrawsOneCentrePixelPerChannel) {
    // Peaks 0, not verified: the state of an entry no block has filled yet.
    EXPECT_EQ(display.DrawBlockColumn(0, 0, 1600, table), 0);
    EXPECT_EQ(LitRows(display.Picture(), 0), (std::vector<int32_t>{20, 60}));
    EXPECT_EQ(display.Picture().Pixel(0, 20), kGrey);
    EXPECT_EQ(display.Picture().Pixel(0, 60), kGrey);
}

TEST_F(PeakDisplayTest, UpperHalfIsLeftChannelAndLowerHalfRightChannel) {
    PeakPair& entry = Entry(160);
    entry = PeakPair{64, 0, 0, 32, -1, -1};
    // up = (80 * 64 / 254) >> 1 = 20 >> 1 = 10: rows 11 ... 20.
    // down = (80 * 32 / 256) >> 1 = 5: rows 60 ... 64 (up 0, down 5).
    EXPECT_EQ(display.DrawBlockColumn(160, 800, 1600, table), 50);
    EXPECT_EQ(LitRows(display.Picture(), 50), Concat(Range(11, 20), Range(60, 64)));
}

TEST_F(PeakDisplayTest, FullScaleFillsEachHalf) {
    Entry(0) = PeakPair{127, 128, 127, 128, 0, 0};
    display.DrawBlockColumn(0, 0, 1600, table);
    // Left: up 20 from centre 20 (rows 1 ... 20), down 20 (rows 20 ... 39);
    // right: rows 41 ... 60 and 60 ... 79.
    EXPECT_EQ(LitRows(display.Picture(), 0), Concat(Range(1, 39), Range(41, 79)));
    EXPECT_EQ(display.Picture().Pixel(0, 5), kGreen);
}

TEST_F(PeakDisplayTest, CleanVerificationTurnsGreyColumnsGreen) {
    const int32_t length = 16 * 100; // one block per column
    for (int32_t k = 0; k < 100; ++k) {
        Entry(16 * k) = PeakPair{50, 50, 50, 50, -1, -1};
    }
    display.StartTrackPicture();
    for (int32_t k = 0; k < 100; ++k) {
        display.DrawBlockColumn(16 * k, 16 * k, length, table);
    }
    EXPECT_EQ(display.Picture().Pixel(37, 20), kGrey);
    EXPECT_EQ(display.Picture().Pixel(37, 60), kGrey);

    // The verification pass keeps the picture and the counts and draws over it.
    for (int32_t k = 0; k < 100; ++k) {
        Entry(16 * k).leftErrors = 0;
        Entry(16 * k).rightErrors = 0;
        display.DrawBlockColumn(16 * k, 16 * k, length, table);
    }
    for (int32_t x = 0; x < 100; ++x) {
        for (const int32_t y : LitRows(display.Picture(), x)) {
            ASSERT_EQ(display.Picture().Pixel(x, y), kGreen) << x << "," << y;
        }
    }
}

TEST_F(PeakDisplayTest, DifferencesColourEachChannelOnItsOwn) {
    Entry(0) = PeakPair{50, 50, 50, 50, 1, kMaxErrorCount};
    display.DrawBlockColumn(0, 0, 1600, table);
    EXPECT_EQ(display.Picture().Pixel(0, 20), kYellow);
    EXPECT_EQ(display.Picture().Pixel(0, 60), kRed);
}

TEST_F(PeakDisplayTest, ALaterCleanerBlockInTheSameColumnIsSkipped) {
    // 3200 sectors on 100 columns: two blocks per column.
    Entry(0) = PeakPair{20, 20, 20, 20, 5, 0};
    Entry(16) = PeakPair{127, 128, 127, 128, 0, 0};
    EXPECT_EQ(display.DrawBlockColumn(0, 0, 3200, table), 0);
    // up 3 and down 3: rows 18 ... 20 and 20 ... 22 around the centre 20.
    const std::vector<int32_t> leftBefore = Range(18, 22);
    EXPECT_EQ(LitRows(display.Picture(), 0), Concat(leftBefore, Range(58, 62)));
    // Same column: the left channel (0 < 5) is skipped, the right (0 >= 0) drawn.
    EXPECT_EQ(display.DrawBlockColumn(16, 16, 3200, table), 0);
    EXPECT_EQ(LitRows(display.Picture(), 0), Concat(leftBefore, Range(41, 79)));
    EXPECT_EQ(display.Picture().Pixel(0, 20), ErrorColour(5));
    EXPECT_EQ(display.Columns().At(0)->left, 5);
    EXPECT_EQ(display.Columns().At(0)->right, 0);

    // Both channels cleaner than the column: nothing drawn at all.
    Entry(0).rightErrors = 3;
    display.DrawBlockColumn(0, 0, 3200, table);
    Entry(16) = PeakPair{127, 128, 127, 128, 1, 1};
    EXPECT_EQ(display.DrawBlockColumn(16, 16, 3200, table), -1);
}

TEST_F(PeakDisplayTest, LaterBlocksDrawOverEarlierOnesWithoutErasing) {
    Entry(0) = PeakPair{127, 128, 0, 0, -1, -1};
    Entry(16) = PeakPair{10, 10, 0, 0, 0, -1};
    display.DrawBlockColumn(0, 0, 3200, table);
    display.DrawBlockColumn(16, 16, 3200, table);
    EXPECT_EQ(display.Picture().Pixel(0, 2), kGrey);   // only the first bar reaches here
    EXPECT_EQ(display.Picture().Pixel(0, 20), kGreen); // covered by both, last one wins
}

TEST_F(PeakDisplayTest, StartTrackPictureClearsPictureAndColumnCounts) {
    Entry(0) = PeakPair{127, 128, 127, 128, 7, 7};
    display.DrawBlockColumn(0, 0, 1600, table);
    ASSERT_EQ(display.Columns().At(0)->left, 7);
    display.StartTrackPicture();
    EXPECT_EQ(CountLitColumns(display.Picture()), 0);
    EXPECT_EQ(display.Columns().At(0)->left, ColumnState::kStart);
    EXPECT_EQ(display.Columns().At(0)->right, ColumnState::kStart);
    // An unverified block draws again after the reset.
    Entry(0).leftErrors = -1;
    EXPECT_EQ(display.DrawBlockColumn(0, 0, 1600, table), 0);
}

TEST_F(PeakDisplayTest, ShortTrackLeavesBlackColumnsBetweenBlocks) {
    for (int32_t k = 0; k < 4; ++k) {
        Entry(1000 + 16 * k) = PeakPair{30, 30, 30, 30, -1, -1};
    }
    display.RenderTrackPicture(1000, 64, table); // 4 blocks on 100 columns
    for (int32_t x = 0; x < 100; ++x) {
        const bool drawn = x == 0 || x == 25 || x == 50 || x == 75;
        EXPECT_EQ(!LitRows(display.Picture(), x).empty(), drawn) << x;
    }
}

TEST_F(PeakDisplayTest, RenderDrawsAPartialLastBlockInItsOwnColumn) {
    // 33 sectors: blocks at sectors 0, 16 and 32 (one sector), columns 0, 48, 96.
    display.RenderTrackPicture(800, 33, table);
    for (int32_t x = 0; x < 100; ++x) {
        EXPECT_EQ(!LitRows(display.Picture(), x).empty(), x == 0 || x == 48 || x == 96) << x;
    }
}

TEST_F(PeakDisplayTest, RenderMatchesBlockByBlockDrawing) {
    const SectorAddress start = 4800;
    const int32_t length = 16 * 250 + 5; // 251 blocks, the last one of 5 sectors
    for (int32_t k = 0; k < 251; ++k) {
        Entry(start + 16 * k) =
            PeakPair{(k * 7) % 128, (k * 11) % 129, (k * 3) % 128, (k * 5) % 129, k % 3 - 1,
                     (k * 13) % 40};
    }
    PeakDisplay reference;
    reference.Initialise(PeakArea{10, 50, 100, 80});
    for (int32_t k = 0; k < 251; ++k) {
        reference.DrawBlockColumn(start + 16 * k, 16 * k, length, table);
    }
    // Leave a full red bar in the last column that the rebuild must remove.
    Entry(0) = PeakPair{127, 128, 127, 128, 500, 500};
    display.DrawBlockColumn(0, 1599, 1600, table);

    display.RenderTrackPicture(start, length, table);
    ASSERT_EQ(display.Picture().Size(), reference.Picture().Size());
    EXPECT_TRUE(std::equal(display.Picture().Bits(),
                           display.Picture().Bits() + display.Picture().Size(),
                           reference.Picture().Bits()));
    // Block 250 starts at sector 4000 of 4005: column 100 * 4000 / 4005 = 99.
    EXPECT_FALSE(LitRows(display.Picture(), 99).empty());
}

TEST_F(PeakDisplayTest, ColumnOutsideTheDisplayIsNeitherDrawnNorStored) {
    Entry(0) = PeakPair{127, 128, 127, 128, 0, 0};
    // The update after a track's last block: all sectors counted, column = width.
    EXPECT_EQ(display.DrawBlockColumn(0, 1600, 1600, table), -1);
    EXPECT_EQ(display.DrawBlockColumn(0, 5000, 1600, table), -1);
    EXPECT_EQ(display.DrawBlockColumn(0, -16, 1600, table), -1);
    EXPECT_EQ(CountLitColumns(display.Picture()), 0);
    EXPECT_EQ(display.Columns().At(100)->left, ColumnState::kStart);
    EXPECT_EQ(display.Columns().At(100)->right, ColumnState::kStart);
}

TEST_F(PeakDisplayTest, BlocksOutsideThePeakTableAreSkipped) {
    EXPECT_EQ(display.DrawBlockColumn(kPeakEntries * kBlockSectors, 0, 1600, table), -1);
    EXPECT_EQ(display.DrawBlockColumn(-16, 0, 1600, table), -1);
    EXPECT_EQ(CountLitColumns(display.Picture()), 0);
    EXPECT_EQ(display.Columns().At(0)->left, ColumnState::kStart);
    // A track running past the table's end draws the blocks inside it only.
    const SectorAddress start = kPeakEntries * kBlockSectors - 32;
    display.RenderTrackPicture(start, 1600, table);
    EXPECT_EQ(CountLitColumns(display.Picture()), 2);
}

TEST_F(PeakDisplayTest, TrackLengthZeroDrawsNothing) {
    EXPECT_EQ(display.DrawBlockColumn(0, 0, 0, table), -1);
    display.RenderTrackPicture(0, 0, table);
    EXPECT_EQ(CountLitColumns(display.Picture()), 0);
}

TEST_F(PeakDisplayTest, BarsAreClippedToThePicture) {
    PeakDisplay small;
    // Height 8: right centre 6; a maximum of -128 gives up = -2, so the fill
    // runs over rows 7 and 8, and row 8 lies below the picture.
    small.Initialise(PeakArea{0, 0, 4, 8});
    // A left maximum far beyond the sample range runs over the top edge.
    Entry(0) = PeakPair{1000000, 0, -128, 0, -1, -1};
    EXPECT_EQ(small.DrawBlockColumn(0, 0, 64, table), 0);
    EXPECT_EQ(LitRows(small.Picture(), 0), Concat(Range(0, 2), Range(7, 7)));
    // Nothing beyond the picture's rows was touched.
    const std::size_t pixels = 4u * 8u * 3u;
    for (std::size_t i = pixels; i < small.Picture().Size(); ++i) {
        ASSERT_EQ(small.Picture().Bits()[i], 0) << i;
    }
}

TEST(PeakDisplayWideTest, ColumnsBeyondTheColumnTableAreNotDrawn) {
    PeakDisplay wide;
    wide.Initialise(PeakArea{0, 0, 1200, 40});
    PeakTable table;
    EXPECT_EQ(wide.DrawableWidth(), ColumnState::kEntries);
    // Column 1200 * 999 / 1200 = 999 is in the table, 1100 is not.
    EXPECT_EQ(wide.DrawBlockColumn(0, 999, 1200, table), 999);
    EXPECT_EQ(wide.DrawBlockColumn(0, 1100, 1200, table), -1);
    EXPECT_TRUE(LitRows(wide.Picture(), 1100).empty());
    EXPECT_EQ(wide.Columns().At(1100), nullptr);
}

TEST(MillisecondsPerColumnTest, TruncatesAndNeverGoesBelowOne) {
    EXPECT_EQ(MillisecondsPerColumn(7500, 100), 1000u); // 100,000 ms on 100 columns
    EXPECT_EQ(MillisecondsPerColumn(7501, 100), 1000u); // 100,013 ms
    EXPECT_EQ(MillisecondsPerColumn(5, 100), 1u);       // 66 ms on 100 columns
    EXPECT_EQ(MillisecondsPerColumn(0, 100), 1u);
    EXPECT_EQ(MillisecondsPerColumn(7500, 0), 1u);
}

TEST_F(PeakDisplayTest, HitRectangleIsShiftedUpByTheCaptionAndExcludesRightAndBottom) {
    // Area left 10, top 50, 100 x 80: x 10 ... 109, y 26 ... 105.
    EXPECT_FALSE(display.HitTest(9, 60, 7500));
    EXPECT_FALSE(display.HitTest(110, 60, 7500));
    EXPECT_FALSE(display.HitTest(50, 25, 7500));
    EXPECT_FALSE(display.HitTest(50, 106, 7500));
    const auto topLeft = display.HitTest(10, 26, 7500);
    ASSERT_TRUE(topLeft);
    EXPECT_EQ(topLeft->markerColumn, 0);
    EXPECT_EQ(topLeft->position, 0u);
    const auto bottomRight = display.HitTest(109, 105, 7500);
    ASSERT_TRUE(bottomRight);
    EXPECT_EQ(bottomRight->markerColumn, 99);
    EXPECT_EQ(bottomRight->position, 99000u);
}

TEST_F(PeakDisplayTest, ClickPositionIsMillisecondsPerColumnTimesColumn) {
    const auto hit = display.HitTest(60, 70, 7500);
    ASSERT_TRUE(hit);
    EXPECT_EQ(hit->markerColumn, 50);
    EXPECT_EQ(hit->position, 50000u);
    // A track of 5 sectors would give 0 ms per column; the lower bound keeps
    // the position moving with the column.
    const auto shortTrack = display.HitTest(60, 70, 5);
    ASSERT_TRUE(shortTrack);
    EXPECT_EQ(shortTrack->position, 50u);
}

TEST_F(PeakDisplayTest, PictureCoordinatesMapToTheSameHits) {
    const auto corner = display.HitTestPicture(0, 0, 7500);
    ASSERT_TRUE(corner);
    EXPECT_EQ(corner->markerColumn, 0);
    const auto inside = display.HitTestPicture(42, 79, 7500);
    ASSERT_TRUE(inside);
    EXPECT_EQ(inside->markerColumn, 42);
    EXPECT_FALSE(display.HitTestPicture(100, 10, 7500));
    EXPECT_FALSE(display.HitTestPicture(10, 80, 7500));
    EXPECT_FALSE(display.HitTestPicture(-1, 10, 7500));
}

} // namespace
} // namespace vindral

namespace vindral {
namespace {

TEST(PeakDisplaySecureMarks, SuspiciousBlocksAreRedAndRepairedOnesBlueWhateverTheCounts) {
    PeakDisplay display;
    display.Initialise(PeakArea{10, 50, 100, 80});
    PeakTable table;
    *table.At(0) = PeakPair{64, 64, 64, 64, 0, 0};
    *table.At(16) = PeakPair{64, 64, 64, 64, 0, 0, kSecureMarkRepaired};
    *table.At(32) = PeakPair{64, 64, 64, 64, 500, 0, kSecureMarkSuspicious};
    ASSERT_EQ(display.DrawBlockColumn(0, 0, 100, table), 0);
    ASSERT_EQ(display.DrawBlockColumn(16, 16, 100, table), 16);
    ASSERT_EQ(display.DrawBlockColumn(32, 32, 100, table), 32);
    EXPECT_EQ(display.Picture().Pixel(0, 15), ErrorColour(0));
    EXPECT_EQ(display.Picture().Pixel(16, 15), kRepairedColour);
    EXPECT_EQ(display.Picture().Pixel(16, 65), kRepairedColour);
    EXPECT_EQ(display.Picture().Pixel(32, 15), kSuspiciousColour);
    EXPECT_EQ(display.Picture().Pixel(32, 65), kSuspiciousColour);
    EXPECT_NE(kRepairedColour, kSuspiciousColour);
    EXPECT_NE(kRepairedColour, ErrorColour(0));
}

} // namespace
} // namespace vindral

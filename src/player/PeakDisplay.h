// The peak display of the extraction dialog without a screen: the picture in
// memory that every repaint copies, the per-column verification counts, the
// drawing of one block's column, the rebuild of a whole track's picture from
// the peak table, and the hit test of a click.
//
// While a track is read, every 16-sector block adds its peaks to the column
// it falls on: the upper half of the display for the left channel, the lower
// half for the right one, coloured by the verification state of the block.
// After the run the same picture is the player's position display.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <vector>

#include "extract/ExtractRun.h"

namespace vindral {

// The display rectangle in pixels. `left` and `top` are measured from the
// dialog window's outer top-left corner; the screen side may use them or not.
struct PeakArea {
    int32_t left = 0;
    int32_t top = 0;
    int32_t width = 0;
    int32_t height = 0;
};

struct PeakColour {
    uint8_t red = 0;
    uint8_t green = 0;
    uint8_t blue = 0;
    friend bool operator==(const PeakColour&, const PeakColour&) = default;
};

constexpr PeakColour kBlack{0, 0, 0};
constexpr int32_t kMaxErrorCount = 18816; // 16 sectors x 2352 bytes / 2

// Blocks that secure reading re-read: suspicious ones red, repaired ones blue,
// whatever their verification counts.
constexpr PeakColour kSuspiciousColour{255, 0, 0};
constexpr PeakColour kRepairedColour{0, 128, 255};

// Grey before verification (-1 and any other negative count), green for a
// clean channel, yellow through red as differences grow.
PeakColour ErrorColour(int32_t errorCount);

// A 24-bit device-independent bitmap: rows bottom-up, pixels blue, green, red.
class PeakPicture {
public:
    // (width rounded up to 4) x height x 3 + 100 bytes, all zero. Negative
    // sizes count as 0.
    void Create(int32_t width, int32_t height);
    void Clear();

    int32_t Width() const { return width_; }
    int32_t Height() const { return height_; }
    const uint8_t* Bits() const { return bits_.data(); }
    std::size_t Size() const { return bits_.size(); }
    // Bytes from the start of the buffer to the pixel (x, y), row 0 the top row.
    std::size_t Offset(int32_t x, int32_t y) const;
    bool Contains(int32_t x, int32_t y) const {
        return x >= 0 && x < width_ && y >= 0 && y < height_;
    }

    // Black for a pixel outside the picture.
    PeakColour Pixel(int32_t x, int32_t y) const;
    void SetPixel(int32_t x, int32_t y, PeakColour colour); // ignored outside
    // Sets the rows from min(a, b) up to, not including, max(a, b) in column
    // x, clipped to the picture; nothing when a == b.
    void FillRows(int32_t x, int32_t a, int32_t b, PeakColour colour);

private:
    int32_t width_ = 0;
    int32_t height_ = 0;
    std::vector<uint8_t> bits_;
};

// The error counts last drawn in each column, per channel.
class ColumnState {
public:
    static constexpr int32_t kEntries = 1000;
    static constexpr int32_t kStart = -100; // below every real count

    struct Counts {
        int32_t left = kStart;
        int32_t right = kStart;
    };

    // Sets the counts of columns 0 ... width - 1 (as far as the table reaches).
    void Reset(int32_t width);
    int32_t Size() const { return kEntries; }
    // nullptr outside 0 ... kEntries - 1.
    Counts* At(int32_t column);
    const Counts* At(int32_t column) const;

private:
    std::vector<Counts> counts_ = std::vector<Counts>(kEntries);
};

// The rows a channel's bar covers, computed from its peaks.
struct BarExtent {
    int32_t up = 0;
    int32_t down = 0;
};
BarExtent BarOf(int32_t height, int32_t maximum, int32_t negatedMinimum);

// Milliseconds of a track that one display column stands for; at least 1.
uint32_t MillisecondsPerColumn(int32_t trackLength, int32_t width);

// Where a click lands: the marker column and the play position it means.
struct ClickTarget {
    int32_t markerColumn = 0;
    uint32_t position = 0;
};

class PeakDisplay {
public:
    // Fixes the area and creates a black picture of its size.
    void Initialise(const PeakArea& area);

    // A track's extraction pass begins: black picture, column counts reset.
    void StartTrackPicture();

    // Adds the block at `blockAddress` (its first absolute sector) to the
    // column that `sectorsCounted` of `trackLength` falls on. Returns that
    // column when at least one channel was drawn, else -1 (column outside
    // the display, block outside the table, both channels skipped).
    int32_t DrawBlockColumn(SectorAddress blockAddress, int32_t sectorsCounted,
                            int32_t trackLength, const PeakTable& table);

    // Rebuilds the picture of a whole track from the stored peaks.
    void RenderTrackPicture(SectorAddress trackStart, int32_t trackLength, const PeakTable& table);

    // A click at (x, y) in the dialog's client coordinates: the hit rectangle
    // is left ... left + width by top - 24 ... top - 24 + height, its right
    // and bottom edges outside.
    std::optional<ClickTarget> HitTest(int32_t x, int32_t y, int32_t trackLength) const;
    // The same for a point in picture coordinates, (0, 0) the top-left pixel.
    std::optional<ClickTarget> HitTestPicture(int32_t x, int32_t y, int32_t trackLength) const;

    const PeakArea& Area() const { return area_; }
    const PeakPicture& Picture() const { return picture_; }
    const ColumnState& Columns() const { return columns_; }
    // The columns that can be drawn: the width, limited to the column table.
    int32_t DrawableWidth() const;

private:
    int32_t DrawColumn(int32_t column, const PeakPair& entry);

    PeakArea area_;
    PeakPicture picture_;
    ColumnState columns_;
};

} // namespace vindral

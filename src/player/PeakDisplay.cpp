#include "player/PeakDisplay.h"

#include <algorithm>

namespace vindral {

namespace {

// Client coordinates start below the caption; the display's top is measured
// from the window's outer corner.
constexpr int32_t kCaptionOffset = 24;

} // namespace

PeakColour ErrorColour(int32_t errorCount) {
    if (errorCount < 0) {
        return PeakColour{192, 192, 192};
    }
    if (errorCount == 0) {
        return PeakColour{0, 255, 0};
    }
    const int64_t fade = static_cast<int64_t>(errorCount) * 255 / kMaxErrorCount;
    const int64_t green = std::max<int64_t>(0, 255 - fade);
    return PeakColour{255, static_cast<uint8_t>(green), 0};
}

void PeakPicture::Create(int32_t width, int32_t height) {
    width_ = std::max(0, width);
    height_ = std::max(0, height);
    const std::size_t rounded = (static_cast<std::size_t>(width_) + 3) / 4 * 4;
    bits_.assign(rounded * static_cast<std::size_t>(height_) * 3 + 100, 0);
}

void PeakPicture::Clear() { std::fill(bits_.begin(), bits_.end(), uint8_t{0}); }

std::size_t PeakPicture::Offset(int32_t x, int32_t y) const {
    return ((static_cast<std::size_t>(height_ - 1 - y) * static_cast<std::size_t>(width_)) +
            static_cast<std::size_t>(x)) *
           3;
}

PeakColour PeakPicture::Pixel(int32_t x, int32_t y) const {
    if (!Contains(x, y)) {
        return kBlack;
    }
    const uint8_t* p = bits_.data() + Offset(x, y);
    return PeakColour{p[2], p[1], p[0]};
}

void PeakPicture::SetPixel(int32_t x, int32_t y, PeakColour colour) {
    if (!Contains(x, y)) {
        return;
    }
    uint8_t* p = bits_.data() + Offset(x, y);
    p[0] = colour.blue;
    p[1] = colour.green;
    p[2] = colour.red;
}

void PeakPicture::FillRows(int32_t x, int32_t a, int32_t b, PeakColour colour) {
    if (x < 0 || x >= width_) {
        return;
    }
    const int32_t from = std::max(0, std::min(a, b));
    const int32_t to = std::min(height_, std::max(a, b));
    for (int32_t y = from; y < to; ++y) {
        SetPixel(x, y, colour);
    }
}

void ColumnState::Reset(int32_t width) {
    const int32_t n = std::clamp(width, 0, kEntries);
    for (int32_t c = 0; c < n; ++c) {
        counts_[static_cast<std::size_t>(c)] = Counts{};
    }
}

ColumnState::Counts* ColumnState::At(int32_t column) {
    if (column < 0 || column >= kEntries) {
        return nullptr;
    }
    return &counts_[static_cast<std::size_t>(column)];
}

const ColumnState::Counts* ColumnState::At(int32_t column) const {
    return const_cast<ColumnState*>(this)->At(column);
}

BarExtent BarOf(int32_t height, int32_t maximum, int32_t negatedMinimum) {
    // Truncating divisions, then an arithmetic shift: a negative maximum
    // (every sample below zero) gives a bar that starts below the centre.
    const int64_t up = static_cast<int64_t>(height) * maximum / 254;
    const int64_t down = static_cast<int64_t>(height) * negatedMinimum / 256;
    BarExtent bar{static_cast<int32_t>(up >> 1), static_cast<int32_t>(down >> 1)};
    if (bar.up == 0 && bar.down == 0) {
        bar.up = 1;
    }
    return bar;
}

uint32_t MillisecondsPerColumn(int32_t trackLength, int32_t width) {
    if (trackLength <= 0 || width <= 0) {
        return 1;
    }
    const int64_t ms = static_cast<int64_t>(trackLength) * 1000 / 75 / width;
    return static_cast<uint32_t>(std::max<int64_t>(1, ms));
}

void PeakDisplay::Initialise(const PeakArea& area) {
    area_ = area;
    area_.width = std::max(0, area_.width);
    area_.height = std::max(0, area_.height);
    picture_.Create(area_.width, area_.height);
    columns_.Reset(area_.width);
}

void PeakDisplay::StartTrackPicture() {
    picture_.Clear();
    columns_.Reset(area_.width);
}

int32_t PeakDisplay::DrawableWidth() const { return std::min(area_.width, columns_.Size()); }

int32_t PeakDisplay::DrawBlockColumn(SectorAddress blockAddress, int32_t sectorsCounted,
                                     int32_t trackLength, const PeakTable& table) {
    if (trackLength <= 0) {
        return -1;
    }
    const int64_t column = static_cast<int64_t>(area_.width) * sectorsCounted / trackLength;
    if (column < 0 || column >= DrawableWidth()) {
        return -1;
    }
    const PeakPair* entry = table.At(blockAddress);
    if (entry == nullptr) {
        return -1;
    }
    return DrawColumn(static_cast<int32_t>(column), *entry);
}

int32_t PeakDisplay::DrawColumn(int32_t column, const PeakPair& entry) {
    ColumnState::Counts* counts = columns_.At(column);
    if (counts == nullptr) {
        return -1;
    }
    const int32_t quarter = area_.height / 4;
    struct Channel {
        int32_t maximum;
        int32_t negatedMinimum;
        int32_t errors;
        int32_t* count;
        int32_t centre;
    };
    const Channel channels[2] = {
        {entry.leftMax, entry.leftNegMin, entry.leftErrors, &counts->left, quarter},
        {entry.rightMax, entry.rightNegMin, entry.rightErrors, &counts->right, 3 * quarter},
    };
    bool drawn = false;
    for (const Channel& channel : channels) {
        // A column that once showed differences is not painted over by a
        // later, cleaner block of the same pass.
        if (channel.errors < *channel.count) {
            continue;
        }
        *channel.count = channel.errors;
        const PeakColour colour = entry.secureMark == kSecureMarkSuspicious ? kSuspiciousColour
                                  : entry.secureMark == kSecureMarkRepaired ? kRepairedColour
                                                                            : ErrorColour(channel.errors);
        const BarExtent bar = BarOf(area_.height, channel.maximum, channel.negatedMinimum);
        picture_.FillRows(column, channel.centre + 1, channel.centre - bar.up + 1, colour);
        picture_.FillRows(column, channel.centre, channel.centre + bar.down, colour);
        drawn = true;
    }
    return drawn ? column : -1;
}

void PeakDisplay::RenderTrackPicture(SectorAddress trackStart, int32_t trackLength,
                                     const PeakTable& table) {
    StartTrackPicture();
    if (trackLength <= 0) {
        return;
    }
    const int32_t blocks = trackLength / kBlockSectors + (trackLength % kBlockSectors != 0 ? 1 : 0);
    for (int32_t k = 0; k < blocks; ++k) {
        const int64_t address = static_cast<int64_t>(trackStart) + int64_t{kBlockSectors} * k;
        if (address < 0 || address > INT32_MAX) {
            continue;
        }
        DrawBlockColumn(static_cast<SectorAddress>(address), kBlockSectors * k, trackLength, table);
    }
}

std::optional<ClickTarget> PeakDisplay::HitTest(int32_t x, int32_t y, int32_t trackLength) const {
    const int32_t top = area_.top - kCaptionOffset;
    if (x < area_.left || x >= area_.left + area_.width || y < top || y >= top + area_.height) {
        return std::nullopt;
    }
    ClickTarget target;
    target.markerColumn = x - area_.left;
    target.position = MillisecondsPerColumn(trackLength, area_.width) *
                      static_cast<uint32_t>(target.markerColumn);
    return target;
}

std::optional<ClickTarget> PeakDisplay::HitTestPicture(int32_t x, int32_t y,
                                                       int32_t trackLength) const {
    return HitTest(x + area_.left, y + area_.top - kCaptionOffset, trackLength);
}

} // namespace vindral

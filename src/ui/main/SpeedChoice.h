// The read-speed list of the main window and the speed indicator beside it.
#pragma once

#include <array>
#include <cstdint>
#include <optional>
#include <string>

namespace vindral::ui {

// The entries of the speed list, in order. The labels count one speed as
// about 172 kB/s; what is sent is the multiple of 177 kB/s.
inline constexpr std::array<const char*, 9> kSpeedLabels = {
    "default",           "maximum",           "32 X  5500 kB/s",
    "16 X  2750 kB/s",   "12 X  2065 kB/s",   "  8 X  1375 kB/s",
    "  4 X    687 kB/s", "  2 X    344 kB/s", "  1 X    172 kB/s",
};

// The read speed that SET CD SPEED gets for an entry; nothing for "default"
// (index 0) and for no selection or an index outside the list.
std::optional<uint16_t> SpeedForChoice(int index);

// "%d X" of the current read speed / 176 when MODE SENSE succeeded (status
// 1), else empty.
std::string SpeedIndicatorText(int32_t status, int32_t currentKBps);

// Sends the chosen speed to the drive (if any is to be sent).
void ChooseSpeed(uint8_t hostAdapter, uint8_t target, int index);
// Asks the drive and formats its current speed.
std::string SenseSpeedIndicator(uint8_t hostAdapter, uint8_t target);

} // namespace vindral::ui

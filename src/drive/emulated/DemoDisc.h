// The built-in demo disc: five audio tracks and a data track, generated
// sector by sector from code (nothing is stored), the same bytes every time.
//   1  a melody of bell-like tones
//   2  a major-seventh chord that swells and fades
//   3  an arpeggio; its length is not a multiple of 16 sectors
//   4  exact digital silence, then a soft low tone
//   5  alternating chords with bell partials
//   6  data (MODE1), last on the disc
#pragma once

#include <memory>

#include "drive/emulated/Disc.h"

namespace vindral::emulated {

std::shared_ptr<const Disc> MakeDemoDisc();

// The demo disc's drive reads at 8 X (set with SetSpeedLimitKBps).
constexpr uint32_t kDemoSpeedKBps = 1411;

// The stretch of track 4 that is exact digital silence: its first sectors.
constexpr int32_t kDemoSilentSectors = 450;

} // namespace vindral::emulated

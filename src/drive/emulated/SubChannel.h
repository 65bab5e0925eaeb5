// What a pressed disc carries besides its audio, as a drive reads it: the Q
// sub-channel of every sector (position, catalog number, ISRC), the raw P-W
// sub-channel, and the CD-Text packs of the lead-in.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "drive/SubChannel.h"
#include "drive/emulated/Disc.h"

namespace vindral::emulated {

// The 12 bytes of a Q frame: control and ADR, 9 bytes of data, the CRC.
using QFrame = std::array<uint8_t, 12>;

// (Q frames and CD-Text packs carry the check of drive/SubChannel.h,
// SubChannelCrc: the reader and the drive share it.)

// The Q frame of the sector at `address`. Sectors whose address ends in 17
// (of every 100) carry the catalog number (ADR 2) when the disc has one,
// those ending in 53 the track's ISRC (ADR 3) when the track has one and
// the sector lies past its INDEX 01; every other sector its position
// (ADR 1): track, index, the time relative to INDEX 01 (counting down to
// zero at the pregap's last sector) and the absolute time, in BCD. Sectors
// before 0 belong to the first track's pregap, sectors from a session's
// lead-out on to the lead-out (track AA).
QFrame MakeQFrame(const Disc& disc, SectorAddress address);

// The 96 bytes of raw P-W sub-channel as READ CD delivers them: byte i holds
// bit i of each channel, P in bit 7, Q in bit 6, R to W below (all zero
// here: the disc has no graphics). P is set in pregaps.
void MakeRawSubChannel(const QFrame& q, bool pause, uint8_t* out);

// The CD-Text of the lead-in (READ TOC format 5 without its header): one
// block in ISO 8859-1, English, of 18-byte packs with their CRC, built from
// the disc's fields; empty when the disc has no text. Characters that ISO
// 8859-1 lacks become '?'; a track's text equal to the previous track's is
// written as a tab.
std::vector<uint8_t> MakeCdTextPacks(const Disc& disc);

// The ISRC of track `index` (a position in Tracks()) in capitals; empty
// when the track has none.
std::string TrackIsrc(const Disc& disc, std::size_t index);

// UTF-8 as ISO 8859-1, '?' for what it cannot hold.
std::string ToLatin1(const std::string& utf8);

} // namespace vindral::emulated

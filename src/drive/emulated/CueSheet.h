// Disc images described by CUE sheets: FILE entries of type BINARY (raw
// little-endian 2352-byte sectors), MOTOROLA (the same with big-endian
// samples), WAVE (44.1 kHz 16-bit stereo PCM, or FLAC of that format: the
// file's first bytes decide) and FLAC (decoded by libFLAC), TRACK nn AUDIO,
// TRACK nn MODE1/2352 and MODE2/2352, INDEX, PREGAP and POSTGAP, and
// REM SESSION nn before the first track of a later session.
//
// The disc reads as the pressed one: address 0 is the first byte of the
// first FILE (after the first track's PREGAP, silence the drive supplies),
// so audio before track 1's INDEX 01 is there to be read, and the table of
// contents is the one a drive reports for that disc.
//
// CD-Text (TITLE, PERFORMER, SONGWRITER, COMPOSER, ARRANGER, MESSAGE,
// UPC_EAN, DISC_ID, GENRE), CATALOG, ISRC, FLAGS, CDTEXTFILE and REM GENRE,
// DATE and COMMENT are kept in the disc's fields, the index points with the
// tracks; other REM lines are comments. An ISRC of twelve zeros or a
// CATALOG of thirteen is kept as none.
// Disc damage is given by REM lines that other programs skip:
//   REM DAMAGE UNREADABLE <sector> <count>   reads there fail (03/11/00)
//   REM DAMAGE UNSTABLE <sector> <count>     reads there differ every time
//   REM DAMAGE UNREADABLE <sector> <count> <tries>
//                                            reads fail <tries> times, then succeed
//   REM DAMAGE FLAKY <sector> <count> <percent> [SAMPLES <n>]
//                                            that share of readings is wrong: in
//                                            every byte, or in <n> samples
// with sector addresses as the drive reports them.
// The drive that holds the image is given REM DRIVE lines (DriveBehaviour):
//   REM DRIVE READY <ms>              02/04/01 (becoming ready) for <ms> after
//                                     the disc goes in
//   REM DRIVE UNITATTENTION [RESET]   06/28/00 (06/29/00) on the first command
//   REM DRIVE SHORTREAD <command>     READCD, READCDDA or READ10 answer GOOD
//                                     with 2048 of every 2352 bytes
//   REM DRIVE REFUSE <command>        READCD, READCDDA or READ10 is unknown to
//                                     the drive (05/20/00)
//   REM DRIVE SENSE DESCRIPTOR        sense data in descriptor format (0x72)
//   REM DRIVE CACHE <sectors>         re-reads of recent sectors come from a cache
//   REM DRIVE OFFSET <samples>        read offset: sample j is the pressed disc's
//                                     sample j - <samples>
//   REM DRIVE C2 NONE                 no C2 error pointers
//   REM DRIVE C2 MISSES <percent>     C2 leaves that share of wrong bytes unflagged
//   REM DRIVE NOCDTEXT                READ TOC format 5 refused (05/24/00)
//   REM DRIVE NOFULLTOC               READ TOC format 2 refused (05/24/00)
//   REM DRIVE QSHIFT <sectors>        READ CD gives the sub-channel of the sector
//                                     <sectors> further on
//   REM DRIVE NOSUBCHANNELISRC        READ SUB-CHANNEL reports no MCN and no ISRC
//   REM DRIVE RAWONLY                 formatted Q refused: raw P-W only
//   REM DRIVE NOSUBCHANNEL            READ CD refuses every sub-channel selection
//   REM DRIVE NOSUBCHANNELALONE       READ CD refuses sub-channel without main data
//   REM DRIVE BADQCRC <every-n>       every n-th Q frame read has a wrong CRC
#pragma once

#include <memory>
#include <string>

#include "drive/emulated/Disc.h"
#include "drive/emulated/ImageFile.h"

namespace vindral::emulated {

// Parses a CUE sheet and opens its files. On failure returns nullptr and sets
// `error` to one line naming the file, the line number and the fault, e.g.
// "disc.cue:7: unknown keyword 'FOO'".
std::shared_ptr<const Disc> LoadCueSheet(const std::string& cuePath, std::string& error);

// Parses CUE text. `cueName` names the sheet in messages; the files it
// refers to are looked up relative to `baseDir` (empty: as written) in the
// file system, or through `opener` when one is given.
std::shared_ptr<const Disc> ParseCueSheet(const std::string& text, const std::string& cueName,
                                          const std::string& baseDir, std::string& error);
std::shared_ptr<const Disc> ParseCueSheet(const std::string& text, const std::string& cueName,
                                          const std::string& baseDir, std::string& error,
                                          const ImageFileOpener& opener);

// Where the samples of a WAVE file are.
struct WaveLayout {
    uint64_t dataOffset = 0;
    uint64_t dataBytes = 0;
};
// Checks that `file` is a RIFF WAVE file of 44.1 kHz 16-bit stereo PCM and
// finds its data chunk; otherwise sets `fault` and returns false.
bool ReadWaveLayout(const ImageFile& file, WaveLayout& layout, std::string& fault);

} // namespace vindral::emulated

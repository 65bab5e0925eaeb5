// Turning the user's choices into a job: the file names, the read method
// the drive answers, and the free-space check.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "drive/DriveSearch.h"
#include "extract/ExtractRun.h"
#include "output/Naming.h"

namespace vindral {

// folder + prefix + "%02d" of the track number + ".wav"; nothing is cleaned.
std::string TrackFileName(const std::string& folder, const std::string& prefix, int trackNumber);

// The row that stands for the hidden track before track 1 (HiddenTrackEntry):
// ripped as track 00 from address 0, ahead of every other row.
constexpr int kHiddenTrackRow = -1;

// The selected rows (any order) become the job's entries in row order.
ExtractJob BuildJob(const TrackTable& table, std::vector<int> selectedRows,
                    const std::string& folder, const std::string& prefix, CdDevice drive,
                    bool verify, bool readTwice);

// How a job's files are named.
struct FileNaming {
    std::string folder; // with its trailing separator; empty: the current folder
    std::string prefix = "Track";
    // A template as output::TrackPaths takes it (checked beforehand); empty:
    // folder + prefix + the track number in two digits, nothing cleaned.
    std::string naming;
    output::DiscNames names;
    std::string extension = ".wav";
};

// The same, with the files named by `naming`.
ExtractJob BuildJob(const TrackTable& table, std::vector<int> selectedRows,
                    const FileNaming& naming, CdDevice drive, bool verify, bool readTwice);

// The disc's whole audio into the one file `path` (ExtractJob::oneFile):
// from address 0 (the audio before track 1 is the entry of track 00) to the
// end of the last audio track, every audio track an entry. Data tracks after
// the audio are left out. False with `reason` when the disc has no audio, or
// a data track lies before or between its audio tracks.
bool BuildOneFileJob(const TrackTable& table, const std::string& path, CdDevice drive,
                     bool verify, bool readTwice, ExtractJob& job, std::string& reason);

// Tries READ CD, READ CDDA, then READ(10) after switching to audio blocks,
// each on sector 0; returns the first that works, else switches the drive
// back to data blocks and returns READ CD.
int32_t ProbeReadMethod(uint8_t hostAdapter, uint8_t target);

// The sectors secure reading reads elsewhere to empty the drive's cache:
// `configured`, but no more than the buffer the drive reports (MODE SENSE
// page 0x2A) with a quarter and 32 sectors to spare; a drive that reports
// none gets `configured`.
int32_t CacheDefeatSectors(uint8_t hostAdapter, uint8_t target, int32_t configured);

// Whether reads with `readMethod` can carry C2 error pointers on this drive:
// READ CD whose error-bit form the drive does not refuse (tried at
// `address`, an audio sector).
bool ProbeC2Pointers(uint8_t hostAdapter, uint8_t target, int32_t readMethod,
                     SectorAddress address);

// The log's words for a read method.
std::string ReadMethodName(int32_t method);

// Bytes the job's audio needs: total sectors * 2352 (headers not counted).
uint64_t NeededBytes(const ExtractJob& job);

// "Not enough diskspace\r\n%ld more bytes needed", in 64 bits.
std::string NotEnoughSpaceMessage(uint64_t shortfall);

// The free space of a folder, or why it could not be found.
struct FreeSpace {
    FreeSpace(uint64_t freeBytes = 0) : bytes(freeBytes) {}
    uint64_t bytes = 0;
    // Empty when the query worked, else the message for the user that names
    // the folder and the system's reason.
    std::string error;
};

// The free space for the job's first file, in its own folder.
FreeSpace FreeSpaceForJob(const ExtractJob& job);

// Removes the temporary files that a killed rip left beside the job's track
// files (only names the program makes for those very files: a file is never
// left that way but by a rip that could not clean up). Returns the line that
// says so ("Removed 2 temporary file(s) an interrupted rip left in out/"), or
// nothing when there were none.
std::string RemoveLeftoverTemporaries(const ExtractJob& job);

} // namespace vindral

// Fuzz target of the CUE sheet parser. The input is the sheet's text; when it
// holds two NUL bytes, what follows them is the content of every file the
// sheet names (so the fuzzer reaches the layout, WAVE, FLAC and damage code), else
// the files are looked up in a folder that does not exist. A disc that
// parses is read at its edges and through an emulated drive's READ TOC and
// READ CD.
#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "drive/emulated/CueSheet.h"
#include "drive/emulated/EmulatedDrive.h"

using namespace vindral;
using namespace vindral::emulated;

namespace {

void Exercise(const Disc& disc) {
    uint8_t sector[kSectorBytes];
    for (const DiscTrack& track : disc.Tracks()) {
        disc.ReadSector(track.start, sector, 0);
        disc.ReadSector(track.start + track.length - 1, sector, 1);
        disc.IsDataSector(track.start);
    }
    disc.ReadSector(disc.LeadOut() - 1, sector, 2);
    disc.ReadSector(disc.LeadOut(), sector, 3);
}

constexpr int32_t kReadCdSectors = 4;

void ReadCd(EmulatedDrive& drive, SectorAddress address, int32_t count,
            std::vector<uint8_t>& buffer) {
    if (count <= 0) {
        return;
    }
    const auto a = static_cast<uint32_t>(address);
    const auto n = static_cast<uint32_t>(count);
    const uint8_t cdb[12] = {0xBE, 0, static_cast<uint8_t>(a >> 24), static_cast<uint8_t>(a >> 16),
                             static_cast<uint8_t>(a >> 8), static_cast<uint8_t>(a),
                             static_cast<uint8_t>(n >> 16), static_cast<uint8_t>(n >> 8),
                             static_cast<uint8_t>(n), 0xF8, 0, 0};
    SenseResult sense;
    drive.Execute(cdb, 12, false, buffer.data(), static_cast<uint32_t>(buffer.size()), sense);
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const std::string input(reinterpret_cast<const char*>(data), size);
    const std::size_t split = input.find(std::string("\0\0", 2));
    std::string error;
    std::shared_ptr<const Disc> disc;
    if (split == std::string::npos) {
        disc = ParseCueSheet(input, "fuzz.cue", "/nonexistent-vindral-fuzz", error);
    } else {
        const std::vector<uint8_t> content(input.begin() + static_cast<std::ptrdiff_t>(split) + 2,
                                           input.end());
        ImageFileOpener opener = [&](const std::string&, std::string&) {
            return MakeMemoryImageFile(content);
        };
        disc = ParseCueSheet(input.substr(0, split), "fuzz.cue", "", error, opener);
    }
    if (!disc) {
        if (error.empty() || error.find('\n') != std::string::npos) {
            __builtin_trap(); // a refusal is always one line
        }
        return 0;
    }
    Exercise(*disc);
    EmulatedDrive drive(disc);
    uint8_t toc[804];
    const uint8_t readToc[10] = {0x43, 0x02, 0, 0, 0, 0, 0, 0x03, 0x24, 0};
    SenseResult sense;
    drive.Execute(readToc, 10, false, toc, sizeof toc, sense);
    const uint8_t readSessions[10] = {0x43, 0x02, 0x01, 0, 0, 0, 0, 0, 12, 0};
    drive.Execute(readSessions, 10, false, toc, sizeof toc, sense);
    // READ CD of the first sectors of every track (whole sectors, as an
    // extraction reads them), which runs into the damage of the sheet, and
    // one read that crosses the lead-out.
    std::vector<uint8_t> sectors(kReadCdSectors * kSectorBytes);
    for (const DiscTrack& track : disc->Tracks()) {
        ReadCd(drive, track.start, std::min<int32_t>(track.length, kReadCdSectors), sectors);
    }
    ReadCd(drive, disc->LeadOut() - 1, 2, sectors);
    return 0;
}

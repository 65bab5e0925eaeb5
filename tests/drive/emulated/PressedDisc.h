// A disc as pressed, for the tests of what the emulated drive tells about
// it (index points, ISRC, catalog number, CD-Text, flags, sessions), and the
// commands that ask for it.
#pragma once

#include <gtest/gtest.h>

#include <cstring>
#include <map>
#include <string>
#include <vector>

#include "drive/Transport.h"
#include "drive/emulated/CueSheet.h"
#include "drive/emulated/EmulatedDrive.h"
#include "drive/emulated/EmulatedTransport.h"
#include "drive/emulated/SubChannel.h"

namespace vindral::emulated::testing {

using Bytes = std::vector<uint8_t>;

// Session 1: track 1 with 150 sectors of hidden audio before INDEX 01
// (start 150), track 2 with INDEX 00 at 300, INDEX 01 at 375 and INDEX 02
// at 450, pre-emphasis and copy permitted, track 3 with a PREGAP of silence
// (600-674, start 675) up to 825. Session 2: the data track 4, starting
// 11,400 sectors after session 1 ends (12225), lead-out 12325.
inline std::shared_ptr<const Disc> LoadPressedDisc(const std::string& driveLines = "") {
    const std::string sheet =
        "CATALOG 0602517931596\nTITLE \"Caf\xC3\xA9 \xE2\x82\xAC\"\nPERFORMER \"Band\"\n"
        "GENRE Jazz\nDISC_ID \"XY12\"\n" + driveLines +
        "REM SESSION 01\nFILE \"a.bin\" BINARY\n"
        "  TRACK 01 AUDIO\n    TITLE \"Hidden\"\n    PERFORMER \"Band\"\n"
        "    ISRC USABC0100001\n    INDEX 00 00:00:00\n    INDEX 01 00:02:00\n"
        "  TRACK 02 AUDIO\n    TITLE \"Second\"\n    PERFORMER \"Band\"\n    FLAGS PRE DCP\n"
        "    ISRC gbafl0700213\n    INDEX 00 00:04:00\n    INDEX 01 00:05:00\n"
        "    INDEX 02 00:06:00\n"
        "  TRACK 03 AUDIO\n    TITLE \"Third part of a title that needs two packs\"\n"
        "    PREGAP 00:01:00\n    INDEX 01 00:08:00\n"
        "REM SESSION 02\nFILE \"d.bin\" BINARY\n  TRACK 04 MODE1/2352\n    INDEX 01 00:00:00\n";
    ImageFileOpener opener = [](const std::string& name, std::string&) {
        const std::size_t sectors = name.find("d.bin") != std::string::npos ? 100 : 750;
        return MakeMemoryImageFile(Bytes(sectors * kSectorBytes, 0x5A));
    };
    std::string error;
    auto disc = ParseCueSheet(sheet, "pressed.cue", "", error, opener);
    EXPECT_NE(disc, nullptr) << error;
    return disc;
}

// A file of silent sectors, read lazily: a disc of 60,000 sectors costs no
// memory.
class SilentImageFile : public ImageFile {
public:
    explicit SilentImageFile(uint64_t sectors) : bytes_(sectors * kSectorBytes) {}
    uint64_t Size() const override { return bytes_; }
    bool ReadAt(uint64_t offset, void* out, std::size_t length) const override {
        std::memset(out, 0, length);
        return offset + length <= bytes_;
    }

private:
    uint64_t bytes_;
};

// The disc of a sheet whose files are silent, their lengths in sectors by name.
inline std::shared_ptr<const Disc> SheetDisc(const std::string& sheet,
                                             const std::map<std::string, uint64_t>& sectors) {
    ImageFileOpener opener = [&sectors](const std::string& name, std::string& reason)
        -> std::shared_ptr<const ImageFile> {
        for (const auto& [file, count] : sectors) {
            if (name.size() >= file.size() && name.compare(name.size() - file.size(), file.size(), file) == 0) {
                return std::make_shared<SilentImageFile>(count);
            }
        }
        reason = "no such file";
        return nullptr;
    };
    std::string error;
    auto disc = ParseCueSheet(sheet, "sheet.cue", "", error, opener);
    EXPECT_NE(disc, nullptr) << error;
    return disc;
}

// One emulated drive holding `disc` as the process's transport, at (0, 0).
inline std::shared_ptr<EmulatedDrive> InstallDrive(std::shared_ptr<const Disc> disc,
                                                   bool initialise = true) {
    ResetTransportForTesting();
    auto transport = std::make_unique<EmulatedTransport>();
    auto drive = transport->AddDrive(std::move(disc));
    SelectTransport(std::move(transport));
    if (initialise) {
        InitialiseTransport();
    }
    return drive;
}

// Sends one command to a drive; the answer's bytes, empty on CHECK CONDITION
// (then `sense` holds the packed sense code).
inline Bytes Ask(EmulatedDrive& drive, const Bytes& cdb, uint32_t length, int32_t* sense = nullptr) {
    Bytes answer(length, 0xEE);
    SenseResult result;
    const int32_t status =
        drive.Execute(cdb.data(), static_cast<int>(cdb.size()), false, answer.data(), length, result);
    if (sense != nullptr) {
        *sense = PackSense(result.data.data(), result.data.size());
    }
    return status == kStatusOk ? answer : Bytes{};
}

// READ CD of `count` sectors from `address`: `fields` byte 9, sub-channel
// selection `sub`.
inline Bytes ReadCdCdb(int32_t address, int count, uint8_t fields, uint8_t sub) {
    return {0xBE, 0, static_cast<uint8_t>(address >> 24), static_cast<uint8_t>(address >> 16),
            static_cast<uint8_t>(address >> 8), static_cast<uint8_t>(address), 0, 0,
            static_cast<uint8_t>(count), fields, sub, 0};
}

// A Q frame taken apart.
struct Q {
    int control = -1;
    int adr = -1;
    int track = -1; // binary, 0xAA for the lead-out
    int index = -1;
    int relative = -1; // sectors
    int absolute = -1; // sectors, 150 at address 0
    bool crcGood = false;
};

inline int FromBcd(uint8_t b) { return (b >> 4) * 10 + (b & 0x0F); }
inline int BcdTime(const uint8_t* p) {
    return FromBcd(p[0]) * kSectorsPerMinute + FromBcd(p[1]) * kSectorsPerSecond + FromBcd(p[2]);
}

inline Q Decode(const uint8_t* q) {
    Q out;
    out.control = q[0] >> 4;
    out.adr = q[0] & 0x0F;
    out.crcGood = SubChannelCrc(q, 10) == ((q[10] << 8) | q[11]);
    if (out.adr == 1) {
        out.track = q[1] == 0xAA ? 0xAA : FromBcd(q[1]);
        out.index = FromBcd(q[2]);
        out.relative = BcdTime(q + 3);
        out.absolute = BcdTime(q + 7);
    }
    return out;
}

} // namespace vindral::emulated::testing

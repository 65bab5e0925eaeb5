#include <gtest/gtest.h>

#include <cstring>
#include <set>
#include <vector>

#include "drive/CdCommands.h"
#include "drive/Transport.h"
#include "drive/emulated/DemoDisc.h"
#include "drive/emulated/EmulatedTransport.h"

namespace vindral::emulated {
namespace {

using Bytes = std::vector<uint8_t>;

Bytes Read(const Disc& disc, SectorAddress address) {
    Bytes out(kSectorBytes);
    EXPECT_TRUE(disc.ReadSector(address, out.data(), 0)) << address;
    return out;
}

int PeakOf(const Bytes& sector) {
    int peak = 0;
    for (int i = 0; i < kSectorBytes; i += 2) {
        const int v = static_cast<int16_t>(sector[i] | (sector[i + 1] << 8));
        peak = std::max(peak, v < 0 ? -v : v);
    }
    return peak;
}

// The EDC of a MODE1 sector, bit by bit: CRC-32 reflected, polynomial
// x^32 + x^31 + x^16 + x^15 + x^4 + x^3 + x + 1.
uint32_t Edc(const uint8_t* data, int length) {
    uint32_t crc = 0;
    for (int i = 0; i < length; ++i) {
        crc ^= data[i];
        for (int bit = 0; bit < 8; ++bit) {
            crc = (crc & 1) ? (crc >> 1) ^ 0xD8018001u : crc >> 1;
        }
    }
    return crc;
}

TEST(DemoDisc, LayoutOfFiveAudioTracksAndOneDataTrack) {
    auto disc = MakeDemoDisc();
    const auto& tracks = disc->Tracks();
    ASSERT_EQ(tracks.size(), 6u);
    int notMultipleOf16 = 0;
    SectorAddress next = 0;
    for (std::size_t i = 0; i < tracks.size(); ++i) {
        EXPECT_EQ(tracks[i].number, static_cast<int>(i) + 1);
        EXPECT_EQ(tracks[i].data, i == 5);
        EXPECT_EQ(tracks[i].start, next);
        EXPECT_GT(tracks[i].length, 0);
        next += tracks[i].length;
        notMultipleOf16 += tracks[i].length % 16 != 0;
    }
    EXPECT_EQ(notMultipleOf16, 1);
    EXPECT_EQ(disc->LeadOut(), next);
    EXPECT_GE(disc->LeadOut(), 2 * kSectorsPerMinute);
    EXPECT_LE(disc->LeadOut(), 3 * kSectorsPerMinute);
}

TEST(DemoDisc, AudioIsDistinctAudibleAndUnclipped) {
    auto disc = MakeDemoDisc();
    std::set<Bytes> middles;
    for (int t = 0; t < 5; ++t) {
        const DiscTrack& track = disc->Tracks()[t];
        int peak = 0;
        for (SectorAddress a = track.start; a < track.start + track.length; a += 37) {
            peak = std::max(peak, PeakOf(Read(*disc, a)));
        }
        EXPECT_GT(peak, 3000) << "track " << track.number;
        EXPECT_LT(peak, 32767) << "track " << track.number << " clips";
        middles.insert(Read(*disc, track.start + track.length / 2 + 3));
    }
    EXPECT_EQ(middles.size(), 5u);
}

TEST(DemoDisc, SilentStretchIsExactlyZero) {
    auto disc = MakeDemoDisc();
    const DiscTrack& quiet = disc->Tracks()[3];
    const Bytes zero(kSectorBytes, 0);
    for (SectorAddress a = quiet.start; a < quiet.start + kDemoSilentSectors; ++a) {
        ASSERT_EQ(Read(*disc, a), zero) << a;
    }
    EXPECT_NE(Read(*disc, quiet.start + kDemoSilentSectors + 75), zero)
        << "sound after the silence";
}

TEST(DemoDisc, SameBytesEveryTime) {
    auto first = MakeDemoDisc();
    auto second = MakeDemoDisc();
    for (SectorAddress a : {0, 1, 2400, 4321, 6422, 9000, 10583, 11782}) {
        EXPECT_EQ(Read(*first, a), Read(*second, a)) << a;
        EXPECT_EQ(Read(*first, a), Read(*first, a)) << a;
    }
}

TEST(DemoDisc, DataTrackHoldsValidMode1Sectors) {
    auto disc = MakeDemoDisc();
    const DiscTrack& data = disc->Tracks()[5];
    const SectorAddress address = data.start + 10;
    const Bytes sector = Read(*disc, address);
    EXPECT_EQ(sector[0], 0x00);
    EXPECT_EQ(Bytes(sector.begin() + 1, sector.begin() + 11), Bytes(10, 0xFF));
    const int msf = address + 150;
    auto bcd = [](int v) { return static_cast<uint8_t>((v / 10) * 16 + v % 10); };
    EXPECT_EQ(sector[12], bcd(msf / 4500));
    EXPECT_EQ(sector[13], bcd(msf / 75 % 60));
    EXPECT_EQ(sector[14], bcd(msf % 75));
    EXPECT_EQ(sector[15], 1);
    uint32_t stored = 0;
    for (int i = 0; i < 4; ++i) {
        stored |= uint32_t{sector[0x810 + i]} << (8 * i);
    }
    EXPECT_EQ(Edc(sector.data(), 0x810), stored);
    EXPECT_NE(Read(*disc, address + 1), sector);

    // Through a drive: READ(10) in data blocks gives the user data.
    ResetTransportForTesting();
    auto transport = std::make_unique<EmulatedTransport>();
    transport->AddDrive(disc);
    SelectTransport(std::move(transport));
    InitialiseTransport();
    uint8_t user[2048];
    ASSERT_EQ(CdCommands::Read10(0, 0, address, 1, user), kStatusOk);
    EXPECT_EQ(std::memcmp(user, sector.data() + 16, 2048), 0);
    EXPECT_EQ(std::string(reinterpret_cast<char*>(user), 17), "VINDRAL DEMO DISC");
    ResetTransportForTesting();
}

} // namespace
} // namespace vindral::emulated

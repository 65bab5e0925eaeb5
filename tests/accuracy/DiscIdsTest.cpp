// Disc IDs of discs whose IDs are published: MusicBrainz's documentation
// example, enhanced CDs whose IDs the databases hold, a
// mixed-mode CD, and CTDB TOC IDs from published rip tables.
#include <gtest/gtest.h>

#include "accuracy/DiscIds.h"
#include "drive/DriveSearch.h"

namespace vindral::accuracy {
namespace {

// Tracks numbered from 1; `dataTracks` lists the data tracks' numbers.
DiscToc Toc(const std::vector<SectorAddress>& starts, SectorAddress leadOut,
            const std::vector<int>& dataTracks = {}) {
    DiscToc toc;
    for (std::size_t k = 0; k < starts.size(); ++k) {
        const int number = static_cast<int>(k) + 1;
        const bool data =
            std::find(dataTracks.begin(), dataTracks.end(), number) != dataTracks.end();
        toc.tracks.push_back({number, starts[k], data});
    }
    toc.firstTrack = 1;
    toc.lastTrack = static_cast<int>(starts.size());
    toc.leadOut = leadOut;
    return toc;
}

TEST(DiscIds, MusicBrainzDocumentationExample) {
    // The worked example of MusicBrainz's "Disc ID Calculation" page.
    const DiscToc toc = Toc({0, 15213, 32164, 46442, 63264, 80339}, 95312);
    EXPECT_EQ(MusicBrainzId(toc), "49HHV7Eb8UKF3aQiNmu1GR8vKTY-");
    EXPECT_EQ(AudioEnd(toc), 95312);
}

TEST(DiscIds, EnhancedCdFollowsWhatTheDatabasesDo) {
    // Ladyhawke (12 audio tracks, a data session): the CDDB ID as freedb
    // lists it, the AccurateRip address the database answers at,
    // the MusicBrainz ID as MusicBrainz's submission page computed it.
    const DiscToc ladyhawke = Toc({0, 15537, 31691, 50866, 66466, 81202, 99409, 115920, 133093,
                                   149847, 161560, 177682, 207106},
                                  210385, {13});
    EXPECT_EQ(Hex8(CddbId(ladyhawke)), "c60af50d");
    const AccurateRipId ar = AccurateRipIdOf(ladyhawke);
    EXPECT_EQ(ar.Text(), "012-0013bd5a-00b8d489-c60af50d");
    EXPECT_EQ(ar.DatabasePath(), "a/5/d/dBAR-012-0013bd5a-00b8d489-c60af50d.bin");
    EXPECT_EQ(AudioEnd(ladyhawke), 207106 - 11400);
    EXPECT_EQ(MusicBrainzId(ladyhawke), "KnpGsLhvH.lPrNc1PBL21lb9Bg4-");

    // Recoil, "Liquid" (10 audio tracks, a data session): the IDs the
    // AccurateRip database holds its answer under, and MusicBrainz's disc ID.
    const DiscToc liquid =
        Toc({0, 12617, 40337, 63075, 93260, 117965, 151715, 184190, 215110, 247305, 281585}, 333651,
            {11});
    EXPECT_EQ(AccurateRipIdOf(liquid).Text(), "010-00164419-00b9f6e2-9e11600b");
    EXPECT_EQ(MusicBrainzId(liquid), "9AQWqQ0eCCwktwPPrIUIYkUw2Uo-");

    // When the drive says the disc has one session, the data track is not
    // a second session and the lead-out is used as it is.
    DiscToc oneSession = liquid;
    oneSession.lastSessionFirstTrack = 1;
    EXPECT_EQ(AudioEnd(oneSession), 333651);
    EXPECT_NE(MusicBrainzId(oneSession), MusicBrainzId(liquid));
    DiscToc told = liquid;
    told.lastSessionFirstTrack = 11;
    EXPECT_EQ(MusicBrainzId(told), MusicBrainzId(liquid));
}

TEST(DiscIds, MixedModeCdLeavesTheDataTrackOutOfTheAccurateRipId) {
    // Mortal Kombat Trilogy: data track 1, then 28 audio tracks; the ID its
    // AccurateRip entry is stored under.
    const std::vector<SectorAddress> msf = {
        150,    66728,  76502,  85963,  93760,  104048, 116066, 124743, 134206, 142916,
        151852, 160720, 169425, 178731, 188459, 196711, 206354, 214845, 223686, 225746,
        226384, 232668, 239447, 239931, 244989, 254264, 260066, 261222, 261674};
    std::vector<SectorAddress> starts;
    for (SectorAddress a : msf) {
        starts.push_back(a - 150);
    }
    const DiscToc toc = Toc(starts, 261976 - 150, {1});
    EXPECT_EQ(AccurateRipIdOf(toc).Text(), "028-00517a54-05a845d2-af0da31d");
}

TEST(DiscIds, CtdbTocIds) {
    // MechWarrior 3 pressings (data track 1, two audio tracks), as a
    // published rip table lists them with their CTDB TOC IDs.
    EXPECT_EQ(CtdbTocId(Toc({0, 266445, 280839}, 294795, {1})), "hUJiDDh7s2IYPP1GpLfGVYpIWxE-");
    EXPECT_EQ(CtdbTocId(Toc({0, 282656, 296612}, 311156, {1})), "vPmoaaMWAdaLNkVSMLqK2HZxmaE-");
    EXPECT_EQ(CtdbTocId(Toc({0, 266420, 280376}, 294770, {1})), "WJdZLalC42N4VOtU.QQx5GDfvqI-");
    // Four audio tracks, "4+96+2D2B+6256+B327+D84A" (addresses + 150).
    EXPECT_EQ(CtdbTocId(Toc({0x96 - 150, 0x2D2B - 150, 0x6256 - 150, 0xB327 - 150}, 0xD84A - 150)),
              "VukMWWItblELRM.CEFpXxw0FlME-");
    // The TOC ID depends on the track lengths only, not where track 1 starts.
    EXPECT_EQ(CtdbTocId(Toc({0, 1000, 2000}, 3000)), CtdbTocId(Toc({32, 1032, 2032}, 3032)));
    EXPECT_NE(CtdbTocId(Toc({0, 1000, 2000}, 3000)), CtdbTocId(Toc({0, 1000, 2001}, 3000)));
}

TEST(DiscIds, DatabasePathsOfPublishedAnswers) {
    AccurateRipId id{2, 0x0000f21c, 0x00027ef8, 0x05021002};
    EXPECT_EQ(id.DatabasePath(), "c/1/2/dBAR-002-0000f21c-00027ef8-05021002.bin");
    id = {11, 0x0010e284, 0x009228a3, 0x9809ff0b};
    EXPECT_EQ(id.DatabasePath(), "4/8/2/dBAR-011-0010e284-009228a3-9809ff0b.bin");
}

TEST(DiscIds, TocFromTheTrackTable) {
    TrackTable table;
    table.count = 3;
    table.entries[0] = {0, 1, 0, 15537};
    table.entries[1] = {0, 2, 15537, 4463};
    table.entries[2] = {1, 3, 20000, 3000};
    const DiscToc toc = DiscTocFromTable(table);
    ASSERT_EQ(toc.tracks.size(), 3u);
    EXPECT_EQ(toc.firstTrack, 1);
    EXPECT_EQ(toc.lastTrack, 3);
    EXPECT_EQ(toc.leadOut, 23000);
    EXPECT_TRUE(toc.tracks[2].data);
    EXPECT_FALSE(toc.tracks[1].data);
    EXPECT_EQ(toc.tracks[1].start, 15537);
    // A data track too close to the audio for a session gap is one session.
    EXPECT_EQ(AudioEnd(toc), 23000);
    // Far enough after the audio, it is taken for a second session.
    table.entries[2] = {1, 3, 43091, 3000};
    EXPECT_EQ(AudioEnd(DiscTocFromTable(table)), 43091 - 11400);
    EXPECT_EQ(AccurateRipIdOf(toc).audioTracks, 2);
    EXPECT_EQ(CddbId(toc) & 0xff, 3u);
}

} // namespace
} // namespace vindral::accuracy

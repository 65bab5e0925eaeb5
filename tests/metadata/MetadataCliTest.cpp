// Names for a disc end to end: vindral-cli meta and rip against a local
// server standing in for MusicBrainz, GnuDB and the Cover Art Archive.
#include <gtest/gtest.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>

#include "cli/CliRun.h"
#include "extract/RunHarness.h"
#include "net/LocalHttpServer.h"
#include "metadata/DiscMetadata.h"
#include "output/FlacFiles.h"

namespace vindral {
namespace {

using test::LocalHttpServer;
using test::RunCli;
using Answer = LocalHttpServer::Answer;

// Every other test of this program stays on the machine: no look-up unless
// a test here asks for one.
const bool kOffline = ::setenv("VINDRAL_NO_METADATA", "1", 0) == 0;

using test::ScopedEnv;

std::string Data(const std::string& name) {
    std::ifstream in(std::string(VINDRAL_METADATA_DATA) + "/" + name, std::ios::binary);
    std::ostringstream text;
    text << in.rdbuf();
    return text.str();
}

// The test disc: four tracks of 40, 30, 30 and 20 sectors; `head` goes
// before the FILE line (CATALOG, CD-Text).
std::string WriteDisc(const std::string& folder, const std::string& head) {
    std::vector<char> bin(120 * 2352);
    for (std::size_t i = 0; i < bin.size(); ++i) {
        bin[i] = static_cast<char>((i * 7 + i / 2352 * 3 + 5) & 0xFF);
    }
    std::ofstream(folder + "disc.bin", std::ios::binary).write(bin.data(), 120 * 2352);
    std::ofstream(folder + "disc.cue")
        << head << "FILE \"disc.bin\" BINARY\n"
        << "  TRACK 01 AUDIO\n    INDEX 01 00:00:00\n  TRACK 02 AUDIO\n    INDEX 01 00:00:40\n"
        << "  TRACK 03 AUDIO\n    INDEX 01 00:00:70\n  TRACK 04 AUDIO\n    INDEX 01 00:01:25\n";
    return folder + "disc.cue";
}

const std::string kDiscId = "MMUffXfLdd8ZTBfTkv12dsDgGs8-";
const std::string kInc = "inc=artist-credits+recordings+isrcs+labels+release-groups";
const std::string kDiscTarget = "/ws/2/discid/" + kDiscId + "?toc=1+4+270+150+190+220+250&" +
                                kInc + "&fmt=json";
const std::string kCddb = "/~cddb/cddb.cgi?cmd=cddb+";
const std::string kHello = "&hello=vindral+localhost+Vindral+" VINDRAL_VERSION "&proto=6";
const std::string kGnudbQuery = kCddb + "query+09000104+4+150+190+220+250+3" + kHello;
const std::string kPicardRelease = "6c4f766f-3351-4c10-a53d-b119452c27b2";
const std::string kGb = "5eed0002-0000-4000-8000-000000000002";
const std::string kUs = "5eed0003-0000-4000-8000-000000000003";

TEST(Metadata, MetaFindsNamesWhereTheyAreAndSaysWhyNot) {
    ScopedEnv online("VINDRAL_NO_METADATA", nullptr);
    ScopedEnv locale("LC_ALL", "en_US.UTF-8");
    struct Case {
        const char* name;
        const char* head; // of the cue sheet
        std::vector<std::pair<std::string, Answer>> answers;
        std::vector<std::string> args;
        int status;
        std::string out; // the whole output, or lines it holds (each ending "\n")
        std::string err; // a line the errors hold; empty: none at all
        bool down = false;
        bool whole = false;
    };
    const std::string twoReleasesOut =
        "Names from: MusicBrainz\nAlbum: Second Album\nArtist: Band B\nDate: 1999-03-01\n"
        "Country: GB\nLabel: Label GB (GB-9)\nBarcode: 4547366518764\nDisc: 1 of 1\n"
        "Release: " + kGb + "\n01  0:01  GB Song 1\n02  0:00  GB Song 2\n03  0:00  GB Song 3\n"
        "04  0:00  GB Song 4\nOther releases:\n  " + kUs +
        "  Second Album / Band B  US  1998-10-10  Label US  0724349691022  CD\n";
    const std::vector<Case> cases = {
        {"found by its ID", "", {{kDiscTarget, {200, Data("discid-one-release.json")}}}, {}, 0,
         "Album: Names: A/B\nArtist: Artist A feat. Gäst\nLabel: Label Eins (LE 001)\n"
         "01  0:01  Intro: Part 1/2  (Artist A)\n02  0:00  Ψυχή / 東京  (Artist A & Ōno Kō)\n",
         ""},
        {"disc 2 of 2", "", {{kDiscTarget, {200, Data("discid-disc-2-of-2.json")}}}, {}, 0,
         "Disc: 2 of 2\n01  0:01  Disc Two 1\n04  0:00  Disc Two 4\n", ""},
        {"two releases, the disc's barcode", "CATALOG 4547366518764\n",
         {{kDiscTarget, {200, Data("discid-two-releases.json")}}}, {}, 0, twoReleasesOut, "",
         false, true},
        {"two releases, the locale's country", "",
         {{kDiscTarget, {200, Data("discid-two-releases.json")}}}, {}, 0,
         "Country: US\n01  0:01  US Song 1\n", ""},
        {"two releases, --release", "CATALOG 4547366518764\n",
         {{kDiscTarget, {200, Data("discid-two-releases.json")}}}, {"--release", kUs}, 0,
         "Release: " + kUs + "\nOther releases:\n  " + kGb +
             "  Second Album / Band B  GB  1999-03-01  Label GB  4547366518764  CD\n",
         ""},
        {"a release of another project's answer", "",
         {{"/ws/2/release/" + kPicardRelease + "?" + kInc + "+discids&fmt=json",
           {200, Data("picard/release_multidisc.json")}}},
         {"--release", kPicardRelease}, 0,
         "Album: ケアレス\nDate: 2021-09-15\nCountry: JP\nBarcode: 4547366518764\nDisc: 1 of 2\n"
         "01  0:01  ケアレス\n02  0:00  Bye-Bye Butterfly\n",
         ""},
        {"CD-Text only", "TITLE \"Own Title\"\nPERFORMER \"Own Band\"\n", {}, {}, 0,
         "Names from: CD-Text\nAlbum: Own Title\nArtist: Own Band\n", ""},
        {"GnuDB only", "",
         {{kGnudbQuery, {200, Data("gnudb-query.txt")}},
          {kCddb + "read+rock+09000104" + kHello, {200, Data("gnudb-read.txt")}}},
         {}, 0,
         "Names from: GnuDB\nAlbum: Found In GnuDB\nArtist: Band D\nDate: 1987\nGenre: Rock\n"
         "01  0:01  Erster Titel\n02  0:00  Zweiter \\ Titel\n"
         "03  0:00  Dritter Titel, der auf zwei Zeilen steht\n",
         ""},
        {"nothing anywhere", "", {{kGnudbQuery, {200, "202 No match for disc ID 09000104.\r\n"}}},
         {}, 1, "", "Nothing is known of this disc"},
        {"server down", "", {}, {}, 1, "", "MusicBrainz could not be reached (", true},
        {"503, then the answer", "", {{kDiscTarget, {200, Data("discid-one-release.json")}}}, {},
         0, "Album: Names: A/B\n", ""},
        {"garbage", "", {{kDiscTarget, {200, "<html>busy</html>"}}}, {}, 1, "",
         "MusicBrainz gave an answer that cannot be read"},
        {"slow past 10 s", "", {{kDiscTarget, {200, "{}", 10800}}}, {}, 1, "",
         "MusicBrainz could not be reached ("},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        test::TempFolder folder;
        ScopedEnv cache("XDG_CACHE_HOME", (folder.Path() + "cache").c_str());
        LocalHttpServer server;
        for (const auto& [target, answer] : c.answers) {
            server.Set(target, answer);
        }
        const bool busy = std::string(c.name).rfind("503", 0) == 0;
        if (busy) {
            server.SetOnce(kDiscTarget, {503, "slow down"});
        }
        if (c.down) {
            server.Stop();
        }
        std::vector<std::string> args = {"meta", "--image", WriteDisc(folder.Path(), c.head),
                                         "--musicbrainz-url", server.Url(), "--gnudb-url",
                                         server.Url()};
        args.insert(args.end(), c.args.begin(), c.args.end());
        const auto start = std::chrono::steady_clock::now();
        const test::CliResult result = RunCli(args);
        const auto seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
        EXPECT_EQ(result.status, c.status) << result.out << result.err;
        if (c.whole) {
            EXPECT_EQ(result.out, c.out);
        }
        for (const std::string& line : test::Lines(c.out)) {
            EXPECT_NE(result.out.find(line + "\n"), std::string::npos) << line << "\n" << result.out;
        }
        if (c.err.empty()) {
            EXPECT_EQ(result.err, "");
        } else {
            EXPECT_NE(result.err.find(c.err), std::string::npos) << result.err;
        }
        if (busy) {
            // Asked again after the 503, a second later.
            const auto requests = server.Requests();
            EXPECT_EQ(std::count(requests.begin(), requests.end(), kDiscTarget), 2);
            EXPECT_GE(seconds, 1.0);
        }
        if (std::string(c.name).rfind("slow", 0) == 0) {
            EXPECT_GE(seconds, 9.5);
            EXPECT_LT(seconds, 14.0);
        }
        // Only the disc's IDs and TOC went out.
        for (const std::string& request : server.Requests()) {
            EXPECT_TRUE(request.rfind("/ws/2/", 0) == 0 || request.rfind(kCddb, 0) == 0) << request;
        }
    }
}

// metaflac's view of a file's tags, one a line.
std::string MetaflacTags(const std::string& path) {
    std::string text;
    if (std::FILE* pipe = ::popen(("metaflac --export-tags-to=- '" + path + "'").c_str(), "r")) {
        char buffer[4096];
        for (std::size_t got; (got = std::fread(buffer, 1, sizeof buffer, pipe)) > 0;) {
            text.append(buffer, got);
        }
        ::pclose(pipe);
    }
    return text;
}

TEST(Metadata, RipNamesTagsAndCoverFromMusicBrainz) {
    ScopedEnv online("VINDRAL_NO_METADATA", nullptr);
    test::TempFolder folder;
    ScopedEnv cache("XDG_CACHE_HOME", (folder.Path() + "cache").c_str());
    const std::string cue = WriteDisc(folder.Path(), "CATALOG 4011222333444\n");
    LocalHttpServer server;
    server.Set(kDiscTarget, Data("discid-one-release.json"));
    // A JPEG's first bytes and its frame header: 600 x 600 pixels.
    const std::string jpeg = std::string("\xFF\xD8\xFF\xC0\x00\x11\x08\x02\x58\x02\x58\x03", 12) +
                             std::string(200, '\x11') + "\xFF\xD9";
    const std::string release = "5eed0001-0000-4000-8000-000000000001";
    server.Set("/release/" + release + "/front-500", jpeg);
    const std::string out = folder.Path() + "out/";
    const test::CliResult rip =
        RunCli({"rip", "--image", cue, "--out", out, "--format", "flac", "--cue", "--naming",
                "%A/%d/%t %n", "--musicbrainz-url", server.Url(), "--gnudb-url", server.Url(),
                "--coverart-url", server.Url()});
    ASSERT_EQ(rip.status, 0) << rip.out << rip.err;
    EXPECT_EQ(rip.err, "Names from MusicBrainz: Names: A/B / Artist A feat. Gäst (release " +
                           release + ")\n");

    // '/' and ':' made safe, the scripts kept, the long title cut between
    // characters within 255 bytes.
    const std::string album = out + "Artist A feat. Gäst/Names_ A-B/";
    const auto names = test::FolderNames(album);
    ASSERT_EQ(names.size(), 7u) << ::testing::PrintToString(names);
    EXPECT_EQ(names[0], "01 Intro_ Part 1-2.flac");
    EXPECT_EQ(names[1], "02 Ψυχή - 東京.flac");
    EXPECT_EQ(names[2], "03 AC-DC_ Back_.flac");
    EXPECT_EQ(names[3].rfind("04 長長", 0), 0u);
    EXPECT_LE(names[3].size(), 255u);
    EXPECT_EQ((names[3].size() - 3 - 5) % 3, 0u) << names[3]; // whole characters of 3 bytes
    EXPECT_EQ(names[4], "Names_ A-B.cue");
    EXPECT_EQ(names[6], "cover.jpg");
    const auto cover = test::ReadWholeFile(album + "cover.jpg");
    EXPECT_EQ(std::string(cover.begin(), cover.end()), jpeg);
    std::ifstream sheet(album + "Names_ A-B.cue");
    const std::string sheetText((std::istreambuf_iterator<char>(sheet)), {});
    EXPECT_NE(sheetText.find("TITLE \"Names: A/B\""), std::string::npos) << sheetText;
    EXPECT_NE(sheetText.find("PERFORMER \"Artist A feat. Gäst\""), std::string::npos);

    // The tags as metaflac reads them, and the front cover of type 3.
    const std::string tags = MetaflacTags(album + names[1]);
    for (const std::string& tag : std::vector<std::string>{
             "TITLE=Ψυχή / 東京", "ARTIST=Artist A & Ōno Kō", "ALBUM=Names: A/B",
          "ALBUMARTIST=Artist A feat. Gäst", "DATE=2001-05-04", "TRACKNUMBER=2", "TRACKTOTAL=4",
          "DISCNUMBER=1", "DISCTOTAL=1", "BARCODE=4011222333444", "LABEL=Label Eins",
          "CATALOGNUMBER=LE 001", "RELEASECOUNTRY=DE", "MUSICBRAINZ_ALBUMID=" + release,
          "MUSICBRAINZ_RELEASEGROUPID=5eed012d-0000-4000-8000-00000000012d",
          "MUSICBRAINZ_TRACKID=5eed01f6-0000-4000-8000-0000000001f6",
          "MUSICBRAINZ_RELEASETRACKID=5eed025a-0000-4000-8000-00000000025a",
          // two credited artists: two comments
          "MUSICBRAINZ_ARTISTID=5eed038c-0000-4000-8000-00000000038c",
          "MUSICBRAINZ_ARTISTID=5eed038b-0000-4000-8000-00000000038b",
          "MUSICBRAINZ_DISCID=" + kDiscId}) {
        EXPECT_NE(tags.find(tag + "\n"), std::string::npos) << tag << "\n" << tags;
    }
    EXPECT_NE(MetaflacTags(album + names[0]).find("ISRC=GBAYE0000001\n"), std::string::npos);
    const test::DecodedFlac decoded = test::DecodeFlac(album + names[3]);
    EXPECT_TRUE(decoded.decoded);
    EXPECT_EQ(decoded.pictureType, 3);
    EXPECT_EQ(std::string(decoded.picture.begin(), decoded.picture.end()), jpeg);

    // No network: one line says why, and the rip goes on under the
    // default names.
    server.Stop();
    test::TempFolder offline;
    ScopedEnv cache2("XDG_CACHE_HOME", (offline.Path() + "cache").c_str());
    const test::CliResult alone =
        RunCli({"rip", "--image", cue, "--out", offline.Path(), "--format", "flac",
                "--musicbrainz-url", server.Url(), "--gnudb-url", server.Url()});
    EXPECT_EQ(alone.status, 0) << alone.err;
    EXPECT_EQ(test::Lines(alone.err).size(), 3u) << alone.err; // MusicBrainz, GnuDB, the outcome
    EXPECT_EQ(alone.err.rfind("MusicBrainz could not be reached (", 0), 0u) << alone.err;
    EXPECT_TRUE(test::FileExists(offline.Path() + "Track04.flac"));
}

// The front cover is taken only as a JPEG whose longer side has 500 pixels
// or more.
TEST(Metadata, FrontCoverIsAJpegOfFiveHundredPixelsOrMore) {
    test::TempFolder folder;
    ScopedEnv cache("XDG_CACHE_HOME", (folder.Path() + "cache").c_str());
    auto jpeg = [](uint8_t height, uint8_t width) { // in units of 256 pixels + 0x58
        return std::string("\xFF\xD8\xFF\xC0\x00\x11\x08", 7) + char(height) + '\x58' +
               char(width) + '\x58' + '\x03' + std::string(100, '\x11') + "\xFF\xD9";
    };
    const struct {
        std::string image;
        const char* reason; // empty: taken
    } cases[] = {
        {jpeg(2, 2), ""},                          // 600 x 600
        {jpeg(0, 2), ""},                          // 600 wide, 88 high
        {jpeg(1, 1), "smaller than 500 pixels"},   // 344 x 344
        {"\x89PNG\r\n\x1a\n" + std::string(40, '\0'), "not a JPEG image"},
        {"<html>gone</html>", "not a JPEG or PNG image"},
    };
    int release = 0;
    for (const auto& c : cases) {
        LocalHttpServer server;
        char mbid[40];
        std::snprintf(mbid, sizeof mbid, "5eed%04d-0000-4000-8000-000000000001", release++);
        server.Set(std::string("/release/") + mbid + "/front-500", c.image);
        metadata::LookupOptions options;
        options.coverArtUrl = server.Url();
        std::string reason;
        const auto cover = metadata::FetchFrontCover(mbid, options, reason);
        EXPECT_EQ(cover.has_value(), *c.reason == '\0') << reason;
        EXPECT_NE(reason.find(c.reason), std::string::npos) << reason;
    }
}

// The release chosen for a disc: its barcode first, then the most ISRCs in
// common with it, then the user's country, then the earliest date.
TEST(Metadata, ReleaseChoiceFollowsTheDiscThenTheUserThenTheDate) {
    auto release = [](const char* barcode, const char* country, const char* date,
                      const char* isrc) {
        metadata::Release r;
        r.barcode = barcode;
        r.country = country;
        r.date = date;
        r.tracks.push_back({1, "One", "", isrc, "", "", {}, 0});
        return r;
    };
    const std::vector<metadata::Release> releases = {
        release("", "US", "2001", ""),                       // 0
        release("0724384260927", "DE", "2003", ""),          // 1: the disc's barcode
        release("", "GB", "1999-05", "GBAYE9900001"),        // 2: the disc's ISRC
        release("", "GB", "", ""),                           // 3: no date
        release("", "FR", "1998", ""),                       // 4: the earliest
    };
    const struct {
        const char* catalog;
        const char* isrc;
        const char* country;
        int chosen;
    } cases[] = {
        {"0724384260927", "GBAYE9900001", "US", 1},
        {"", "GBAYE9900001", "US", 2},
        {"5012345678900", "", "US", 0}, // a barcode nobody has decides nothing
        {"", "", "GB", 2},              // of the two GB releases, the one with a date
        {"", "", "", 4},
        {"", "", "JP", 4},
    };
    for (const auto& c : cases) {
        DiscDetails disc;
        disc.catalog = c.catalog;
        disc.tracks.push_back(TrackDetails{});
        disc.tracks[0].number = 1;
        disc.tracks[0].isrc = c.isrc;
        EXPECT_EQ(metadata::ChooseRelease(releases, disc, c.country), c.chosen)
            << c.catalog << " " << c.isrc << " " << c.country;
    }
    EXPECT_EQ(metadata::ChooseRelease({}, DiscDetails{}, "US"), -1);
}

} // namespace
} // namespace vindral

// FLAC files, their tags and their cover, read back with libFLAC's decoder.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <filesystem>
#include <fstream>

#include "extract/RunHarness.h"
#include "output/CoverImage.h"
#include "output/FlacEncoder.h"
#include "output/FlacFiles.h"
#include "output/Tags.h"

namespace vindral {
namespace {

namespace fs = std::filesystem;

// Audio-like PCM of `sectors` sectors: two tones and some noise, so that
// every level has something to predict and something it cannot.
std::vector<uint8_t> Pcm(int sectors) {
    std::vector<uint8_t> pcm(static_cast<std::size_t>(sectors) * 2352);
    uint32_t noise = 12345;
    for (std::size_t frame = 0; frame < pcm.size() / 4; ++frame) {
        noise = noise * 1103515245 + 12345;
        const auto left = static_cast<int16_t>(8000.0 * std::sin(frame * 0.031) +
                                               static_cast<int>((noise >> 16) % 64) - 32);
        const auto right = static_cast<int16_t>(-12000.0 * std::sin(frame * 0.0071));
        for (int c = 0; c < 2; ++c) {
            const auto s = static_cast<uint16_t>(c == 0 ? left : right);
            pcm[frame * 4 + 2 * c] = static_cast<uint8_t>(s);
            pcm[frame * 4 + 2 * c + 1] = static_cast<uint8_t>(s >> 8);
        }
    }
    return pcm;
}

// Whole blocks of 16 sectors, then the rest.
bool PushAll(TrackEncoder& encoder, const std::vector<uint8_t>& pcm) {
    for (std::size_t at = 0; at < pcm.size(); at += 16 * 2352) {
        if (!encoder.Push(pcm.data() + at, std::min<std::size_t>(16 * 2352, pcm.size() - at))) {
            return false;
        }
    }
    return true;
}

// The smallest PNG header that says 3 x 2 pixels, RGBA, 8 bits.
std::vector<uint8_t> PngBytes() {
    return {0x89, 'P', 'N', 'G', 0x0D, 0x0A, 0x1A, 0x0A, 0, 0, 0, 13, 'I', 'H', 'D', 'R',
            0,    0,   0,   3,   0,    0,    0,    2,    8, 6, 0, 0,  0,   0,   0,   0,   0};
}

TEST(FlacEncoder, LevelsGiveTheSamplesBackWithMd5SeekTableTagsAndCover) {
    test::TempFolder folder;
    // 30 seconds and a bit: seek points at 0, 10, 20 and 30 s.
    const int sectors = 30 * 75 + 7;
    const std::vector<uint8_t> pcm = Pcm(sectors);
    std::string error;
    auto cover = output::CoverFromBytes(PngBytes(), error);
    ASSERT_TRUE(cover) << error;
    std::vector<std::size_t> sizes;
    for (const int level : {0, 5, 8}) {
        SCOPED_TRACE(level);
        output::FlacSettings settings;
        settings.level = level;
        settings.comments = {"TITLE=Caf\xC3\xA9", "no field", "A\x7F=bad field", "TITLE=\xFF\xFE",
                             "TRACKNUMBER=3"};
        settings.cover = std::make_shared<const output::CoverImage>(*cover);
        settings.queueBlocks = 2; // the reader waits for the encoder
        output::FlacTrackEncoder encoder(settings);
        const std::string path = folder.Path() + "Track03.flac";
        fs::remove(path);
        ASSERT_TRUE(encoder.Start(path, sectors)) << encoder.Error();
        ASSERT_TRUE(PushAll(encoder, pcm));
        ASSERT_TRUE(encoder.Finish()) << encoder.Error();
        EXPECT_FALSE(test::FileExists(path)) << "not before the commit";
        ASSERT_TRUE(encoder.Commit()) << encoder.Error();
        EXPECT_EQ(test::FolderNames(folder.Path()), std::vector<std::string>{"Track03.flac"});

        const test::DecodedFlac flac = test::DecodeFlac(path);
        EXPECT_TRUE(flac.decoded);
        EXPECT_TRUE(flac.md5Set);
        EXPECT_EQ(flac.totalSamples, static_cast<uint64_t>(sectors) * 588);
        EXPECT_TRUE(flac.pcm == pcm);
        EXPECT_EQ(flac.seekPoints, 4u);
        EXPECT_EQ(flac.comments, (std::vector<std::string>{"TITLE=Caf\xC3\xA9", "TRACKNUMBER=3"}))
            << "comments that are not FIELD=value in UTF-8 are left out";
        EXPECT_EQ(flac.pictureType, 3);
        EXPECT_EQ(flac.pictureMime, "image/png");
        EXPECT_EQ(flac.picture, PngBytes());
        sizes.push_back(static_cast<std::size_t>(fs::file_size(path)));
    }
    EXPECT_GT(sizes[0], sizes[2]) << "level 8 is smaller than level 0";
    EXPECT_LT(sizes[2], pcm.size() * 3 / 4);
}

// A reading that runs ahead of the encoder: what the queue has no room for
// is read back from the PCM file, and the file is byte for byte the one made
// by waiting for the encoder. Encoders sharing one slot encode one after the
// other; a PCM file cut short fails the encoding and leaves nothing.
TEST(FlacEncoder, ReadingBehindGivesTheFileOfWaiting) {
    test::TempFolder folder;
    const int sectors = 20 * 75 + 3;
    const std::vector<uint8_t> pcm = Pcm(sectors);
    const std::string pcmPath = folder.Path() + "pcm";
    const std::string shortPath = folder.Path() + "short";
    for (const std::string& path : {pcmPath, shortPath}) {
        std::vector<uint8_t> file(44, 0); // the extraction's WAV header, then the samples
        file.insert(file.end(), pcm.begin(),
                    path == pcmPath ? pcm.end() : pcm.begin() + pcm.size() / 2);
        std::ofstream(path, std::ios::binary)
            .write(reinterpret_cast<const char*>(file.data()),
                   static_cast<std::streamsize>(file.size()));
    }
    const auto slot = std::make_shared<output::EncodingSlots>(1);
    std::vector<uint8_t> waited;
    // Queue size, read behind from: 64 blocks, waiting; none, all read back;
    // 3 blocks, the rest read back; the file cut short.
    for (const auto& [queue, source] :
         std::vector<std::pair<std::size_t, std::string>>{
             {64, ""}, {0, pcmPath}, {3, pcmPath}, {0, shortPath}}) {
        SCOPED_TRACE(queue);
        output::FlacSettings settings;
        settings.comments = {"TITLE=One"};
        settings.queueBlocks = queue;
        settings.encodingSlots = slot;
        output::FlacTrackEncoder encoder(settings);
        const std::string path = folder.Path() + "Track01.flac";
        ASSERT_TRUE(encoder.Start(path, sectors)) << encoder.Error();
        if (!source.empty()) {
            encoder.ReadBehind(source);
        }
        ASSERT_TRUE(PushAll(encoder, pcm));
        ASSERT_TRUE(encoder.EndInput()) << encoder.Error();
        {
            // The slot is given back only when the encoding has ended.
            output::FlacTrackEncoder next(settings);
            ASSERT_TRUE(next.Start(folder.Path() + "Track02.flac", sectors));
            EXPECT_TRUE(encoder.Done());
        }
        if (source == shortPath) {
            EXPECT_FALSE(encoder.Commit());
            EXPECT_NE(encoder.Error().find("cannot be read back from " + shortPath),
                      std::string::npos)
                << encoder.Error();
            EXPECT_FALSE(test::FileExists(path));
            break;
        }
        ASSERT_TRUE(encoder.Commit()) << encoder.Error();
        const auto file = test::ReadWholeFile(path);
        if (waited.empty()) {
            waited = file;
            EXPECT_TRUE(test::DecodeFlac(path).pcm == pcm);
        } else {
            EXPECT_TRUE(file == waited);
        }
        fs::remove(path);
    }
    EXPECT_EQ(test::FolderNames(folder.Path()), (std::vector<std::string>{"pcm", "short"}));
}

TEST(Tags, TheDiscsFactsBecomeVorbisComments) {
    DiscDetails details;
    TrackDetails one;
    one.number = 1;
    one.isrc = "USRC17607839";
    TrackDetails two;
    two.number = 2;
    two.flags.preEmphasis = true;
    TrackDetails data;
    data.number = 3;
    data.data = true;
    details.tracks = {one, two, data};
    details.catalog = "0761234567890";
    CdTextBlock block;
    block.text[kCdTextTitle - 0x80] = {{0, "Album"}, {1, "One"}, {2, "Two"}};
    block.text[kCdTextPerformer - 0x80] = {{0, "The Band"}, {2, "Guest"}};
    block.text[kCdTextComposer - 0x80] = {{1, "Writer"}};
    block.text[kCdTextGenre - 0x80] = {{0, "Jazz"}};
    details.cdText = {block};
    const output::DiscIdTexts ids{"mb-id", "002-0000-0000-0000", "ctdb-id"};
    const std::string encoder = "ENCODER=Vindral " VINDRAL_VERSION;

    struct Case {
        int number;
        std::vector<std::string> comments;
    };
    const Case cases[] = {
        {1,
         {"TITLE=One", "ARTIST=The Band", "ALBUM=Album", "ALBUMARTIST=The Band",
          "COMPOSER=Writer", "GENRE=Jazz", "TRACKNUMBER=1", "TRACKTOTAL=2", "ISRC=USRC17607839",
          "BARCODE=0761234567890", "MUSICBRAINZ_DISCID=mb-id",
          "ACCURATERIPID=002-0000-0000-0000", "CTDBTOCID=ctdb-id", encoder}},
        {2,
         {"TITLE=Two", "ARTIST=Guest", "ALBUM=Album", "ALBUMARTIST=The Band", "GENRE=Jazz",
          "TRACKNUMBER=2", "TRACKTOTAL=2", "BARCODE=0761234567890", "MUSICBRAINZ_DISCID=mb-id",
          "ACCURATERIPID=002-0000-0000-0000", "CTDBTOCID=ctdb-id", "PRE_EMPHASIS=1", encoder}},
        // The hidden track: no title or code of its own.
        {0,
         {"ARTIST=The Band", "ALBUM=Album", "ALBUMARTIST=The Band", "GENRE=Jazz",
          "TRACKNUMBER=0", "TRACKTOTAL=2", "BARCODE=0761234567890", "MUSICBRAINZ_DISCID=mb-id",
          "ACCURATERIPID=002-0000-0000-0000", "CTDBTOCID=ctdb-id", encoder}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.number);
        EXPECT_EQ(output::VorbisComments(output::TagsFromDisc(details, c.number, ids)), c.comments);
    }
    // Without CD-Text and IDs only the numbers and the encoder; a value is
    // one line.
    output::TrackTags tags = output::TagsFromDisc(DiscDetails{}, 4, {});
    tags.title = "First line\nsecond line";
    tags.discNumber = 1;
    tags.discTotal = 2;
    EXPECT_EQ(output::VorbisComments(tags),
              (std::vector<std::string>{"TITLE=First line", "TRACKNUMBER=4", "DISCNUMBER=1",
                                        "DISCTOTAL=2", encoder}));
}

TEST(CoverImage, JpegAndPngAreKnownByTheirFirstBytes) {
    // A JPEG: SOI, an APP0 segment, SOF0 of 640 x 480 with 3 components.
    const std::vector<uint8_t> jpeg = {0xFF, 0xD8, 0xFF, 0xE0, 0, 4, 'J', 'F', 0xFF, 0xC0, 0, 17,
                                       8,    0x01, 0xE0, 0x02, 0x80, 3, 1, 0x22, 0, 2, 0x11, 1, 3,
                                       0x11, 1,    0xFF, 0xD9};
    struct Case {
        std::vector<uint8_t> bytes;
        std::string mime; // empty: refused with `error`
        uint32_t width, height, depth;
        std::string error;
    };
    const Case cases[] = {
        {PngBytes(), "image/png", 3, 2, 32, ""},
        {jpeg, "image/jpeg", 640, 480, 24, ""},
        {{'G', 'I', 'F', '8', '9', 'a', 0, 0}, "", 0, 0, 0, "not a JPEG or PNG image"},
        {{0xFF, 0xD8}, "", 0, 0, 0, "not a JPEG or PNG image"},
        {{}, "", 0, 0, 0, "not a JPEG or PNG image"},
        {std::vector<uint8_t>(output::kMaxCoverBytes + 1, 0xFF), "", 0, 0, 0, "larger than 10 MB"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.mime + c.error);
        std::string error;
        const auto image = output::CoverFromBytes(c.bytes, error);
        if (c.mime.empty()) {
            EXPECT_FALSE(image);
            EXPECT_EQ(error, c.error);
            continue;
        }
        ASSERT_TRUE(image) << error;
        EXPECT_EQ(image->mimeType, c.mime);
        EXPECT_EQ(image->width, c.width);
        EXPECT_EQ(image->height, c.height);
        EXPECT_EQ(image->depth, c.depth);
        EXPECT_EQ(image->data, c.bytes);
    }
}

} // namespace
} // namespace vindral

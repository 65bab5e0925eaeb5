#include "platform/media/WaveFile.h"

#include <gtest/gtest.h>

#include "extract/ExtractRun.h"
#include "platform/WaveTestFiles.h"

namespace vindral::platform {
namespace {

using vindral::testing::TempFolder;
using vindral::testing::WaveBytes;
using vindral::testing::WaveLayout;

uint32_t FrameValue(const uint8_t* p) {
    return static_cast<uint32_t>(p[0]) | (static_cast<uint32_t>(p[1]) << 8) |
           (static_cast<uint32_t>(p[2]) << 16) | (static_cast<uint32_t>(p[3]) << 24);
}

class WaveFileTest : public ::testing::Test {
protected:
    std::shared_ptr<WaveFileSource> Open(const std::vector<uint8_t>& bytes, WaveError& error) {
        return WaveFileSource::Open(folder.Write("t.wav", bytes), error);
    }
    TempFolder folder;
};

TEST_F(WaveFileTest, TheExtractorsOwnFilesOpenWithTheirWholeData) {
    // The header the extraction worker writes, and 3 sectors of audio.
    const auto header = MakeWavHeader(3);
    std::vector<uint8_t> bytes(header.begin(), header.end());
    bytes.resize(bytes.size() + 3 * kSectorBytes, 0x11);
    WaveError error = WaveError::kNotFound;
    const auto source = Open(bytes, error);
    ASSERT_NE(source, nullptr);
    EXPECT_EQ(error, WaveError::kNone);
    EXPECT_EQ(source->TotalFrames(), 3u * 588u);
}

TEST_F(WaveFileTest, ReadsFramesInOrderAndStopsAtTheEnd) {
    WaveError error;
    const auto source = Open(WaveBytes(WaveLayout{.frames = 10}), error);
    ASSERT_NE(source, nullptr);
    uint8_t buffer[4 * 16];
    ASSERT_EQ(source->Read(buffer, 4), 4u);
    EXPECT_EQ(FrameValue(buffer + 12), 3u);
    ASSERT_EQ(source->Read(buffer, 16), 6u);
    EXPECT_EQ(FrameValue(buffer), 4u);
    EXPECT_EQ(FrameValue(buffer + 20), 9u);
    EXPECT_EQ(source->Read(buffer, 16), 0u);
}

TEST_F(WaveFileTest, SeekMovesToAFrameAndStopsAtTheEnd) {
    WaveError error;
    const auto source = Open(WaveBytes(WaveLayout{.frames = 100}), error);
    ASSERT_NE(source, nullptr);
    uint8_t buffer[4];
    source->Seek(57);
    ASSERT_EQ(source->Read(buffer, 1), 1u);
    EXPECT_EQ(FrameValue(buffer), 57u);
    source->Seek(3);
    ASSERT_EQ(source->Read(buffer, 1), 1u);
    EXPECT_EQ(FrameValue(buffer), 3u);
    source->Seek(1000);
    EXPECT_EQ(source->NextFrame(), 100u);
    EXPECT_EQ(source->Read(buffer, 1), 0u);
}

TEST_F(WaveFileTest, SkipsOtherChunksIncludingTheirPadByte) {
    WaveError error;
    const auto source = Open(WaveBytes(WaveLayout{.frames = 8, .listChunkFirst = true}), error);
    ASSERT_NE(source, nullptr);
    uint8_t buffer[4];
    ASSERT_EQ(source->Read(buffer, 1), 1u);
    EXPECT_EQ(FrameValue(buffer), 0u);
    EXPECT_EQ(source->TotalFrames(), 8u);
}

TEST_F(WaveFileTest, ADataChunkCutShortPlaysAsFarAsTheFileGoes) {
    WaveError error;
    const auto source = Open(WaveBytes(WaveLayout{.frames = 20, .claimExtra = 4000}), error);
    ASSERT_NE(source, nullptr);
    EXPECT_EQ(source->TotalFrames(), 20u);
}

TEST_F(WaveFileTest, RefusesWhatIsNotCdAudio) {
    WaveError error = WaveError::kNone;
    EXPECT_EQ(Open(WaveBytes(WaveLayout{.rate = 22050, .frames = 4}), error), nullptr);
    EXPECT_EQ(error, WaveError::kUnsupported);
    EXPECT_EQ(Open(WaveBytes(WaveLayout{.channels = 1, .frames = 4}), error), nullptr);
    EXPECT_EQ(error, WaveError::kUnsupported);
    EXPECT_EQ(Open(WaveBytes(WaveLayout{.bits = 8, .frames = 4}), error), nullptr);
    EXPECT_EQ(error, WaveError::kUnsupported);
    EXPECT_EQ(Open(WaveBytes(WaveLayout{.formatTag = 3, .frames = 4}), error), nullptr);
    EXPECT_EQ(error, WaveError::kUnsupported);
}

TEST_F(WaveFileTest, RefusesFilesThatAreNotWave) {
    WaveError error = WaveError::kNone;
    const std::string text = "this is not a sound file at all";
    EXPECT_EQ(Open(std::vector<uint8_t>(text.begin(), text.end()), error), nullptr);
    EXPECT_EQ(error, WaveError::kNotWave);

    EXPECT_EQ(Open({}, error), nullptr);
    EXPECT_EQ(error, WaveError::kNotWave);

    // A RIFF file without a data chunk.
    auto bytes = WaveBytes(WaveLayout{.frames = 0});
    bytes.resize(bytes.size() - 8);
    EXPECT_EQ(Open(bytes, error), nullptr);
    EXPECT_EQ(error, WaveError::kNotWave);

    // A format chunk claiming more bytes than the file has.
    bytes = WaveBytes(WaveLayout{.frames = 0});
    bytes[16] = 0xFF;
    bytes[17] = 0xFF;
    EXPECT_EQ(Open(bytes, error), nullptr);
    EXPECT_EQ(error, WaveError::kNotWave);
}

TEST_F(WaveFileTest, AMissingFileIsNotFound) {
    WaveError error = WaveError::kNone;
    EXPECT_EQ(WaveFileSource::Open(folder.PathOf("absent.wav"), error), nullptr);
    EXPECT_EQ(error, WaveError::kNotFound);
}

} // namespace
} // namespace vindral::platform

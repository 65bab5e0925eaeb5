// FLAC files through libFLAC's stream encoder: the level, the STREAMINFO MD5
// of the samples, a seek table, the tags as Vorbis comments and a front
// cover. Written through platform::OutputFile (exclusive temporary file,
// flushed, renamed when complete), encoded on a thread of its own fed
// through a bounded queue, and read back from the track's PCM file where the
// reading runs ahead of it.
#pragma once

#include <condition_variable>
#include <functional>
#include <cstdint>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "extract/ExtractRun.h"
#include "extract/TrackEncoder.h"
#include "output/CoverImage.h"
#include "output/Tags.h"

namespace vindral::output {

constexpr int kDefaultFlacLevel = 8;
// One seek point every ten seconds.
constexpr uint32_t kSeekPointSpacing = 441000;

// The encodings that may run at once, shared by the encoders of one rip:
// Start waits while every slot is taken, and an encoding gives its slot back
// when it ends (complete, failed or given up).
class EncodingSlots {
public:
    explicit EncodingSlots(int count) : free_(count < 1 ? 1 : count) {}
    void Take();
    void Give();

private:
    std::mutex mutex_;
    std::condition_variable given_;
    int free_;
};

struct FlacSettings {
    int level = kDefaultFlacLevel; // 0 (fastest) to 8 (smallest)
    std::vector<std::string> comments; // "FIELD=value", as VorbisComments gives them
    std::shared_ptr<const CoverImage> cover; // a PICTURE block of type 3 when set
    std::size_t queueBlocks = 64;            // blocks handed over but not yet encoded
    std::shared_ptr<EncodingSlots> encodingSlots; // none: no bound
};

class FlacTrackEncoder final : public TrackEncoder {
public:
    explicit FlacTrackEncoder(FlacSettings settings);
    ~FlacTrackEncoder() override;
    FlacTrackEncoder(const FlacTrackEncoder&) = delete;
    FlacTrackEncoder& operator=(const FlacTrackEncoder&) = delete;

    bool Start(const std::string& finalPath, int32_t sectors) override;
    bool Push(const uint8_t* pcm, std::size_t bytes) override;
    void ReadBehind(const std::string& pcmPath) override;
    bool EndInput() override;
    bool Done() const override;
    bool Finish() override;
    bool Commit() override;
    void Discard() override;
    std::string Error() const override;

    // The temporary file being written (empty when none), for the tests.
    std::string TemporaryPath() const;

private:
    struct State;
    FlacSettings settings_;
    std::unique_ptr<State> state_;
};

// A factory for the job: entry k gets `settings` with the comments of
// `comments[k]` (none when k is past its end). Its encoders share one set of
// EncodingSlots (EncodingsAtOnce) unless `settings` brings its own.
TrackEncoderFactory FlacEncoderFactory(FlacSettings settings,
                                       std::vector<std::vector<std::string>> comments);

// Makes the job's files FLAC files: "Track01.wav" becomes "Track01.flac",
// and each entry's encoder gets the tags of its track from `details` and
// `ids` (TagsFromDisc), changed by `adjust` where given (names looked up
// elsewhere).
using TagAdjuster = std::function<void(int number, TrackTags& tags)>;
void UseFlacFiles(ExtractJob& job, const DiscDetails& details, const DiscIdTexts& ids,
                  FlacSettings settings, const TagAdjuster& adjust = {});

} // namespace vindral::output

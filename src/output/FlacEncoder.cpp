#include "output/FlacEncoder.h"

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <condition_variable>
#include <cstdio>
#include <cstring>
#include <deque>
#include <mutex>
#include <optional>
#include <thread>

#include <FLAC/metadata.h>
#include <FLAC/stream_encoder.h>

#include "platform/OutputFile.h"
#include "platform/Platform.h"

namespace vindral::output {

namespace {

constexpr unsigned kPaddingBytes = 8192;
constexpr std::size_t kFrameBytes = 4; // two 16-bit samples

} // namespace

void EncodingSlots::Take() {
    std::unique_lock<std::mutex> lock(mutex_);
    given_.wait(lock, [this] { return free_ > 0; });
    --free_;
}

void EncodingSlots::Give() {
    {
        std::lock_guard<std::mutex> lock(mutex_);
        ++free_;
    }
    given_.notify_one();
}

struct FlacTrackEncoder::State {
    platform::OutputFile file;
    uint64_t position = 0; // where the encoder's next write lands
    FLAC__StreamEncoder* encoder = nullptr;
    std::vector<FLAC__StreamMetadata*> metadata;
    std::thread thread;
    // The slot of EncodingSlots this encoding holds, if any.
    std::shared_ptr<EncodingSlots> encodingSlots;
    std::atomic<bool> holdsSlot{false};
    // ReadBehind's PCM file; empty: Push waits for room in the queue.
    std::string source;

    mutable std::mutex mutex;
    std::condition_variable changed;
    std::deque<std::vector<uint8_t>> queue; // guarded by mutex
    uint64_t handedOver = 0;                // bytes Push took (mutex)
    std::optional<uint64_t> behindFrom;     // the first byte not queued (mutex)
    bool closing = false;                   // the input has ended (mutex)
    std::atomic<bool> stopping{false};      // stop at once (set under mutex)
    bool ended = false;                     // the encoding thread is over (mutex)
    bool failed = false;
    std::string error;
    bool finished = false; // the file is complete; Commit may follow

    void Fail(const std::string& reason) {
        std::lock_guard<std::mutex> lock(mutex);
        if (!failed) {
            failed = true;
            error = reason;
        }
        changed.notify_all();
    }

    void GiveSlot() {
        if (encodingSlots && holdsSlot.exchange(false)) {
            encodingSlots->Give();
        }
    }

    std::string EncoderReason() const {
        const FLAC__StreamEncoderState s = FLAC__stream_encoder_get_state(encoder);
        if (s == FLAC__STREAM_ENCODER_CLIENT_ERROR && !file.Error().empty()) {
            return file.Error();
        }
        return file.FinalPath() + ": FLAC encoder: " + FLAC__StreamEncoderStateString[s];
    }

    static FLAC__StreamEncoderWriteStatus Write(const FLAC__StreamEncoder*, const FLAC__byte buffer[],
                                                size_t bytes, uint32_t, uint32_t, void* client) {
        auto* state = static_cast<State*>(client);
        if (!state->file.Write(buffer, bytes)) {
            return FLAC__STREAM_ENCODER_WRITE_STATUS_FATAL_ERROR;
        }
        state->position += bytes;
        return FLAC__STREAM_ENCODER_WRITE_STATUS_OK;
    }

    static FLAC__StreamEncoderSeekStatus Seek(const FLAC__StreamEncoder*, FLAC__uint64 offset,
                                              void* client) {
        auto* state = static_cast<State*>(client);
        if (!state->file.SeekTo(offset)) {
            return FLAC__STREAM_ENCODER_SEEK_STATUS_ERROR;
        }
        state->position = offset;
        return FLAC__STREAM_ENCODER_SEEK_STATUS_OK;
    }

    static FLAC__StreamEncoderTellStatus Tell(const FLAC__StreamEncoder*, FLAC__uint64* offset,
                                              void* client) {
        *offset = static_cast<State*>(client)->position;
        return FLAC__STREAM_ENCODER_TELL_STATUS_OK;
    }

    bool EncodeBlock(const uint8_t* pcm, std::size_t bytes, std::vector<FLAC__int32>& samples) {
        const std::size_t count = bytes / 2;
        samples.resize(count);
        for (std::size_t i = 0; i < count; ++i) {
            samples[i] = static_cast<int16_t>(pcm[2 * i] | pcm[2 * i + 1] << 8);
        }
        if (!FLAC__stream_encoder_process_interleaved(encoder, samples.data(),
                                                      static_cast<uint32_t>(count / 2))) {
            Fail(EncoderReason());
            return false;
        }
        return true;
    }

    // The queued blocks in the order handed over, until the input ends.
    bool EncodeQueue(std::vector<FLAC__int32>& samples) {
        while (true) {
            std::vector<uint8_t> block;
            {
                std::unique_lock<std::mutex> lock(mutex);
                changed.wait(lock, [this] { return stopping || closing || !queue.empty(); });
                if (stopping) {
                    return false;
                }
                if (queue.empty()) {
                    return true; // the input has ended, and all of it was queued
                }
                block = std::move(queue.front());
                queue.pop_front();
            }
            changed.notify_all(); // room for Push
            if (!EncodeBlock(block.data(), block.size(), samples)) {
                return false;
            }
        }
    }

    // What the queue had no room for, from the PCM file.
    bool EncodeBehind(std::vector<FLAC__int32>& samples) {
        uint64_t from = 0;
        uint64_t to = 0;
        {
            std::lock_guard<std::mutex> lock(mutex);
            if (!behindFrom) {
                return true;
            }
            from = *behindFrom;
            to = handedOver;
        }
        constexpr std::size_t kReadBytes = 64 * kFrameBytes * 588; // 64 sectors
        constexpr uint64_t kHeaderBytes = 44;
        std::FILE* pcm = std::fopen(source.c_str(), "rb");
        std::string problem = pcm == nullptr ? std::strerror(errno) : "";
        if (pcm != nullptr && std::fseek(pcm, static_cast<long>(kHeaderBytes + from), SEEK_SET) != 0) {
            problem = std::strerror(errno);
        }
        std::vector<uint8_t> block(kReadBytes);
        bool encoded = true;
        for (uint64_t left = to - from; problem.empty() && encoded && left > 0 && !stopping;) {
            const std::size_t want = static_cast<std::size_t>(std::min<uint64_t>(left, kReadBytes));
            if (std::fread(block.data(), 1, want, pcm) != want) {
                problem = std::ferror(pcm) != 0 ? std::strerror(errno) : "the file is cut short";
                break;
            }
            encoded = EncodeBlock(block.data(), want, samples);
            left -= want;
        }
        if (pcm != nullptr) {
            std::fclose(pcm);
        }
        if (!problem.empty()) {
            Fail(file.FinalPath() + ": the track's samples cannot be read back from " + source +
                 " (" + problem + ")");
        }
        return problem.empty() && encoded && !stopping;
    }

    // The encoding thread: the blocks in the order handed over, then the
    // file completed once the input has ended.
    void Encode() {
        std::vector<FLAC__int32> samples;
        if (EncodeQueue(samples) && EncodeBehind(samples) &&
            !FLAC__stream_encoder_finish(encoder)) {
            // The last frame, or the STREAMINFO and seek table written again.
            Fail(EncoderReason());
        }
        {
            std::lock_guard<std::mutex> lock(mutex);
            ended = true;
        }
        changed.notify_all();
        GiveSlot(); // (after Done says so: a Start that waited for it finds this done)
    }

    void StopThread(bool drain) {
        {
            std::lock_guard<std::mutex> lock(mutex);
            if (drain) {
                closing = true;
            } else {
                stopping = true;
            }
        }
        changed.notify_all();
        if (thread.joinable()) {
            thread.join();
        }
    }

    void FreeEncoder() {
        if (encoder != nullptr) {
            FLAC__stream_encoder_delete(encoder);
            encoder = nullptr;
        }
        for (FLAC__StreamMetadata* block : metadata) {
            FLAC__metadata_object_delete(block);
        }
        metadata.clear();
    }

    // After the input has ended: waits for the encoding thread. False with
    // everything given up when the encoding failed.
    bool Wait() {
        StopThread(true);
        if (failed) {
            const std::string reason = error;
            Abandon();
            error = reason;
            return false;
        }
        FreeEncoder();
        finished = true;
        return true;
    }

    // Stops everything and removes the temporary file. The file goes
    // first, so that nothing the encoder might still write lands anywhere.
    void Abandon() {
        StopThread(false);
        GiveSlot();
        file.Discard();
        FreeEncoder();
        queue.clear();
        finished = false;
    }
};

FlacTrackEncoder::FlacTrackEncoder(FlacSettings settings)
    : settings_(std::move(settings)), state_(std::make_unique<State>()) {}

FlacTrackEncoder::~FlacTrackEncoder() { Discard(); }

namespace {

FLAC__StreamMetadata* CommentBlock(const std::vector<std::string>& comments) {
    FLAC__StreamMetadata* block = FLAC__metadata_object_new(FLAC__METADATA_TYPE_VORBIS_COMMENT);
    if (block == nullptr) {
        return nullptr;
    }
    for (const std::string& comment : comments) {
        FLAC__StreamMetadata_VorbisComment_Entry entry;
        entry.length = static_cast<FLAC__uint32>(comment.size());
        entry.entry = reinterpret_cast<FLAC__byte*>(const_cast<char*>(comment.data()));
        // A comment that is not a field name and UTF-8 text is left out.
        if (FLAC__format_vorbiscomment_entry_is_legal(entry.entry, entry.length)) {
            (void)FLAC__metadata_object_vorbiscomment_append_comment(block, entry, true);
        }
    }
    return block;
}

FLAC__StreamMetadata* PictureBlock(const CoverImage& cover) {
    FLAC__StreamMetadata* block = FLAC__metadata_object_new(FLAC__METADATA_TYPE_PICTURE);
    if (block == nullptr) {
        return nullptr;
    }
    block->data.picture.type = FLAC__STREAM_METADATA_PICTURE_TYPE_FRONT_COVER;
    std::string mime = cover.mimeType;
    FLAC__byte description[] = "";
    const bool ok =
        FLAC__metadata_object_picture_set_mime_type(block, mime.data(), true) &&
        FLAC__metadata_object_picture_set_description(block, description, true) &&
        FLAC__metadata_object_picture_set_data(block, const_cast<FLAC__byte*>(cover.data.data()),
                                               static_cast<FLAC__uint32>(cover.data.size()),
                                               true);
    if (!ok) {
        FLAC__metadata_object_delete(block);
        return nullptr;
    }
    block->data.picture.width = cover.width;
    block->data.picture.height = cover.height;
    block->data.picture.depth = cover.depth;
    block->data.picture.colors = cover.colors;
    return block;
}

} // namespace

bool FlacTrackEncoder::Start(const std::string& finalPath, int32_t sectors) {
    Discard();
    State& s = *state_;
    s.failed = false;
    s.error.clear();
    s.closing = false;
    s.stopping = false;
    s.ended = false;
    s.position = 0;
    s.source.clear();
    s.handedOver = 0;
    s.behindFrom.reset();
    // (Before the file: a rip's encoders share the cores.)
    s.encodingSlots = settings_.encodingSlots;
    if (s.encodingSlots) {
        s.encodingSlots->Take();
        s.holdsSlot = true;
    }
    if (!s.file.Create(finalPath)) {
        s.GiveSlot();
        s.failed = true;
        s.error = s.file.Error();
        return false;
    }
    const uint64_t frames = sectors > 0 ? static_cast<uint64_t>(sectors) * 588 : 0;
    auto fail = [&s, &finalPath](const std::string& why) {
        // A write that failed names its own reason.
        const std::string error = s.file.Error().empty() ? finalPath + ": " + why : s.file.Error();
        s.Abandon();
        s.failed = true;
        s.error = error;
        return false;
    };
    s.encoder = FLAC__stream_encoder_new();
    if (s.encoder == nullptr) {
        return fail("the FLAC encoder cannot be made");
    }
    FLAC__stream_encoder_set_channels(s.encoder, 2);
    FLAC__stream_encoder_set_bits_per_sample(s.encoder, 16);
    FLAC__stream_encoder_set_sample_rate(s.encoder, 44100);
    FLAC__stream_encoder_set_compression_level(
        s.encoder, static_cast<uint32_t>(std::clamp(settings_.level, 0, 8)));
    FLAC__stream_encoder_set_total_samples_estimate(s.encoder, frames);

    // The seek table's points are placeholders that the encoder fills with
    // the frames' places when it finishes.
    if (frames > 0) {
        FLAC__StreamMetadata* table = FLAC__metadata_object_new(FLAC__METADATA_TYPE_SEEKTABLE);
        if (table == nullptr ||
            !FLAC__metadata_object_seektable_template_append_spaced_points_by_samples(
                table, kSeekPointSpacing, frames) ||
            !FLAC__metadata_object_seektable_template_sort(table, true)) {
            if (table != nullptr) {
                FLAC__metadata_object_delete(table);
            }
            return fail("the seek table cannot be made");
        }
        s.metadata.push_back(table);
    }
    if (FLAC__StreamMetadata* comments = CommentBlock(settings_.comments)) {
        s.metadata.push_back(comments);
    } else {
        return fail("the tags cannot be made");
    }
    if (settings_.cover) {
        FLAC__StreamMetadata* picture = PictureBlock(*settings_.cover);
        if (picture == nullptr) {
            return fail("the cover cannot be stored");
        }
        s.metadata.push_back(picture);
    }
    if (FLAC__StreamMetadata* padding = FLAC__metadata_object_new(FLAC__METADATA_TYPE_PADDING)) {
        padding->length = kPaddingBytes; // room to edit the tags in place
        s.metadata.push_back(padding);
    }
    FLAC__stream_encoder_set_metadata(s.encoder, s.metadata.data(),
                                      static_cast<uint32_t>(s.metadata.size()));
    const FLAC__StreamEncoderInitStatus init = FLAC__stream_encoder_init_stream(
        s.encoder, &State::Write, &State::Seek, &State::Tell, nullptr, &s);
    if (init != FLAC__STREAM_ENCODER_INIT_STATUS_OK) {
        return fail(std::string("the FLAC encoder cannot start (") +
                    FLAC__StreamEncoderInitStatusString[init] + ")");
    }
    s.thread = std::thread([&s] {
        // (Not the reading worker's priority, which it would inherit: the
        // reading, and the window thread it reports to, go first.)
        platform::SetCurrentThreadPriorityBelowNormal();
        s.Encode();
    });
    return true;
}

bool FlacTrackEncoder::Push(const uint8_t* pcm, std::size_t bytes) {
    State& s = *state_;
    if (!s.thread.joinable() || bytes % kFrameBytes != 0) {
        return false;
    }
    std::unique_lock<std::mutex> lock(s.mutex);
    // Reading behind, a block the queue has no room for is left in the PCM
    // file, and so is every block after it.
    const bool behind =
        !s.source.empty() && (s.behindFrom || s.queue.size() >= settings_.queueBlocks);
    if (!behind) {
        const std::size_t room = std::max<std::size_t>(1, settings_.queueBlocks);
        s.changed.wait(lock, [&] { return s.failed || s.queue.size() < room; });
    }
    if (s.failed || s.closing) {
        return false;
    }
    if (!behind) {
        s.queue.emplace_back(pcm, pcm + bytes);
    } else if (!s.behindFrom) {
        s.behindFrom = s.handedOver;
    }
    s.handedOver += bytes;
    lock.unlock();
    s.changed.notify_all();
    return true;
}

void FlacTrackEncoder::ReadBehind(const std::string& pcmPath) { state_->source = pcmPath; }

bool FlacTrackEncoder::EndInput() {
    State& s = *state_;
    if (!s.thread.joinable()) {
        return false;
    }
    {
        std::lock_guard<std::mutex> lock(s.mutex);
        if (s.failed) {
            return false;
        }
        s.closing = true;
    }
    s.changed.notify_all();
    return true;
}

bool FlacTrackEncoder::Done() const {
    const State& s = *state_;
    std::lock_guard<std::mutex> lock(s.mutex);
    return s.ended || !s.thread.joinable();
}

bool FlacTrackEncoder::Finish() {
    State& s = *state_;
    if (!EndInput()) {
        const std::string error = s.error;
        s.Abandon();
        s.error = error;
        return false;
    }
    return s.Wait();
}

bool FlacTrackEncoder::Commit() {
    State& s = *state_;
    if (s.thread.joinable() && (!s.closing || !s.Wait())) {
        return false; // the input has not ended, or the encoding failed
    }
    if (!s.finished) {
        return false;
    }
    s.finished = false;
    if (!s.file.Commit()) {
        s.failed = true;
        s.error = s.file.Error();
        return false;
    }
    return true;
}

void FlacTrackEncoder::Discard() { state_->Abandon(); }

std::string FlacTrackEncoder::Error() const {
    std::lock_guard<std::mutex> lock(state_->mutex);
    return state_->error;
}

std::string FlacTrackEncoder::TemporaryPath() const { return state_->file.TemporaryPath(); }

TrackEncoderFactory FlacEncoderFactory(FlacSettings settings,
                                       std::vector<std::vector<std::string>> comments) {
    if (!settings.encodingSlots) {
        settings.encodingSlots = std::make_shared<EncodingSlots>(EncodingsAtOnce());
    }
    return [settings = std::move(settings),
            comments = std::move(comments)](int entry) -> std::unique_ptr<TrackEncoder> {
        FlacSettings own = settings;
        own.comments = entry >= 0 && static_cast<std::size_t>(entry) < comments.size()
                           ? comments[static_cast<std::size_t>(entry)]
                           : std::vector<std::string>{};
        return std::make_unique<FlacTrackEncoder>(std::move(own));
    };
}

namespace {

std::string WithExtension(const std::string& path, const std::string& extension) {
    const auto slash = path.find_last_of("/\\");
    const auto dot = path.rfind('.');
    const bool hasOne = dot != std::string::npos && (slash == std::string::npos || dot > slash);
    return (hasOne ? path.substr(0, dot) : path) + extension;
}

} // namespace

void UseFlacFiles(ExtractJob& job, const DiscDetails& details, const DiscIdTexts& ids,
                  FlacSettings settings, const TagAdjuster& adjust) {
    std::vector<std::vector<std::string>> comments;
    for (JobEntry& entry : job.tracks) {
        entry.path = WithExtension(entry.path, ".flac");
        TrackTags tags = TagsFromDisc(details, entry.track.number, ids);
        if (adjust) {
            adjust(entry.track.number, tags);
        }
        comments.push_back(VorbisComments(tags));
    }
    job.makeEncoder = FlacEncoderFactory(std::move(settings), std::move(comments));
}

} // namespace vindral::output

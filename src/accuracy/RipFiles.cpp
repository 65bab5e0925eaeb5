#include "accuracy/RipFiles.h"

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>

#include "accuracy/Checksums.h"
#include "platform/FlacReader.h"
#include "platform/OutputFile.h"

#if defined(VINDRAL_HAVE_FLAC)
#include <FLAC/metadata.h>

#include "output/FlacEncoder.h"
#endif

namespace vindral::accuracy {

namespace {

uint32_t Le32(const uint8_t* p) {
    return static_cast<uint32_t>(p[0]) | static_cast<uint32_t>(p[1]) << 8 |
           static_cast<uint32_t>(p[2]) << 16 | static_cast<uint32_t>(p[3]) << 24;
}

uint16_t Le16(const uint8_t* p) { return static_cast<uint16_t>(p[0] | p[1] << 8); }

// Where the samples of a RIFF WAVE file of CD audio lie; false with
// `error` set for anything else.
bool FindWaveData(std::FILE* file, uint64_t& offset, uint64_t& bytes, std::string& error) {
    uint8_t head[12];
    if (std::fread(head, 1, sizeof head, file) != sizeof head ||
        std::memcmp(head, "RIFF", 4) != 0 || std::memcmp(head + 8, "WAVE", 4) != 0) {
        error = "not a WAV or FLAC file";
        return false;
    }
    bool format = false;
    uint64_t at = 12;
    while (true) {
        uint8_t chunk[8];
        if (std::fread(chunk, 1, sizeof chunk, file) != sizeof chunk) {
            error = "a WAV file without a data chunk";
            return false;
        }
        const uint32_t size = Le32(chunk + 4);
        at += 8;
        if (std::memcmp(chunk, "fmt ", 4) == 0 && size >= 16) {
            uint8_t fmt[16];
            if (std::fread(fmt, 1, sizeof fmt, file) != sizeof fmt) {
                error = "a WAV file cut short";
                return false;
            }
            format = Le16(fmt) == 1 && Le16(fmt + 2) == 2 && Le32(fmt + 4) == 44100 &&
                     Le16(fmt + 14) == 16;
            if (!format) {
                error = "a WAV file that is not 44.1 kHz 16-bit stereo PCM";
                return false;
            }
            if (std::fseek(file, static_cast<long>(at + size + (size & 1)), SEEK_SET) != 0) {
                error = "a WAV file cut short";
                return false;
            }
        } else if (std::memcmp(chunk, "data", 4) == 0) {
            if (!format) {
                error = "a WAV file whose data come before their format";
                return false;
            }
            offset = at;
            bytes = size;
            return true;
        } else if (std::fseek(file, static_cast<long>(at + size + (size & 1)), SEEK_SET) != 0) {
            error = "a WAV file cut short";
            return false;
        }
        at += size + (size & 1);
    }
}

} // namespace

uint64_t RipFiles::Samples() const {
    uint64_t total = 0;
    for (const RipTrackFile& track : tracks) {
        total += track.samples;
    }
    return total;
}

uint64_t RipFiles::TrackStart(std::size_t k) const {
    uint64_t start = 0;
    for (std::size_t i = 0; i < k && i < tracks.size(); ++i) {
        start += tracks[i].samples;
    }
    return start;
}

// An open file of the rip: a WAV file read with stdio, or a FLAC file
// decoded by libFLAC.
struct RipAudioReader::Open {
    std::FILE* wav = nullptr;
    uint64_t dataOffset = 0;
    uint64_t dataSamples = 0;
    std::unique_ptr<platform::FlacReader> flac;

    ~Open() {
        if (wav != nullptr) {
            std::fclose(wav);
        }
    }

    uint64_t Samples() const { return flac ? flac->TotalFrames() : dataSamples; }

    bool Read(uint64_t first, std::size_t count, uint8_t* out) {
        if (flac) {
            return flac->Read(first, count, out);
        }
        const uint64_t at = dataOffset + first * kBytesPerSample;
        return fseeko(wav, static_cast<off_t>(at), SEEK_SET) == 0 &&
               std::fread(out, kBytesPerSample, count, wav) == count;
    }
};

RipAudioReader::RipAudioReader(const RipFiles& files) : files_(files) {
    uint64_t start = 0;
    for (const RipTrackFile& track : files.tracks) {
        starts_.push_back(start);
        start += track.samples;
    }
}

RipAudioReader::~RipAudioReader() = default;

RipAudioReader::Open* RipAudioReader::FileOf(const std::string& path, std::string& error) {
    if (auto found = open_.find(path); found != open_.end()) {
        return found->second.get();
    }
    auto open = std::make_unique<Open>();
    std::FILE* file = std::fopen(path.c_str(), "rb");
    if (file == nullptr) {
        error = path + ": " + std::strerror(errno);
        return nullptr;
    }
    uint8_t magic[4] = {};
    const bool flac = std::fread(magic, 1, sizeof magic, file) == sizeof magic &&
                      platform::LooksLikeFlac(magic, sizeof magic);
    std::rewind(file);
    if (flac) {
        std::fclose(file);
        platform::FlacFault fault = platform::FlacFault::kNone;
        std::string reason;
        open->flac = platform::FlacReader::Open(path, fault, reason);
        if (!open->flac) {
            error = reason;
            return nullptr;
        }
    } else {
        open->wav = file;
        uint64_t bytes = 0;
        std::string reason;
        if (!FindWaveData(file, open->dataOffset, bytes, reason)) {
            error = path + ": " + reason;
            return nullptr;
        }
        open->dataSamples = bytes / kBytesPerSample;
    }
    Open* result = open.get();
    open_[path] = std::move(open);
    return result;
}

bool RipAudioReader::Read(uint64_t first, std::size_t count, uint8_t* out, std::string& error) {
    while (count > 0) {
        // The track that holds `first`.
        const auto next = std::upper_bound(starts_.begin(), starts_.end(), first);
        if (next == starts_.begin()) {
            error = "no audio at that place";
            return false;
        }
        const std::size_t k = static_cast<std::size_t>(next - starts_.begin()) - 1;
        const RipTrackFile& track = files_.tracks[k];
        const uint64_t inTrack = first - starts_[k];
        if (inTrack >= track.samples) {
            error = "no audio past the disc's end";
            return false;
        }
        const std::size_t piece =
            static_cast<std::size_t>(std::min<uint64_t>(count, track.samples - inTrack));
        Open* file = FileOf(track.path, error);
        if (file == nullptr) {
            return false;
        }
        if (track.firstSample + inTrack + piece > file->Samples() ||
            !file->Read(track.firstSample + inTrack, piece, out)) {
            error = track.path + ": shorter than its track, or cannot be read";
            return false;
        }
        out += piece * kBytesPerSample;
        first += piece;
        count -= piece;
    }
    return true;
}

namespace {

bool RewriteWav(const std::string& path, const SampleFixes& fixes, std::string& error) {
    std::FILE* in = std::fopen(path.c_str(), "rb");
    if (in == nullptr) {
        error = path + ": " + std::strerror(errno);
        return false;
    }
    uint64_t dataOffset = 0;
    uint64_t dataBytes = 0;
    std::string reason;
    if (!FindWaveData(in, dataOffset, dataBytes, reason)) {
        std::fclose(in);
        error = path + ": " + reason;
        return false;
    }
    std::rewind(in);
    platform::OutputFile out;
    if (!out.Create(path)) {
        std::fclose(in);
        error = out.Error();
        return false;
    }
    // The file is copied as it is, each fixed sample put in place on the way
    // (byte by byte: a sample may lie across two pieces).
    std::vector<uint8_t> buffer(1 << 20);
    uint64_t at = 0;
    bool ok = true;
    while (ok) {
        const std::size_t got = std::fread(buffer.data(), 1, buffer.size(), in);
        if (got == 0) {
            ok = std::ferror(in) == 0;
            error = ok ? "" : path + ": cannot be read";
            break;
        }
        const uint64_t first = at > dataOffset ? (at - dataOffset) / kBytesPerSample : 0;
        for (auto fix = fixes.lower_bound(first); fix != fixes.end(); ++fix) {
            const uint64_t byte = dataOffset + fix->first * kBytesPerSample;
            if (byte >= at + got || fix->first * kBytesPerSample >= dataBytes) {
                break;
            }
            for (uint32_t b = 0; b < kBytesPerSample; ++b) {
                if (byte + b >= at && byte + b < at + got) {
                    buffer[static_cast<std::size_t>(byte + b - at)] =
                        static_cast<uint8_t>(fix->second >> (8 * b));
                }
            }
        }
        if (!out.Write(buffer.data(), got)) {
            error = out.Error();
            ok = false;
        }
        at += got;
    }
    std::fclose(in);
    if (ok && !fixes.empty() && (fixes.rbegin()->first + 1) * kBytesPerSample > dataBytes) {
        ok = false;
        error = path + ": a sample to fix lies past the file's audio";
    }
    if (!ok) {
        out.Discard();
        return false;
    }
    if (!out.Commit()) {
        error = out.Error();
        return false;
    }
    return true;
}

#if defined(VINDRAL_HAVE_FLAC)

bool RewriteFlac(const std::string& path, const SampleFixes& fixes, std::string& error) {
    platform::FlacFault fault = platform::FlacFault::kNone;
    std::string reason;
    auto reader = platform::FlacReader::Open(path, fault, reason);
    if (!reader) {
        error = reason;
        return false;
    }
    const uint64_t frames = reader->TotalFrames();
    if (frames % kSamplesPerSector != 0) {
        error = path + ": not whole sectors of audio";
        return false;
    }
    // The tags and the front cover go into the new file as they were.
    output::FlacSettings settings;
    FLAC__StreamMetadata* tags = nullptr;
    if (FLAC__metadata_get_tags(path.c_str(), &tags) && tags != nullptr) {
        const auto& comments = tags->data.vorbis_comment;
        for (FLAC__uint32 i = 0; i < comments.num_comments; ++i) {
            settings.comments.emplace_back(reinterpret_cast<const char*>(comments.comments[i].entry),
                                           comments.comments[i].length);
        }
        FLAC__metadata_object_delete(tags);
    }
    FLAC__StreamMetadata* picture = nullptr;
    if (FLAC__metadata_get_picture(path.c_str(), &picture,
                                   FLAC__STREAM_METADATA_PICTURE_TYPE_FRONT_COVER, nullptr,
                                   nullptr, static_cast<unsigned>(-1), static_cast<unsigned>(-1),
                                   static_cast<unsigned>(-1), static_cast<unsigned>(-1)) &&
        picture != nullptr) {
        auto cover = std::make_shared<output::CoverImage>();
        const auto& p = picture->data.picture;
        cover->mimeType = p.mime_type != nullptr ? p.mime_type : "";
        cover->data.assign(p.data, p.data + p.data_length);
        cover->width = p.width;
        cover->height = p.height;
        cover->depth = p.depth;
        cover->colors = p.colors;
        settings.cover = cover;
        FLAC__metadata_object_delete(picture);
    }
    output::FlacTrackEncoder encoder(settings);
    if (!encoder.Start(path, static_cast<int32_t>(frames / kSamplesPerSector))) {
        error = encoder.Error();
        return false;
    }
    constexpr std::size_t kPiece = 64 * kSamplesPerSector;
    std::vector<uint8_t> pcm(kPiece * kBytesPerSample);
    auto fix = fixes.begin();
    for (uint64_t at = 0; at < frames; at += kPiece) {
        const std::size_t count = static_cast<std::size_t>(std::min<uint64_t>(kPiece, frames - at));
        if (!reader->Read(at, count, pcm.data())) {
            encoder.Discard();
            error = path + ": its audio cannot be decoded";
            return false;
        }
        for (; fix != fixes.end() && fix->first < at + count; ++fix) {
            const std::size_t byte = static_cast<std::size_t>(fix->first - at) * kBytesPerSample;
            for (uint32_t b = 0; b < kBytesPerSample; ++b) {
                pcm[byte + b] = static_cast<uint8_t>(fix->second >> (8 * b));
            }
        }
        if (!encoder.Push(pcm.data(), count * kBytesPerSample)) {
            error = encoder.Error();
            encoder.Discard();
            return false;
        }
    }
    reader.reset();
    if (!encoder.Finish() || !encoder.Commit()) {
        error = encoder.Error();
        encoder.Discard();
        return false;
    }
    return true;
}

#endif

} // namespace

bool RewriteWithFixes(const std::string& path, const SampleFixes& fixes, std::string& error) {
    std::FILE* file = std::fopen(path.c_str(), "rb");
    if (file == nullptr) {
        error = path + ": " + std::strerror(errno);
        return false;
    }
    uint8_t magic[4] = {};
    const bool flac = std::fread(magic, 1, sizeof magic, file) == sizeof magic &&
                      platform::LooksLikeFlac(magic, sizeof magic);
    std::fclose(file);
    if (flac) {
#if defined(VINDRAL_HAVE_FLAC)
        return RewriteFlac(path, fixes, error);
#else
        error = path + ": FLAC files are not part of this build";
        return false;
#endif
    }
    return RewriteWav(path, fixes, error);
}

} // namespace vindral::accuracy

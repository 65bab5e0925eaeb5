#include "platform/FlacReader.h"

#include <algorithm>
#include <cstring>
#include <vector>

#if VINDRAL_HAVE_FLAC
#include <FLAC/stream_decoder.h>
#include <cerrno>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>
#endif

namespace vindral::platform {

bool LooksLikeFlac(const uint8_t* head, std::size_t bytes) {
    return (bytes >= 4 && std::memcmp(head, "fLaC", 4) == 0) ||
           (bytes >= 3 && std::memcmp(head, "ID3", 3) == 0);
}

#if VINDRAL_HAVE_FLAC

namespace {

constexpr uint32_t kRate = 44100;
constexpr uint32_t kChannels = 2;
constexpr uint32_t kBits = 16;
constexpr std::size_t kFrameBytes = 4;

// Bytes of an ID3v2 tag that starts `head`, 0 when there is none.
uint64_t Id3Length(const uint8_t* head, std::size_t bytes) {
    if (bytes < 10 || std::memcmp(head, "ID3", 3) != 0) {
        return 0;
    }
    // The size is "synchsafe": 7 bits in each of four bytes.
    uint64_t size = 0;
    for (int i = 6; i < 10; ++i) {
        if (head[i] & 0x80) {
            return 0;
        }
        size = (size << 7) | head[i];
    }
    const bool footer = (head[5] & 0x10) != 0;
    return 10 + size + (footer ? 10 : 0);
}

} // namespace

struct FlacReader::Decoder {
    ~Decoder() {
        if (flac != nullptr) {
            FLAC__stream_decoder_delete(flac);
        }
    }

    FLAC__StreamDecoder* flac = nullptr;
    ReadAtFunction readAt;
    uint64_t size = 0;
    uint64_t position = 0; // of the next byte the decoder reads
    bool readFailed = false;

    bool haveInfo = false;
    uint32_t rate = 0;
    uint32_t channels = 0;
    uint32_t bits = 0;
    uint64_t total = 0;

    // The last block decoded, as little-endian 16-bit stereo.
    std::vector<uint8_t> block;
    uint64_t blockStart = 0;
    uint64_t blockFrames = 0;
    bool wrote = false;  // a block arrived since the last fetch began
    bool failed = false; // the decoder reported damage since then

    // Decodes the block that holds frame `target` into `block`.
    bool Fetch(uint64_t target);
    // After a failure: forget the block, make the decoder usable again.
    void Recover();
};

namespace {

using Decoder = FlacReader::Decoder;

Decoder& Of(void* client) { return *static_cast<Decoder*>(client); }

FLAC__StreamDecoderReadStatus ReadBytes(const FLAC__StreamDecoder*, FLAC__byte buffer[],
                                        std::size_t* bytes, void* client) {
    Decoder& d = Of(client);
    if (d.position >= d.size) {
        *bytes = 0;
        return FLAC__STREAM_DECODER_READ_STATUS_END_OF_STREAM;
    }
    const auto take = static_cast<std::size_t>(std::min<uint64_t>(*bytes, d.size - d.position));
    if (take == 0 || !d.readAt(d.position, buffer, take)) {
        d.readFailed = true;
        *bytes = 0;
        return FLAC__STREAM_DECODER_READ_STATUS_ABORT;
    }
    d.position += take;
    *bytes = take;
    return FLAC__STREAM_DECODER_READ_STATUS_CONTINUE;
}

FLAC__StreamDecoderSeekStatus SeekBytes(const FLAC__StreamDecoder*, FLAC__uint64 offset,
                                        void* client) {
    Decoder& d = Of(client);
    if (offset > d.size) {
        return FLAC__STREAM_DECODER_SEEK_STATUS_ERROR;
    }
    d.position = offset;
    return FLAC__STREAM_DECODER_SEEK_STATUS_OK;
}

FLAC__StreamDecoderTellStatus TellBytes(const FLAC__StreamDecoder*, FLAC__uint64* offset,
                                        void* client) {
    *offset = Of(client).position;
    return FLAC__STREAM_DECODER_TELL_STATUS_OK;
}

FLAC__StreamDecoderLengthStatus LengthBytes(const FLAC__StreamDecoder*, FLAC__uint64* length,
                                            void* client) {
    *length = Of(client).size;
    return FLAC__STREAM_DECODER_LENGTH_STATUS_OK;
}

FLAC__bool AtEnd(const FLAC__StreamDecoder*, void* client) {
    const Decoder& d = Of(client);
    return d.position >= d.size;
}

FLAC__StreamDecoderWriteStatus WriteBlock(const FLAC__StreamDecoder*, const FLAC__Frame* frame,
                                          const FLAC__int32* const samples[], void* client) {
    Decoder& d = Of(client);
    const FLAC__FrameHeader& header = frame->header;
    // A frame may differ from the stream's header; only CD audio is taken.
    if (header.channels != kChannels || header.bits_per_sample != kBits ||
        header.number_type != FLAC__FRAME_NUMBER_TYPE_SAMPLE_NUMBER) {
        d.failed = true;
        return FLAC__STREAM_DECODER_WRITE_STATUS_ABORT;
    }
    d.block.resize(std::size_t{header.blocksize} * kFrameBytes);
    uint8_t* out = d.block.data();
    for (uint32_t i = 0; i < header.blocksize; ++i) {
        for (uint32_t c = 0; c < kChannels; ++c) {
            const auto sample = static_cast<uint16_t>(samples[c][i]);
            *out++ = static_cast<uint8_t>(sample);
            *out++ = static_cast<uint8_t>(sample >> 8);
        }
    }
    d.blockStart = header.number.sample_number;
    d.blockFrames = header.blocksize;
    d.wrote = true;
    return FLAC__STREAM_DECODER_WRITE_STATUS_CONTINUE;
}

void Metadata(const FLAC__StreamDecoder*, const FLAC__StreamMetadata* metadata, void* client) {
    Decoder& d = Of(client);
    if (metadata->type == FLAC__METADATA_TYPE_STREAMINFO) {
        const auto& info = metadata->data.stream_info;
        d.haveInfo = true;
        d.rate = info.sample_rate;
        d.channels = info.channels;
        d.bits = info.bits_per_sample;
        d.total = info.total_samples;
    }
}

void Error(const FLAC__StreamDecoder*, FLAC__StreamDecoderErrorStatus, void* client) {
    Of(client).failed = true;
}

} // namespace

bool FlacReader::Decoder::Fetch(uint64_t target) {
    wrote = false;
    failed = false;
    bool ok = true;
    const FLAC__StreamDecoderState state = FLAC__stream_decoder_get_state(flac);
    const bool following = blockFrames > 0 && target == blockStart + blockFrames &&
                           (state == FLAC__STREAM_DECODER_SEARCH_FOR_FRAME_SYNC ||
                            state == FLAC__STREAM_DECODER_READ_FRAME);
    if (following) {
        // The next block in the file: decode on, past metadata at most.
        for (int step = 0; ok && !wrote && !failed && step < 8; ++step) {
            ok = FLAC__stream_decoder_process_single(flac) != 0;
            if (FLAC__stream_decoder_get_state(flac) == FLAC__STREAM_DECODER_END_OF_STREAM) {
                break;
            }
        }
    } else {
        ok = FLAC__stream_decoder_seek_absolute(flac, target) != 0;
    }
    if (!ok || failed || !wrote || target < blockStart || target >= blockStart + blockFrames) {
        Recover();
        return false;
    }
    return true;
}

void FlacReader::Decoder::Recover() {
    blockFrames = 0;
    if (!FLAC__stream_decoder_flush(flac)) {
        FLAC__stream_decoder_reset(flac);
    }
}

std::unique_ptr<FlacReader> FlacReader::Open(uint64_t size, ReadAtFunction readAt,
                                             FlacFault& fault, std::string& reason) {
    fault = FlacFault::kNone;
    auto refuse = [&](FlacFault kind, std::string why) -> std::unique_ptr<FlacReader> {
        fault = kind;
        reason = std::move(why);
        return nullptr;
    };

    // The stream marker, after an ID3v2 tag if one comes first. Checked here
    // so that a file of something else is not searched to its end.
    uint8_t head[10] = {};
    const auto headBytes = static_cast<std::size_t>(std::min<uint64_t>(size, sizeof head));
    if (!readAt(0, head, headBytes)) {
        return refuse(FlacFault::kCannotOpen, "cannot be read");
    }
    const uint64_t markerAt = Id3Length(head, headBytes);
    uint8_t marker[4] = {};
    if (markerAt > size || size - markerAt < 4 || !readAt(markerAt, marker, 4) ||
        std::memcmp(marker, "fLaC", 4) != 0) {
        return refuse(FlacFault::kNotFlac, "is not a FLAC file");
    }

    std::unique_ptr<FlacReader> reader(new FlacReader);
    reader->decoder_ = std::make_unique<Decoder>();
    Decoder& d = *reader->decoder_;
    d.readAt = std::move(readAt);
    d.size = size;
    d.flac = FLAC__stream_decoder_new();
    if (d.flac == nullptr) {
        return refuse(FlacFault::kCannotOpen, "cannot be decoded (out of memory)");
    }
    // Ranges are read, not the whole stream: the stream's MD5 cannot be checked.
    FLAC__stream_decoder_set_md5_checking(d.flac, false);
    if (FLAC__stream_decoder_init_stream(d.flac, ReadBytes, SeekBytes, TellBytes, LengthBytes,
                                         AtEnd, WriteBlock, Metadata, Error, &d) !=
        FLAC__STREAM_DECODER_INIT_STATUS_OK) {
        return refuse(FlacFault::kCannotOpen, "cannot be decoded (libFLAC refused to start)");
    }
    FLAC__stream_decoder_process_until_end_of_metadata(d.flac);
    if (d.readFailed) {
        return refuse(FlacFault::kCannotOpen, "cannot be read");
    }
    if (!d.haveInfo) {
        return refuse(FlacFault::kNotFlac, "is not a FLAC file (no stream header)");
    }
    if (d.rate != kRate || d.channels != kChannels || d.bits != kBits) {
        return refuse(FlacFault::kUnsupported,
                      "is not 44.1 kHz 16-bit stereo (it holds " + std::to_string(d.rate) +
                          " Hz, " + std::to_string(d.channels) + " channel" +
                          (d.channels == 1 ? "" : "s") + ", " + std::to_string(d.bits) +
                          " bits)");
    }
    if (d.total == 0) {
        return refuse(FlacFault::kUnsupported, "does not record how many samples it holds");
    }
    reader->totalFrames_ = d.total;
    // The first and the last frame must decode: a file cut short or damaged
    // at either end is refused now, not when a drive reaches the spot.
    uint8_t frame[kFrameBytes];
    if (!reader->Read(0, 1, frame) || !reader->Read(d.total - 1, 1, frame)) {
        if (d.readFailed) {
            return refuse(FlacFault::kCannotOpen, "cannot be read");
        }
        return refuse(FlacFault::kDamaged,
                      "is damaged or cut short: it cannot be decoded to the last of its " +
                          std::to_string(d.total) + " samples");
    }
    return reader;
}

std::unique_ptr<FlacReader> FlacReader::Open(const std::string& path, FlacFault& fault,
                                             std::string& reason) {
    // Non-blocking, so that the name of a FIFO cannot hang the open.
    const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK);
    if (fd < 0) {
        fault = FlacFault::kCannotOpen;
        reason = std::strerror(errno);
        return nullptr;
    }
    auto file = std::shared_ptr<int>(new int(fd), [](int* f) {
        ::close(*f);
        delete f;
    });
    struct stat info {};
    if (::fstat(fd, &info) != 0 || !S_ISREG(info.st_mode)) {
        fault = FlacFault::kCannotOpen;
        reason = "not a regular file";
        return nullptr;
    }
    auto readAt = [file](uint64_t offset, void* out, std::size_t length) {
        auto* bytes = static_cast<uint8_t*>(out);
        std::size_t done = 0;
        while (done < length) {
            const ssize_t got = ::pread(*file, bytes + done, length - done,
                                        static_cast<off_t>(offset + done));
            if (got < 0 && errno == EINTR) {
                continue;
            }
            if (got <= 0) {
                return false;
            }
            done += static_cast<std::size_t>(got);
        }
        return true;
    };
    return Open(static_cast<uint64_t>(info.st_size), readAt, fault, reason);
}

FlacReader::~FlacReader() = default;

bool FlacReader::Read(uint64_t first, std::size_t count, uint8_t* out) {
    return first <= totalFrames_ && count <= totalFrames_ - first &&
           ReadUpTo(first, count, out) == count;
}

std::size_t FlacReader::ReadUpTo(uint64_t first, std::size_t count, uint8_t* out) {
    std::lock_guard<std::mutex> lock(mutex_);
    if (first >= totalFrames_) {
        return 0;
    }
    count = static_cast<std::size_t>(std::min<uint64_t>(count, totalFrames_ - first));
    Decoder& d = *decoder_;
    std::size_t done = 0;
    while (done < count) {
        if (d.blockFrames == 0 || first < d.blockStart || first >= d.blockStart + d.blockFrames) {
            if (!d.Fetch(first)) {
                break;
            }
        }
        const uint64_t skip = first - d.blockStart;
        const auto take =
            static_cast<std::size_t>(std::min<uint64_t>(count - done, d.blockFrames - skip));
        std::memcpy(out, d.block.data() + skip * kFrameBytes, take * kFrameBytes);
        out += take * kFrameBytes;
        first += take;
        done += take;
    }
    return done;
}

#else // no libFLAC in this build

struct FlacReader::Decoder {};

namespace {
constexpr const char* kNoFlac = "cannot be read: this build of Vindral has no FLAC support";
}

std::unique_ptr<FlacReader> FlacReader::Open(uint64_t, ReadAtFunction, FlacFault& fault,
                                             std::string& reason) {
    fault = FlacFault::kUnsupported;
    reason = kNoFlac;
    return nullptr;
}

std::unique_ptr<FlacReader> FlacReader::Open(const std::string&, FlacFault& fault,
                                             std::string& reason) {
    fault = FlacFault::kUnsupported;
    reason = kNoFlac;
    return nullptr;
}

FlacReader::~FlacReader() = default;

bool FlacReader::Read(uint64_t, std::size_t, uint8_t*) { return false; }

std::size_t FlacReader::ReadUpTo(uint64_t, std::size_t, uint8_t*) { return 0; }

#endif

} // namespace vindral::platform

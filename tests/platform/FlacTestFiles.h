// FLAC files for the tests, encoded in memory by libFLAC.
#pragma once

#include <FLAC/stream_encoder.h>

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <string>
#include <vector>

#include "platform/WaveTestFiles.h"

namespace vindral::testing {

struct FlacLayout {
    uint32_t rate = 44100;
    uint32_t channels = 2;
    uint32_t bits = 16;
    uint32_t blockSize = 4096;
    // False: STREAMINFO keeps 0 samples, "length unknown", as a piped encoder
    // that cannot go back leaves it.
    bool recordLength = true;
};

namespace detail {

struct MemoryStream {
    std::vector<uint8_t> bytes;
    std::size_t at = 0;
};

inline FLAC__StreamEncoderWriteStatus WriteTo(const FLAC__StreamEncoder*, const FLAC__byte data[],
                                              std::size_t count, uint32_t, uint32_t, void* client) {
    auto& stream = *static_cast<MemoryStream*>(client);
    if (stream.bytes.size() < stream.at + count) {
        stream.bytes.resize(stream.at + count);
    }
    std::memcpy(stream.bytes.data() + stream.at, data, count);
    stream.at += count;
    return FLAC__STREAM_ENCODER_WRITE_STATUS_OK;
}

inline FLAC__StreamEncoderSeekStatus SeekTo(const FLAC__StreamEncoder*, FLAC__uint64 offset,
                                            void* client) {
    static_cast<MemoryStream*>(client)->at = static_cast<std::size_t>(offset);
    return FLAC__STREAM_ENCODER_SEEK_STATUS_OK;
}

inline FLAC__StreamEncoderTellStatus TellOf(const FLAC__StreamEncoder*, FLAC__uint64* offset,
                                            void* client) {
    *offset = static_cast<MemoryStream*>(client)->at;
    return FLAC__STREAM_ENCODER_TELL_STATUS_OK;
}

} // namespace detail

// A FLAC file of `samples`, interleaved signed samples of `layout.channels`
// channels (each must fit `layout.bits`). Empty when libFLAC refuses.
inline std::vector<uint8_t> FlacBytes(const std::vector<int32_t>& samples,
                                      const FlacLayout& layout = {}) {
    FLAC__StreamEncoder* encoder = FLAC__stream_encoder_new();
    FLAC__stream_encoder_set_channels(encoder, layout.channels);
    FLAC__stream_encoder_set_bits_per_sample(encoder, layout.bits);
    FLAC__stream_encoder_set_sample_rate(encoder, layout.rate);
    FLAC__stream_encoder_set_compression_level(encoder, 5);
    FLAC__stream_encoder_set_blocksize(encoder, layout.blockSize);
    detail::MemoryStream stream;
    const bool ok =
        FLAC__stream_encoder_init_stream(encoder, detail::WriteTo,
                                         layout.recordLength ? detail::SeekTo : nullptr,
                                         layout.recordLength ? detail::TellOf : nullptr, nullptr,
                                         &stream) == FLAC__STREAM_ENCODER_INIT_STATUS_OK &&
        FLAC__stream_encoder_process_interleaved(
            encoder, samples.data(), static_cast<uint32_t>(samples.size() / layout.channels)) &&
        FLAC__stream_encoder_finish(encoder);
    FLAC__stream_encoder_delete(encoder);
    return ok ? stream.bytes : std::vector<uint8_t>();
}

// The FLAC file of 16-bit little-endian stereo bytes, as a WAV file's data
// chunk or a BINARY image holds them (a last partial frame is left out).
inline std::vector<uint8_t> FlacOfPcm(const std::vector<uint8_t>& pcm, const FlacLayout& layout = {}) {
    std::vector<int32_t> samples(pcm.size() / 4 * 2);
    for (std::size_t i = 0; i < samples.size(); ++i) {
        samples[i] = static_cast<int16_t>(pcm[2 * i] | (pcm[2 * i + 1] << 8));
    }
    return FlacBytes(samples, layout);
}

// 16-bit stereo bytes of `frames` frames in which frame i holds i (as
// WaveBytes writes them), so that every frame read is recognisable.
inline std::vector<uint8_t> RampPcm(uint32_t frames) {
    std::vector<uint8_t> pcm;
    for (uint32_t i = 0; i < frames; ++i) {
        AppendFrame(pcm, i);
    }
    return pcm;
}

// Samples that do not compress: every block of their FLAC file about as long,
// so that a byte at 5/8 of a file of four blocks lies in the third block.
inline std::vector<uint8_t> NoisePcm(uint32_t frames) {
    std::vector<uint8_t> pcm(std::size_t{frames} * 4);
    uint32_t state = 12345;
    for (uint8_t& byte : pcm) {
        state = state * 1103515245u + 12345u;
        byte = static_cast<uint8_t>(state >> 16);
    }
    return pcm;
}

// A file the player plays, of RampPcm(frames): a WAV file for "wav", a FLAC
// file for "flac".
inline std::vector<uint8_t> PlayableBytes(const std::string& format, uint32_t frames) {
    return format == "flac" ? FlacOfPcm(RampPcm(frames)) : WaveBytes(WaveLayout{.frames = frames});
}

} // namespace vindral::testing

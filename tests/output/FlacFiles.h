// A FLAC file as libFLAC's decoder reads it back: the samples as PCM bytes,
// the MD5 check, the tags, the seek table and the picture.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include <FLAC/stream_decoder.h>

namespace vindral::test {

struct DecodedFlac {
    bool decoded = false;    // every frame decoded, and the MD5 of the samples matched
    bool streamErrors = false;
    bool md5Set = false;     // STREAMINFO holds an MD5 (not all zero)
    uint64_t totalSamples = 0;
    std::vector<uint8_t> pcm; // 16-bit little-endian stereo
    std::vector<std::string> comments;
    unsigned seekPoints = 0; // not placeholders
    int pictureType = -1;
    std::string pictureMime;
    std::vector<uint8_t> picture;

    bool HasComment(const std::string& comment) const {
        for (const std::string& c : comments) {
            if (c == comment) {
                return true;
            }
        }
        return false;
    }
};

inline DecodedFlac DecodeFlac(const std::string& path) {
    DecodedFlac result;
    FLAC__StreamDecoder* decoder = FLAC__stream_decoder_new();
    FLAC__stream_decoder_set_md5_checking(decoder, true);
    FLAC__stream_decoder_set_metadata_respond_all(decoder);
    auto write = [](const FLAC__StreamDecoder*, const FLAC__Frame* frame,
                    const FLAC__int32* const buffer[], void* client) {
        auto* r = static_cast<DecodedFlac*>(client);
        if (frame->header.channels != 2 || frame->header.bits_per_sample != 16) {
            return FLAC__STREAM_DECODER_WRITE_STATUS_ABORT;
        }
        for (uint32_t i = 0; i < frame->header.blocksize; ++i) {
            for (int c = 0; c < 2; ++c) {
                const auto sample = static_cast<uint16_t>(buffer[c][i]);
                r->pcm.push_back(static_cast<uint8_t>(sample));
                r->pcm.push_back(static_cast<uint8_t>(sample >> 8));
            }
        }
        return FLAC__STREAM_DECODER_WRITE_STATUS_CONTINUE;
    };
    auto metadata = [](const FLAC__StreamDecoder*, const FLAC__StreamMetadata* block,
                       void* client) {
        auto* r = static_cast<DecodedFlac*>(client);
        switch (block->type) {
        case FLAC__METADATA_TYPE_STREAMINFO:
            r->totalSamples = block->data.stream_info.total_samples;
            for (FLAC__byte b : block->data.stream_info.md5sum) {
                r->md5Set = r->md5Set || b != 0;
            }
            break;
        case FLAC__METADATA_TYPE_VORBIS_COMMENT:
            for (uint32_t i = 0; i < block->data.vorbis_comment.num_comments; ++i) {
                const auto& entry = block->data.vorbis_comment.comments[i];
                r->comments.emplace_back(reinterpret_cast<const char*>(entry.entry),
                                         entry.length);
            }
            break;
        case FLAC__METADATA_TYPE_SEEKTABLE:
            for (uint32_t i = 0; i < block->data.seek_table.num_points; ++i) {
                r->seekPoints += block->data.seek_table.points[i].sample_number !=
                                         FLAC__STREAM_METADATA_SEEKPOINT_PLACEHOLDER
                                     ? 1
                                     : 0;
            }
            break;
        case FLAC__METADATA_TYPE_PICTURE:
            r->pictureType = static_cast<int>(block->data.picture.type);
            r->pictureMime = block->data.picture.mime_type;
            r->picture.assign(block->data.picture.data,
                              block->data.picture.data + block->data.picture.data_length);
            break;
        default:
            break;
        }
    };
    auto error = [](const FLAC__StreamDecoder*, FLAC__StreamDecoderErrorStatus, void* client) {
        static_cast<DecodedFlac*>(client)->streamErrors = true;
    };
    if (FLAC__stream_decoder_init_file(decoder, path.c_str(), write, metadata, error, &result) ==
        FLAC__STREAM_DECODER_INIT_STATUS_OK) {
        result.decoded = FLAC__stream_decoder_process_until_end_of_stream(decoder) != 0;
        // false when the MD5 of the decoded samples differs from STREAMINFO's
        result.decoded =
            FLAC__stream_decoder_finish(decoder) != 0 && result.decoded && !result.streamErrors;
    }
    FLAC__stream_decoder_delete(decoder);
    return result;
}

} // namespace vindral::test

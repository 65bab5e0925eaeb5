#include "output/CoverImage.h"

#include <cerrno>
#include <cstdio>
#include <cstring>

#include "platform/OutputFile.h"

namespace vindral::output {

namespace {

uint32_t Big16(const uint8_t* at) { return static_cast<uint32_t>(at[0] << 8 | at[1]); }

uint32_t Big32(const uint8_t* at) {
    return static_cast<uint32_t>(at[0]) << 24 | static_cast<uint32_t>(at[1]) << 16 |
           static_cast<uint32_t>(at[2]) << 8 | at[3];
}

// PNG: the signature, then IHDR (width, height, bit depth, colour type);
// an indexed image's palette (PLTE) tells its colours.
bool ReadPng(CoverImage& image) {
    static constexpr uint8_t kSignature[] = {0x89, 'P', 'N', 'G', 0x0D, 0x0A, 0x1A, 0x0A};
    const std::vector<uint8_t>& d = image.data;
    if (d.size() < 8 || std::memcmp(d.data(), kSignature, 8) != 0) {
        return false;
    }
    image.mimeType = "image/png";
    std::size_t at = 8;
    while (at + 8 <= d.size()) {
        const uint32_t length = Big32(&d[at]);
        const uint8_t* type = &d[at + 4];
        if (length > d.size() - at - 8) {
            break;
        }
        const uint8_t* body = &d[at + 8];
        if (std::memcmp(type, "IHDR", 4) == 0 && length >= 13) {
            image.width = Big32(body);
            image.height = Big32(body + 4);
            const uint32_t bits = body[8];
            const uint8_t colourType = body[9];
            const uint32_t channels = colourType == 2 ? 3 : colourType == 4 ? 2
                                                          : colourType == 6 ? 4 : 1;
            image.depth = bits * channels;
        } else if (std::memcmp(type, "PLTE", 4) == 0) {
            image.colors = length / 3;
        } else if (std::memcmp(type, "IDAT", 4) == 0) {
            break;
        }
        at += 12 + static_cast<std::size_t>(length);
    }
    return true;
}

// JPEG: SOI, then segments up to a start-of-frame marker, which gives the
// precision, height, width and components.
bool ReadJpeg(CoverImage& image) {
    const std::vector<uint8_t>& d = image.data;
    if (d.size() < 3 || d[0] != 0xFF || d[1] != 0xD8 || d[2] != 0xFF) {
        return false;
    }
    image.mimeType = "image/jpeg";
    std::size_t at = 2;
    while (at + 4 <= d.size() && d[at] == 0xFF) {
        const uint8_t marker = d[at + 1];
        if (marker == 0xFF) {
            ++at; // fill byte
            continue;
        }
        if (marker == 0xD8 || marker == 0x01 || (marker >= 0xD0 && marker <= 0xD7)) {
            at += 2; // no length
            continue;
        }
        if (marker == 0xD9 || marker == 0xDA) {
            break; // end, or the scan: no frame header before it
        }
        const uint32_t length = Big16(&d[at + 2]);
        const bool frame = marker >= 0xC0 && marker <= 0xCF && marker != 0xC4 && marker != 0xC8 &&
                           marker != 0xCC;
        if (frame && length >= 8 && at + 2 + length <= d.size()) {
            const uint8_t* body = &d[at + 4];
            image.height = Big16(body + 1);
            image.width = Big16(body + 3);
            image.depth = static_cast<uint32_t>(body[0]) * body[5];
            break;
        }
        at += 2 + length;
    }
    return true;
}

} // namespace

std::optional<CoverImage> CoverFromBytes(std::vector<uint8_t> data, std::string& error) {
    if (data.size() > kMaxCoverBytes) {
        error = "larger than 10 MB";
        return std::nullopt;
    }
    CoverImage image;
    image.data = std::move(data);
    if (!ReadPng(image) && !ReadJpeg(image)) {
        error = "not a JPEG or PNG image";
        return std::nullopt;
    }
    return image;
}

std::optional<CoverImage> LoadCoverImage(const std::string& path, std::string& error) {
    std::FILE* file = std::fopen(path.c_str(), "rb");
    if (file == nullptr) {
        error = path + ": " + std::strerror(errno);
        return std::nullopt;
    }
    std::vector<uint8_t> data;
    uint8_t chunk[65536];
    bool tooLarge = false;
    while (true) {
        const std::size_t got = std::fread(chunk, 1, sizeof chunk, file);
        if (got == 0) {
            break;
        }
        if (data.size() + got > kMaxCoverBytes) {
            tooLarge = true; // not read further
            break;
        }
        data.insert(data.end(), chunk, chunk + got);
    }
    const bool failed = std::ferror(file) != 0;
    std::fclose(file);
    if (failed) {
        error = path + ": cannot be read";
        return std::nullopt;
    }
    if (tooLarge) {
        error = path + ": larger than 10 MB";
        return std::nullopt;
    }
    auto image = CoverFromBytes(std::move(data), error);
    if (!image) {
        error = path + ": " + error;
    }
    return image;
}

bool SaveCoverBeside(const CoverImage& cover, const std::string& folder,
                     std::string& error) {
    std::string path = folder;
    if (!path.empty() && path.back() != '/') {
        path += '/';
    }
    path += "cover.jpg";
    if (std::FILE* existing = std::fopen(path.c_str(), "rb")) {
        std::fclose(existing);
        return true; // the user's own cover stays
    }
    platform::OutputFile file;
    if (!file.Create(path) || !file.Write(cover.data.data(), cover.data.size()) ||
        !file.Commit()) {
        error = file.Error();
        file.Discard();
        return false;
    }
    return true;
}

} // namespace vindral::output

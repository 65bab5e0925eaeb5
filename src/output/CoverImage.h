// A front cover for the files: a JPEG or PNG image, recognised by its own
// first bytes (never by the file's name), with the size and depth that its
// header gives.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace vindral::output {

constexpr std::size_t kMaxCoverBytes = 10 * 1024 * 1024;

struct CoverImage {
    std::string mimeType; // "image/jpeg" or "image/png"
    std::vector<uint8_t> data;
    uint32_t width = 0;  // pixels; 0 where the header does not tell
    uint32_t height = 0;
    uint32_t depth = 0;  // bits per pixel
    uint32_t colors = 0; // palette entries of an indexed PNG, else 0
};

// The image in `data`; nullopt with `error` set ("not a JPEG or PNG image",
// "larger than 10 MB") otherwise.
std::optional<CoverImage> CoverFromBytes(std::vector<uint8_t> data, std::string& error);

// Saves the cover as cover.jpg in `folder` (through a temporary file); a
// file already there is the user's own and is kept. False with `error` set
// when it cannot be written.
bool SaveCoverBeside(const CoverImage& cover, const std::string& folder, std::string& error);

// The same from a file; `error` then starts with the path.
std::optional<CoverImage> LoadCoverImage(const std::string& path, std::string& error);

} // namespace vindral::output

// The files a disc image is made of, read lazily: a 74-minute image is
// about 780 MB, so sectors are fetched from the file when a drive reads them.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

namespace vindral::emulated {

class ImageFile {
public:
    virtual ~ImageFile() = default;
    virtual uint64_t Size() const = 0;
    // Reads `length` bytes at `offset`. False when the file holds fewer bytes
    // there or the read fails. Safe to call from several threads at once.
    virtual bool ReadAt(uint64_t offset, void* out, std::size_t length) const = 0;
};

// Opens a file of the file system for reading. On failure returns nullptr and
// sets `reason` (for instance "No such file or directory").
std::shared_ptr<const ImageFile> OpenImageFile(const std::string& path, std::string& reason);

// The samples of the FLAC file whose bytes `flac` holds, as the bytes of
// 16-bit little-endian stereo (a WAV file's data chunk): four bytes a frame,
// decoded as they are read. nullptr and `reason` ("is not a FLAC file", "is
// not 44.1 kHz 16-bit stereo ...") when it is not a FLAC file of CD audio.
std::shared_ptr<const ImageFile> OpenFlacImageFile(std::shared_ptr<const ImageFile> flac,
                                                   std::string& reason);

// A file held in memory (tests and the fuzzer).
std::shared_ptr<const ImageFile> MakeMemoryImageFile(std::vector<uint8_t> bytes);

// Opens the file a CUE sheet names; `path` is already joined with the sheet's
// folder. nullptr and `reason` on failure.
using ImageFileOpener =
    std::function<std::shared_ptr<const ImageFile>(const std::string& path, std::string& reason)>;

} // namespace vindral::emulated

// A file that appears under its final name only when it is complete.
//
// The data go to a new, exclusively created file beside the final name
// (".Track01.wav.a1B2c3.part" for "Track01.wav"), which is flushed to the disk
// and renamed over the final name by Commit. Discard, or destruction without
// Commit, removes only that temporary file: whatever stood under the final
// name before stays untouched. A symbolic link at the final name is replaced
// by the file, never written through.
#pragma once

#include <cstdint>
#include <cstdio>
#include <memory>
#include <string>
#include <vector>

#include "platform/FileSysCalls.h"

namespace vindral::platform {

class OutputFile {
public:
    // The file's system calls: the machine's own unless a test gives others.
    explicit OutputFile(std::shared_ptr<FileSysCalls> calls = RealFileSysCalls());
    ~OutputFile();
    OutputFile(const OutputFile&) = delete;
    OutputFile& operator=(const OutputFile&) = delete;

    // Creates the temporary file for `finalPath`; false with Error() set when
    // it cannot be created.
    bool Create(const std::string& finalPath);

    // True between Create and Commit or Discard.
    bool IsOpen() const { return fd_ >= 0; }

    // Writes all bytes at the current place (nothing is buffered, so that a
    // full disk shows at the call); false with Error() set when the system
    // took fewer.
    bool Write(const void* data, std::size_t size);

    // Moves the place of the next write to `offset` bytes from the start.
    bool SeekTo(uint64_t offset);

    // Flushes to the disk, closes and renames over the final name. On failure
    // the temporary file is removed and Error() says why.
    bool Commit();

    // Closes and removes the temporary file.
    void Discard();

    const std::string& FinalPath() const { return finalPath_; }
    const std::string& TemporaryPath() const { return temporaryPath_; }

    // "<final path>: <the system's reason>" of the last failure, empty if none.
    const std::string& Error() const { return error_; }

private:
    void Fail(int code);
    void CloseDescriptor();

    std::shared_ptr<FileSysCalls> calls_;
    int fd_ = -1;
    std::string finalPath_;
    std::string temporaryPath_;
    std::string error_;
};

// The temporary name that OutputFile uses for `finalPath`, with `tag` in place
// of the random part.
std::string TemporaryNameFor(const std::string& finalPath, const std::string& tag);

// Whether a program is writing the temporary file at `path` right now: an
// OutputFile holds a lock on its temporary file for as long as it writes it,
// so that another rip into the same folder does not take it for a leftover.
bool TemporaryFileInUse(const std::string& path);

// The names in `folder` (with its trailing separator) that are temporary
// names OutputFile makes for `fileName` (a name without folder): left behind
// only when the program was killed while writing.
std::vector<std::string> LeftoverTemporaryNames(const std::string& folder,
                                                const std::string& fileName);

// Writes `text` to `path` through an OutputFile; false with `error` set
// ("<path>: <reason>") when the file could not be written completely.
bool WriteWholeFile(const std::string& path, const std::string& text, std::string& error);

} // namespace vindral::platform

// A compressed copy of a track's file, made while the track is read. The
// workers still write the track's PCM to a file (the verification compares
// with it and corrects it); an encoder beside it takes the same blocks on a
// thread of its own and gives the file that stays.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>

namespace vindral {

class TrackEncoder {
public:
    virtual ~TrackEncoder() = default;

    // Starts a new file for `finalPath` (its temporary file; one started
    // before is discarded) for a track of `sectors` sectors. False with
    // Error() set.
    virtual bool Start(const std::string& finalPath, int32_t sectors) = 0;

    // Hands over PCM (16-bit little-endian stereo) in the track's order; it
    // is copied, and the call waits only while the encoder is behind by more
    // than its queue holds. False once the encoder has failed.
    virtual bool Push(const uint8_t* pcm, std::size_t bytes) = 0;

    // Encodes what is queued and completes the file, still under its
    // temporary name. False with Error() set.
    virtual bool Finish() = 0;

    // After Finish: flushes the file to the disk and renames it over the
    // final name. False with Error() set and the temporary file removed.
    virtual bool Commit() = 0;

    // Stops and removes the temporary file; the final name is not touched.
    virtual void Discard() = 0;

    // "<final path>: <reason>" of the last failure.
    virtual std::string Error() const = 0;
};

// Makes the encoder of job entry `entry` (its tags differ per track).
using TrackEncoderFactory = std::function<std::unique_ptr<TrackEncoder>(int entry)>;

} // namespace vindral

// A compressed copy of a track's file, made while the track is read. The
// workers still write the track's PCM to a file (the verification compares
// with it and corrects it); an encoder beside it takes the same blocks on a
// thread of its own and gives the file that stays. A track's encoding may
// go on after its reading, while the next track is read.
#pragma once

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <thread>

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

    // After Start: lets the reading run ahead of the encoder. A block the
    // queue has no room for is not kept (Push does not wait) but read back
    // from `pcmPath`, the track's PCM file (the 44-byte WAV header, then
    // every block handed over), once the input has ended. That file must
    // hold every block when EndInput is called, and stay until Done.
    virtual void ReadBehind(const std::string& pcmPath) = 0;

    // Ends the input: the encoder completes the file on its own thread,
    // still under its temporary name. Returns at once; false with Error()
    // set when the encoder has failed already.
    virtual bool EndInput() = 0;

    // Whether the encoding has ended (the file is complete, or the encoder
    // failed): Finish and Commit then do not wait for it.
    virtual bool Done() const = 0;

    // Ends the input and waits until the file is complete, still under its
    // temporary name. False with Error() set.
    virtual bool Finish() = 0;

    // After Finish or EndInput: waits for the encoding, flushes the file to
    // the disk and renames it over the final name. False with Error() set
    // and the temporary file removed.
    virtual bool Commit() = 0;

    // Stops and removes the temporary file; the final name is not touched.
    virtual void Discard() = 0;

    // "<final path>: <reason>" of the last failure.
    virtual std::string Error() const = 0;
};

// Makes the encoder of job entry `entry` (its tags differ per track).
using TrackEncoderFactory = std::function<std::unique_ptr<TrackEncoder>(int entry)>;

// How many tracks are encoded at once at most: one per core.
inline int EncodingsAtOnce() {
    return static_cast<int>(std::max(1u, std::thread::hardware_concurrency()));
}

} // namespace vindral

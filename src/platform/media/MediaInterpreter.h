// A small interpreter of media command strings: one "waveaudio" device
// over a WAV file (or a FLAC file of the same audio), opened under the alias
// "vindralwave", streamed to an audio output, its position in milliseconds of
// what the output has consumed.
// Nothing here is ever shown to the user; failures are error codes.
//
// Commands (keywords and alias in any letter case):
//   open waveaudio!<path> alias vindralwave
//   close vindralwave
//   set vindralwave time format milliseconds
//   play vindralwave [from <ms>]
//   pause vindralwave
//   stop vindralwave
//   status vindralwave position
#pragma once

#include <memory>
#include <string>
#include <vector>

#include "platform/media/AudioOutput.h"
#include "platform/media/FlacFile.h"
#include "platform/media/WaveFile.h"
#include "platform/media/MediaCommands.h"

namespace vindral::platform {

// The interpreter's error codes; 0 is success.
enum MediaError : int {
    kMediaOk = 0,
    kMediaUnrecognizedCommand = 261, // an unknown verb, or nothing at all
    kMediaUnknownAlias = 263,        // not "vindralwave", or that alias is not open
    kMediaBadKeyword = 259,          // a known verb with words it does not take
    kMediaBadInteger = 270,          // "from" without a valid number
    kMediaFileNotFound = 275,
    kMediaUnknownDeviceType = 266,   // not "waveaudio"
    kMediaPositionOutOfRange = 282,  // "from" beyond the end of the file
    kMediaAliasInUse = 289,          // open while the alias is open
    kMediaInvalidFile = 296,         // neither a WAV nor a FLAC file, or a damaged one
    kMediaUnsupportedFormat = 322,   // WAV or FLAC, but not 44.1 kHz 16-bit stereo PCM
    kMediaNoOutput = 323,            // no audio output could be opened
};

class MediaInterpreter : public MediaCommands {
public:
    // `outputs` makes an opened output for each device that is opened,
    // typically FirstOpeningOutput({real, silent}).
    explicit MediaInterpreter(OutputFactory outputs);
    ~MediaInterpreter() override;

    int Send(const std::string& command, std::string& reply) override;

    bool IsOpen() const { return source_ != nullptr; }
    // The output of the open device, nullptr when closed.
    AudioOutput* Output() const { return output_.get(); }

private:
    enum class Mode { kStopped, kPlaying, kPaused };

    int Open(const std::string& arguments);
    int Close();
    int Play(uint64_t frame);
    int Pause();
    int Stop();
    uint64_t CurrentFrame();
    // Output::Stop may run commands of this interpreter before it returns;
    // an output closed meanwhile is kept in `retired_` until then.
    void StopOutput(AudioOutput& output);
    void ReleaseRetired();

    OutputFactory outputs_;
    std::shared_ptr<FileFrameSource> source_;
    std::unique_ptr<AudioOutput> output_;
    Mode mode_ = Mode::kStopped;
    uint64_t startFrame_ = 0;   // file frame at which the output was last started
    uint64_t stoppedFrame_ = 0; // file frame while stopped
    std::vector<std::unique_ptr<AudioOutput>> retired_;
    int outputCalls_ = 0;
};

// The output factory of a program without a sound device: the silent output
// on the system tick.
OutputFactory SilentOutputFactory(TickSource clock = TickCount);

} // namespace vindral::platform

#include "platform/media/MediaInterpreter.h"

#include <algorithm>
#include <cctype>
#include <sstream>
#include <vector>

namespace vindral::platform {

namespace {

std::string Lower(std::string text) {
    std::transform(text.begin(), text.end(), text.begin(),
                   [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
    return text;
}

std::string Trim(const std::string& text) {
    const auto isSpace = [](unsigned char c) { return std::isspace(c) != 0; };
    std::size_t from = 0;
    std::size_t to = text.size();
    while (from < to && isSpace(static_cast<unsigned char>(text[from]))) {
        ++from;
    }
    while (to > from && isSpace(static_cast<unsigned char>(text[to - 1]))) {
        --to;
    }
    return text.substr(from, to - from);
}

std::vector<std::string> Words(const std::string& text) {
    std::istringstream in(text);
    std::vector<std::string> words;
    std::string word;
    while (in >> word) {
        words.push_back(word);
    }
    return words;
}

// Digits only, at most what 32 bits of milliseconds hold.
bool ParseMilliseconds(const std::string& text, uint64_t& value) {
    if (text.empty() || text.size() > 10) {
        return false;
    }
    value = 0;
    for (const char c : text) {
        if (c < '0' || c > '9') {
            return false;
        }
        value = value * 10 + static_cast<uint64_t>(c - '0');
    }
    return value <= UINT32_MAX;
}

uint64_t FramesOf(uint64_t milliseconds) { return milliseconds * kOutputRate / 1000; }
uint64_t MillisecondsOf(uint64_t frames) { return frames * 1000 / kOutputRate; }

} // namespace

MediaInterpreter::MediaInterpreter(OutputFactory outputs) : outputs_(std::move(outputs)) {}

MediaInterpreter::~MediaInterpreter() { Close(); }

int MediaInterpreter::Send(const std::string& command, std::string& reply) {
    const std::string text = Trim(command);
    const std::size_t space = text.find_first_of(" \t");
    const std::string verb = Lower(text.substr(0, space));
    if (verb.empty()) {
        return kMediaUnrecognizedCommand;
    }
    if (verb == "open") {
        return Open(space == std::string::npos ? std::string() : text.substr(space + 1));
    }
    const std::vector<std::string> words = Words(text);
    static const char* const kVerbs[] = {"close", "set", "play", "pause", "stop", "status"};
    if (std::find(std::begin(kVerbs), std::end(kVerbs), verb) == std::end(kVerbs)) {
        return kMediaUnrecognizedCommand;
    }
    if (words.size() < 2 || Lower(words[1]) != media::kAlias || !IsOpen()) {
        return kMediaUnknownAlias;
    }
    std::vector<std::string> rest;
    for (std::size_t i = 2; i < words.size(); ++i) {
        rest.push_back(Lower(words[i]));
    }

    if (verb == "close") {
        return rest.empty() ? Close() : kMediaBadKeyword;
    }
    if (verb == "set") {
        if (rest.size() == 3 && rest[0] == "time" && rest[1] == "format" &&
            (rest[2] == "milliseconds" || rest[2] == "ms")) {
            return kMediaOk; // the only format this device keeps positions in
        }
        return kMediaBadKeyword;
    }
    if (verb == "play") {
        if (rest.empty()) {
            if (mode_ == Mode::kPaused) {
                output_->Resume();
                mode_ = Mode::kPlaying;
                return kMediaOk;
            }
            if (mode_ == Mode::kPlaying) {
                return kMediaOk;
            }
            return Play(stoppedFrame_);
        }
        if (rest.size() != 2 || rest[0] != "from") {
            return kMediaBadKeyword;
        }
        uint64_t milliseconds = 0;
        if (!ParseMilliseconds(rest[1], milliseconds)) {
            return kMediaBadInteger;
        }
        const uint64_t frame = FramesOf(milliseconds);
        if (frame > source_->TotalFrames()) {
            return kMediaPositionOutOfRange;
        }
        return Play(frame);
    }
    if (verb == "pause") {
        return rest.empty() ? Pause() : kMediaBadKeyword;
    }
    if (verb == "stop") {
        return rest.empty() ? Stop() : kMediaBadKeyword;
    }
    // status
    if (rest.size() == 1 && rest[0] == "position") {
        reply = std::to_string(MillisecondsOf(CurrentFrame()));
        return kMediaOk;
    }
    return kMediaBadKeyword;
}

int MediaInterpreter::Open(const std::string& arguments) {
    // The path may hold spaces: the alias is what follows the last " alias ".
    const std::string lowered = Lower(arguments);
    const std::size_t aliasAt = lowered.rfind(" alias ");
    if (aliasAt == std::string::npos) {
        return kMediaBadKeyword;
    }
    const std::vector<std::string> aliasWords = Words(arguments.substr(aliasAt + 7));
    if (aliasWords.size() != 1 || Lower(aliasWords[0]) != media::kAlias) {
        return kMediaUnknownAlias;
    }
    const std::string device = Trim(arguments.substr(0, aliasAt));
    const std::size_t bang = device.find('!');
    if (bang == std::string::npos || Lower(Trim(device.substr(0, bang))) != "waveaudio") {
        return kMediaUnknownDeviceType;
    }
    std::string path = Trim(device.substr(bang + 1));
    if (path.size() >= 2 && path.front() == '"' && path.back() == '"') {
        path = path.substr(1, path.size() - 2);
    }
    if (path.empty()) {
        return kMediaFileNotFound;
    }
    if (IsOpen()) {
        return kMediaAliasInUse;
    }

    WaveError error = WaveError::kNone;
    std::shared_ptr<FileFrameSource> source = OpenPlayableFile(path, error);
    switch (error) {
    case WaveError::kNone:
        break;
    case WaveError::kNotFound:
        return kMediaFileNotFound;
    case WaveError::kNotWave:
        return kMediaInvalidFile;
    case WaveError::kUnsupported:
        return kMediaUnsupportedFormat;
    }
    std::unique_ptr<AudioOutput> output = outputs_ ? outputs_() : nullptr;
    if (!output) {
        return kMediaNoOutput;
    }
    source_ = std::move(source);
    output_ = std::move(output);
    mode_ = Mode::kStopped;
    startFrame_ = 0;
    stoppedFrame_ = 0;
    return kMediaOk;
}

int MediaInterpreter::Close() {
    if (!IsOpen()) {
        return kMediaUnknownAlias;
    }
    // Stopping an output may run its system's event loop, and with it a
    // command of the player: the device is closed before that can happen,
    // and the output lives on until no call into it is under way.
    const bool streaming = mode_ != Mode::kStopped;
    mode_ = Mode::kStopped;
    AudioOutput* output = output_.get();
    retired_.push_back(std::move(output_));
    source_.reset();
    if (streaming) {
        StopOutput(*output);
    }
    ReleaseRetired();
    return kMediaOk;
}

void MediaInterpreter::StopOutput(AudioOutput& output) {
    ++outputCalls_;
    output.Stop();
    --outputCalls_;
    ReleaseRetired();
}

void MediaInterpreter::ReleaseRetired() {
    if (outputCalls_ == 0) {
        retired_.clear();
    }
}

uint64_t MediaInterpreter::CurrentFrame() {
    if (mode_ == Mode::kStopped) {
        return stoppedFrame_;
    }
    const uint64_t frame = startFrame_ + output_->FramesPlayed();
    return std::min(frame, source_->TotalFrames());
}

int MediaInterpreter::Play(uint64_t frame) {
    // A new position means a new stream: stop, move the source, start again.
    if (mode_ != Mode::kStopped) {
        mode_ = Mode::kStopped;
        StopOutput(*output_);
        if (!IsOpen()) {
            return kMediaUnknownAlias; // closed meanwhile
        }
    }
    source_->Seek(frame);
    startFrame_ = source_->NextFrame();
    stoppedFrame_ = startFrame_;
    if (!output_->Start(source_)) {
        mode_ = Mode::kStopped;
        return kMediaNoOutput;
    }
    mode_ = Mode::kPlaying;
    return kMediaOk;
}

int MediaInterpreter::Pause() {
    if (mode_ == Mode::kPlaying) {
        output_->Pause();
        mode_ = Mode::kPaused;
    }
    return kMediaOk;
}

int MediaInterpreter::Stop() {
    if (mode_ != Mode::kStopped) {
        stoppedFrame_ = CurrentFrame();
        mode_ = Mode::kStopped;
        StopOutput(*output_);
    }
    return kMediaOk;
}

OutputFactory SilentOutputFactory(TickSource clock) {
    return FirstOpeningOutput(
        {[clock]() -> std::unique_ptr<AudioOutput> { return std::make_unique<SilentAudioOutput>(clock); }});
}

} // namespace vindral::platform

#include "accuracy/RipLog.h"

#include <cstdio>
#include <ctime>

#include <nettle/sha2.h>

#include "accuracy/DiscIds.h"

namespace vindral::accuracy {

namespace {

// The last line: a SHA-256 of the text above it. It shows accidental change
// (a damaged copy, a cut transfer); anyone who edits the log can compute a
// new one, so it proves nothing about who wrote the text.
constexpr std::string_view kChecksumPrefix = "Checksum SHA-256 (shows accidental change): ";
// What logs of earlier versions called the same line.
constexpr std::string_view kOldChecksumPrefix = "Seal SHA-256: ";

std::string Sha256Hex(std::string_view text) {
    uint8_t digest[SHA256_DIGEST_SIZE];
    sha256_ctx context;
    sha256_init(&context);
    sha256_update(&context, text.size(), reinterpret_cast<const uint8_t*>(text.data()));
    sha256_digest(&context, sizeof digest, digest);
    std::string hex;
    char buffer[4];
    for (unsigned char byte : digest) {
        std::snprintf(buffer, sizeof buffer, "%02x", byte);
        hex += buffer;
    }
    return hex;
}

std::string Signed(int value) {
    return value > 0 ? "+" + std::to_string(value) : std::to_string(value);
}

} // namespace

std::string UtcDateText() {
    const std::time_t now = std::time(nullptr);
    std::tm utc{};
    gmtime_r(&now, &utc);
    char date[64] = {};
    std::strftime(date, sizeof date, "%Y-%m-%d %H:%M:%S UTC", &utc);
    return date;
}

std::string ChecksumLine(std::string_view text) {
    return std::string(kChecksumPrefix) + Sha256Hex(text) + "\n";
}

std::string RenderRipLog(const RipLogData& data) {
    std::string text;
    auto line = [&text](std::string_view name, std::string_view value) {
        text += name;
        text += value;
        text += '\n';
    };
    line("Vindral rip log, version ", data.version);
    line("Date: ", data.date);
    line("Drive: ", data.drive);
    line("Read offset: ", Signed(data.readOffset) + " samples");
    line("Read method: ", data.readMethod);
    line("Speed: ", data.speed);
    line("AccurateRip ID: ", data.accurateRipId);
    line("CDDB ID: ", data.cddbId);
    line("MusicBrainz disc ID: ", data.musicBrainzId);
    line("CTDB TOC ID: ", data.ctdbTocId);
    if (!data.toc.empty()) {
        line("TOC: ", data.toc);
    }
    if (!data.names.empty()) {
        line("Names: ", data.names);
    }
    for (const RipLogTrack& track : data.tracks) {
        char number[16];
        std::snprintf(number, sizeof number, "%02d", track.number);
        text += '\n';
        line("Track ", number);
        line("  File: ", track.file);
        line("  Copy CRC: ", Upper8(track.copyCrc));
        line("  Test CRC: ", track.testCrc ? Upper8(*track.testCrc) : "not read");
        line("  AccurateRip v1: ", Upper8(track.arV1));
        line("  AccurateRip v2: ", Upper8(track.arV2));
        line("  CTDB CRC: ", Upper8(track.ctdbCrc));
        for (const std::string& result : track.results) {
            line("  Result: ", result);
        }
        if (track.errors.empty()) {
            line("  Errors: ", "none");
        }
        for (const std::string& error : track.errors) {
            line("  Error: ", error);
        }
    }
    text += '\n';
    text += ChecksumLine(text);
    return text;
}

RipLogState VerifyRipLog(std::string_view text) {
    // The checksum is the last line; a missing final newline is tolerated.
    std::string_view body = text;
    if (!body.empty() && body.back() == '\n') {
        body.remove_suffix(1);
    }
    const std::size_t start = body.rfind('\n');
    const std::string_view last = start == std::string_view::npos ? body : body.substr(start + 1);
    std::string_view given;
    for (const std::string_view prefix : {kChecksumPrefix, kOldChecksumPrefix}) {
        if (last.substr(0, prefix.size()) == prefix) {
            given = last.substr(prefix.size());
        }
    }
    if (given.empty()) {
        return RipLogState::NoChecksum;
    }
    const std::string_view above =
        start == std::string_view::npos ? std::string_view() : text.substr(0, start + 1);
    return given == Sha256Hex(above) ? RipLogState::Matches : RipLogState::Differs;
}

} // namespace vindral::accuracy

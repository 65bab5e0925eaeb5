// Reading the published test files under tests/data/accuracy/ and running
// small independent Python checks.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace vindral::accuracy::testing {

std::string DataPath(const std::string& name);
std::vector<uint8_t> ReadBytes(const std::string& path);
// The PCM bytes of a WAV file's data chunk.
std::vector<uint8_t> WavPcm(const std::string& path);

// Runs `python3 -c script` with `input` on standard input; returns its
// standard output, or nothing when python3 is missing (the caller skips).
bool HavePython();

// Base64 of 16-bit words, little-endian (a CTDB entry's `syndrome`).
std::string Base64Of(const std::vector<uint16_t>& words);
std::string RunPython(const std::string& script, const std::vector<uint8_t>& input);

} // namespace vindral::accuracy::testing

#include "accuracy/AccuracyTestData.h"

#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <iterator>
#include <stdexcept>

#include <unistd.h>

namespace vindral::accuracy::testing {

std::string DataPath(const std::string& name) {
    return std::string(VINDRAL_ACCURACY_DATA) + "/" + name;
}

std::vector<uint8_t> ReadBytes(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    if (!in) {
        throw std::runtime_error("cannot read " + path);
    }
    return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

std::vector<uint8_t> WavPcm(const std::string& path) {
    const std::vector<uint8_t> file = ReadBytes(path);
    auto le32 = [&file](std::size_t at) {
        return static_cast<uint32_t>(file[at]) | static_cast<uint32_t>(file[at + 1]) << 8 |
               static_cast<uint32_t>(file[at + 2]) << 16 |
               static_cast<uint32_t>(file[at + 3]) << 24;
    };
    for (std::size_t at = 12; at + 8 <= file.size();) {
        const uint32_t size = le32(at + 4);
        if (std::equal(file.begin() + static_cast<long>(at),
                       file.begin() + static_cast<long>(at) + 4, "data")) {
            const auto begin = file.begin() + static_cast<long>(at + 8);
            return {begin, begin + static_cast<long>(size)};
        }
        at += 8 + size + (size & 1);
    }
    throw std::runtime_error("no data chunk in " + path);
}

bool HavePython() {
    return std::system("python3 -c 'import zlib, hashlib' >/dev/null 2>&1") == 0;
}

std::string RunPython(const std::string& script, const std::vector<uint8_t>& input) {
    char inputPath[] = "/tmp/vindral-acc-inXXXXXX";
    const int fd = mkstemp(inputPath);
    if (fd < 0) {
        throw std::runtime_error("mkstemp failed");
    }
    if (!input.empty() &&
        write(fd, input.data(), input.size()) != static_cast<ssize_t>(input.size())) {
        close(fd);
        throw std::runtime_error("short write");
    }
    close(fd);
    char scriptPath[] = "/tmp/vindral-acc-pyXXXXXX";
    const int sfd = mkstemp(scriptPath);
    if (sfd < 0 ||
        write(sfd, script.data(), script.size()) != static_cast<ssize_t>(script.size())) {
        throw std::runtime_error("cannot write the script");
    }
    close(sfd);
    const std::string command = std::string("python3 ") + scriptPath + " < " + inputPath;
    std::string output;
    if (FILE* pipe = popen(command.c_str(), "r")) {
        char buffer[4096];
        std::size_t n;
        while ((n = fread(buffer, 1, sizeof buffer, pipe)) > 0) {
            output.append(buffer, n);
        }
        pclose(pipe);
    }
    std::remove(inputPath);
    std::remove(scriptPath);
    return output;
}

std::string Base64Of(const std::vector<uint16_t>& words) {
    static const char* digits = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
    std::vector<uint8_t> bytes;
    for (uint16_t w : words) {
        bytes.push_back(static_cast<uint8_t>(w));
        bytes.push_back(static_cast<uint8_t>(w >> 8));
    }
    std::string text;
    for (std::size_t i = 0; i < bytes.size(); i += 3) {
        const uint32_t n = static_cast<uint32_t>(bytes[i]) << 16 |
                           (i + 1 < bytes.size() ? static_cast<uint32_t>(bytes[i + 1]) << 8 : 0) |
                           (i + 2 < bytes.size() ? bytes[i + 2] : 0);
        for (std::size_t k = 0; k < 4; ++k) {
            text += i + k <= bytes.size() ? digits[(n >> (18 - 6 * k)) & 63] : '=';
        }
    }
    return text;
}

} // namespace vindral::accuracy::testing

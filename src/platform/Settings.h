// The settings store: what the program keeps between runs (verify, the
// verification method and the output folder) under the key
// HKEY_LOCAL_MACHINE\Software\Vindral. On Linux the key is a text file in the
// registry-export format under $XDG_CONFIG_HOME/vindral/ (default
// ~/.config/vindral/), rewritten as a whole through a temporary file and a
// rename, so that a crash never leaves half a file behind.
//
//   [HKEY_LOCAL_MACHINE\Software\Vindral]
//   "value0"=hex:03,00,00,00
//   "value1"="/home/user/"
//
// value0 is a 4-byte little-endian word (bit 0 verify, bit 1 the
// verification method, bit 2 skip the verification of tracks the databases
// confirm), value1 the output folder. "accurateRipUrl" and "ctdbUrl", when
// present, are the databases' base URLs.
#pragma once

#include <cstdint>
#include <map>
#include <optional>
#include <string>
#include <vector>

namespace vindral::platform {

// The longest output folder the program keeps (the platform's path limit of
// 260 bytes with its terminator).
constexpr std::size_t kMaxFolderLength = 259;

// The key's section line in the file.
inline constexpr const char* kSettingsKey = "HKEY_LOCAL_MACHINE\\Software\\Vindral";

// One value of the key, as the registry keeps it.
struct RegistryValue {
    enum class Type { Binary, String, Other };
    Type type = Type::Binary;
    // Binary: the bytes. String: the characters followed by the zero byte.
    std::vector<uint8_t> bytes;
};

// The values of the key. An empty set stands for a missing key.
class RegistryFile {
public:
    // Reads the file. A missing, unreadable or corrupt file (a line that is
    // not a section, a value or a blank line; no section of the key) gives an
    // empty set, which counts as a missing key.
    static RegistryFile Load(const std::string& path);
    // Parses the text of a file, as Load does.
    static RegistryFile Parse(const std::string& text);

    // The file's text.
    std::string Format() const;
    // Writes the file through a temporary file in the same folder and a
    // rename; creates the folder. False when anything fails.
    bool Save(const std::string& path) const;

    const RegistryValue* Find(const std::string& name) const;
    void SetBinary(const std::string& name, std::vector<uint8_t> bytes);
    // Stores the text with its terminating zero.
    void SetString(const std::string& name, const std::string& text);
    bool Empty() const { return values_.empty(); }

private:
    std::map<std::string, RegistryValue> values_;
};

struct Settings {
    bool verify = true;
    uint8_t verifyMethod = 1; // 1 read twice, 0 C2 pointers
    bool skipConfirmed = false; // leave out verifying tracks the databases confirm
    std::string accurateRipUrl; // empty: the public database
    std::string ctdbUrl;        // empty: the public database
    std::string outputFolder;
};

// The word of value0 when none is stored: verify on, read twice.
constexpr uint32_t kDefaultSettingsWord = 3;

// $XDG_CONFIG_HOME/vindral/settings.reg, or ~/.config/vindral/settings.reg.
std::string DefaultSettingsPath();

// Reads the settings. Missing values keep the defaults: verify on, read
// twice, the home folder. value0 counts only as a binary value of exactly 4
// bytes; value1 only as a string of at most 259 characters.
Settings LoadSettings(const std::string& path);

// Writes the settings; false when the file cannot be written (callers do not
// report it).
bool SaveSettings(const std::string& path, const Settings& settings);

// The word of value0 for the settings, and back.
uint32_t SettingsWord(const Settings& settings);
void ApplySettingsWord(uint32_t word, Settings& settings);

} // namespace vindral::platform

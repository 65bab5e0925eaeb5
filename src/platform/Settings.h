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
// verification method, the other bits 0), value1 the output folder.
// "checkAccuracy", present only when chosen, is the word 1: check the rip
// against AccurateRip and CTDB and write the rip log. "skipConfirmed", present
// only when chosen with it, is the word 1: leave out the verification of
// tracks the databases confirm (files written before "checkAccuracy" existed
// hold "skipConfirmed" alone, which asked for the check as well). "secureReading", present only
// when chosen, is the word 1: re-read what fails or disagrees until readings
// agree, and go on past a bad track. "repairFromCtdb", present only when
// chosen with the check, is the word 1: after the run, mend tracks that are
// not accurate from the parity of a CTDB entry. "flacFiles", present only when chosen,
// is the word 1: the track files are FLAC files. "cueSheet", present only
// when chosen, is the word 1: a rip of every audio track writes a cue sheet
// and a playlist beside the files. "secureAgreeing" (2 to 8),
// "secureMaxReadings" (2 to 1000) and "driveCacheSectors" (0 to 100000), each
// present only when it differs from the default, tune that re-reading: the
// readings that must agree, the readings of a sector at most, and the drive
// cache to read past before a re-read. "accurateRipUrl" and
// "ctdbUrl", when present, are the databases' base URLs, and "musicBrainzUrl",
// "gnudbUrl" and "coverArtUrl" those of the name look-ups; "noMetadata",
// present only when chosen, is the word 1: no disc is looked up for names.
// "naming", present only when
// chosen, is the window's file-name template (the fields of vindral-cli rip
// --naming); without it the files are the prefix and the track number.
// Each drive model with a
// read offset has a value "offset:<vendor> <product>" of 4 bytes, a
// little-endian signed count of samples:
//
//   "offset:PLEXTOR DVDR   PX-716A"=hex:1e,00,00,00
#pragma once

#include <cstdint>
#include <map>
#include <optional>
#include <string>
#include <vector>

namespace vindral::platform {

// A settings file larger than this is refused unread: the program's own file
// of many drive models stays far below it.
constexpr std::size_t kMaxSettingsBytes = 1u << 20;

// The longest output folder the program keeps (the platform's path limit of
// 260 bytes with its terminator).
constexpr std::size_t kMaxFolderLength = 259;

// The longest file-name template the store keeps.
constexpr std::size_t kMaxNamingLength = 1024;

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
    // empty set, which counts as a missing key. What is not a regular file
    // (a FIFO, a device) or is larger than kMaxSettingsBytes is not read; then
    // `problem`, when given, says so ("<path>: <reason>"), as it does for a
    // file that exists but cannot be read.
    static RegistryFile Load(const std::string& path, std::string* problem = nullptr);
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
    void Remove(const std::string& name) { values_.erase(name); }
    bool Empty() const { return values_.empty(); }
    // The names of the values, in order.
    std::vector<std::string> Names() const;

private:
    std::map<std::string, RegistryValue> values_;
};

// A read offset a drive model may be given, in samples, either way.
constexpr int32_t kMaxStoredReadOffset = 3000;
constexpr int32_t kDefaultSecureAgreeing = 2;
constexpr int32_t kDefaultSecureMaxReadings = 20;
constexpr int32_t kDefaultDriveCacheSectors = 2048;

struct Settings {
    bool verify = true;
    uint8_t verifyMethod = 1; // 1 read twice, 0 C2 pointers
    bool checkAccuracy = false; // check the rip against AccurateRip and CTDB
    bool skipConfirmed = false; // with it, leave out verifying tracks the databases confirm
    bool secureReading = false; // re-read until readings agree
    bool repairFromCtdb = false; // with the check, mend the rip from the CTDB's parity
    bool flacFiles = false;     // write FLAC files instead of WAV files
    bool cueSheet = false;      // write a cue sheet and playlist after a rip of every track
    int32_t secureAgreeing = kDefaultSecureAgreeing;
    int32_t secureMaxReadings = kDefaultSecureMaxReadings;
    int32_t driveCacheSectors = kDefaultDriveCacheSectors;
    std::string accurateRipUrl; // empty: the public database
    std::string ctdbUrl;        // empty: the public database
    bool noMetadata = false;    // look nothing up for the discs' names
    std::string musicBrainzUrl; // empty: the public services
    std::string gnudbUrl;
    std::string coverArtUrl;
    std::string naming; // the window's file-name template; empty: prefix + number
    std::string outputFolder;
    // The read offset of each drive model ("<vendor> <product>"), in samples.
    std::map<std::string, int32_t> readOffsets;

    // The offset of a model; 0 when none is kept.
    int32_t ReadOffsetOf(const std::string& model) const {
        const auto it = readOffsets.find(model);
        return it == readOffsets.end() ? 0 : it->second;
    }
};

// Whether discs are looked up for names: not when the settings say so, nor
// while the environment variable VINDRAL_NO_METADATA is set (not empty), which
// keeps a run on the machine (the test suites set it) and is never saved.
bool NoMetadataLookups(const Settings& settings);

// The name of the value that holds a drive model's read offset.
std::string ReadOffsetValueName(const std::string& model);

// The word of value0 when none is stored: verify on, read twice.
constexpr uint32_t kDefaultSettingsWord = 3;

// $XDG_CONFIG_HOME/vindral/settings.reg, or ~/.config/vindral/settings.reg.
std::string DefaultSettingsPath();

// Reads the settings. Missing values keep the defaults: verify on, read
// twice, the home folder, no read offsets. value0 counts only as a binary
// value of exactly 4 bytes; value1 only as a string of at most 259
// characters; a read offset only as a binary value of exactly 4 bytes
// within -3000 to 3000. A file that cannot be used at all gives the defaults,
// and `problem` (when given) says why, as RegistryFile::Load does.
Settings LoadSettings(const std::string& path, std::string* problem = nullptr);

// Writes the settings; false when the file cannot be written (callers do not
// report it).
bool SaveSettings(const std::string& path, const Settings& settings);

// The word of value0 for the settings, and back.
uint32_t SettingsWord(const Settings& settings);
void ApplySettingsWord(uint32_t word, Settings& settings);

} // namespace vindral::platform

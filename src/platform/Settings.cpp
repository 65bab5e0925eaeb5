#include "platform/Settings.h"

#include <array>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <sstream>

#include "platform/FileSysCalls.h"
#include "platform/OutputFile.h"
#include "platform/Platform.h"

namespace vindral::platform {

namespace {

std::string TrimLine(std::string line) {
    while (!line.empty() && (line.back() == '\r' || line.back() == ' ' || line.back() == '\t')) {
        line.pop_back();
    }
    std::size_t first = 0;
    while (first < line.size() && (line[first] == ' ' || line[first] == '\t')) {
        ++first;
    }
    return line.substr(first);
}

// A quoted text starting at text[at] == '"'; on success `at` is just past
// the closing quote.
bool ParseQuoted(const std::string& text, std::size_t& at, std::string& out) {
    if (at >= text.size() || text[at] != '"') {
        return false;
    }
    out.clear();
    for (++at; at < text.size(); ++at) {
        const char c = text[at];
        if (c == '"') {
            ++at;
            return true;
        }
        if (c == '\\') {
            if (++at >= text.size()) {
                return false;
            }
            const char escaped = text[at];
            if (escaped != '\\' && escaped != '"') {
                return false;
            }
            out += escaped;
        } else {
            out += c;
        }
    }
    return false; // no closing quote
}

int HexDigit(char c) {
    if (c >= '0' && c <= '9') {
        return c - '0';
    }
    if (c >= 'a' && c <= 'f') {
        return c - 'a' + 10;
    }
    if (c >= 'A' && c <= 'F') {
        return c - 'A' + 10;
    }
    return -1;
}

// "aa,bb,cc" (blanks allowed around the commas); empty text is no bytes.
bool ParseHexBytes(const std::string& text, std::vector<uint8_t>& out) {
    out.clear();
    std::size_t at = 0;
    auto skipBlanks = [&] {
        while (at < text.size() && (text[at] == ' ' || text[at] == '\t')) {
            ++at;
        }
    };
    skipBlanks();
    if (at == text.size()) {
        return true;
    }
    for (;;) {
        skipBlanks();
        if (at + 2 > text.size()) {
            return false;
        }
        const int high = HexDigit(text[at]);
        const int low = HexDigit(text[at + 1]);
        if (high < 0 || low < 0) {
            return false;
        }
        out.push_back(static_cast<uint8_t>(high * 16 + low));
        at += 2;
        skipBlanks();
        if (at == text.size()) {
            return true;
        }
        if (text[at] != ',') {
            return false;
        }
        ++at;
    }
}

std::string Quote(const std::string& text) {
    std::string out = "\"";
    for (const char c : text) {
        if (c == '\\' || c == '"') {
            out += '\\';
        }
        out += c;
    }
    out += '"';
    return out;
}

} // namespace

RegistryFile RegistryFile::Load(const std::string& path, std::string* problem) {
    const WholeFile file = ReadWholeFile(path, kMaxSettingsBytes);
    if (!file.ok) {
        if (problem != nullptr && !file.missing) {
            *problem = file.error;
        }
        return {};
    }
    return Parse(file.text);
}

RegistryFile RegistryFile::Parse(const std::string& text) {
    // Physical lines, with continuations ("...,\" at the end) joined.
    std::vector<std::string> lines;
    {
        std::istringstream in(text);
        std::string line;
        std::string pending;
        while (std::getline(in, line)) {
            line = TrimLine(line);
            if (!line.empty() && line.back() == '\\' && line.find("=hex") != std::string::npos) {
                pending += line.substr(0, line.size() - 1);
                continue;
            }
            if (!pending.empty()) {
                line = pending + line;
                pending.clear();
            }
            lines.push_back(line);
        }
        if (!pending.empty()) {
            return {}; // a continuation that never ends
        }
    }

    RegistryFile file;
    bool inKey = false;
    bool sawKey = false;
    for (std::size_t n = 0; n < lines.size(); ++n) {
        const std::string& line = lines[n];
        if (line.empty() || line[0] == ';') {
            continue;
        }
        if (n == 0 && (line == "Windows Registry Editor Version 5.00" || line == "REGEDIT4")) {
            continue;
        }
        if (line.front() == '[') {
            if (line.back() != ']') {
                return {};
            }
            inKey = line.substr(1, line.size() - 2) == kSettingsKey;
            sawKey = sawKey || inKey;
            continue;
        }
        std::size_t at = 0;
        std::string name;
        if (!ParseQuoted(line, at, name) || at >= line.size() || line[at] != '=') {
            return {};
        }
        ++at;
        const std::string data = line.substr(at);
        RegistryValue value;
        if (!data.empty() && data[0] == '"') {
            std::size_t end = 0;
            std::string textValue;
            if (!ParseQuoted(data, end, textValue) || end != data.size()) {
                return {};
            }
            value.type = RegistryValue::Type::String;
            value.bytes.assign(textValue.begin(), textValue.end());
            value.bytes.push_back(0);
        } else if (data.rfind("hex:", 0) == 0) {
            value.type = RegistryValue::Type::Binary;
            if (!ParseHexBytes(data.substr(4), value.bytes)) {
                return {};
            }
        } else if (data.rfind("hex(", 0) == 0 || data.rfind("dword:", 0) == 0) {
            // Another type of value: the program reads none of them.
            value.type = RegistryValue::Type::Other;
        } else {
            return {};
        }
        if (inKey) {
            file.values_[name] = std::move(value);
        }
    }
    if (!sawKey) {
        return {};
    }
    return file;
}

std::string RegistryFile::Format() const {
    std::string out = "Windows Registry Editor Version 5.00\n\n[";
    out += kSettingsKey;
    out += "]\n";
    for (const auto& [name, value] : values_) {
        if (value.type == RegistryValue::Type::Other) {
            continue;
        }
        out += Quote(name) + "=";
        if (value.type == RegistryValue::Type::String) {
            std::string text(value.bytes.begin(), value.bytes.end());
            const auto zero = text.find('\0');
            if (zero != std::string::npos) {
                text.resize(zero);
            }
            out += Quote(text);
        } else {
            out += "hex:";
            char byte[4];
            for (std::size_t i = 0; i < value.bytes.size(); ++i) {
                std::snprintf(byte, sizeof byte, i == 0 ? "%02x" : ",%02x", value.bytes[i]);
                out += byte;
            }
        }
        out += "\n";
    }
    return out;
}

bool RegistryFile::Save(const std::string& path) const {
    namespace fs = std::filesystem;
    std::error_code error;
    const fs::path target(path);
    if (target.has_parent_path()) {
        fs::create_directories(target.parent_path(), error);
        if (error) {
            return false;
        }
    }
    std::string reason;
    return WriteWholeFile(path, Format(), reason);
}

const RegistryValue* RegistryFile::Find(const std::string& name) const {
    const auto it = values_.find(name);
    return it == values_.end() ? nullptr : &it->second;
}

std::vector<std::string> RegistryFile::Names() const {
    std::vector<std::string> names;
    for (const auto& [name, value] : values_) {
        names.push_back(name);
    }
    return names;
}

void RegistryFile::SetBinary(const std::string& name, std::vector<uint8_t> bytes) {
    values_[name] = RegistryValue{RegistryValue::Type::Binary, std::move(bytes)};
}

void RegistryFile::SetString(const std::string& name, const std::string& text) {
    RegistryValue value{RegistryValue::Type::String, {text.begin(), text.end()}};
    value.bytes.push_back(0);
    values_[name] = std::move(value);
}

std::string DefaultSettingsPath() {
    const char* config = std::getenv("XDG_CONFIG_HOME");
    std::string folder;
    if (config != nullptr && *config == '/') {
        folder = config;
        if (folder.back() != '/') {
            folder += '/';
        }
    } else {
        folder = HomeFolder() + ".config/";
    }
    return folder + "vindral/settings.reg";
}

namespace {

constexpr const char* kReadOffsetPrefix = "offset:";
constexpr const char* kCheckAccuracyName = "checkAccuracy";
constexpr const char* kSkipConfirmedName = "skipConfirmed";
constexpr const char* kSecureReadingName = "secureReading";
constexpr const char* kRepairFromCtdbName = "repairFromCtdb";
constexpr const char* kFlacFilesName = "flacFiles";
constexpr const char* kCueSheetName = "cueSheet";
constexpr const char* kNoMetadataName = "noMetadata";
constexpr const char* kNamingName = "naming";

// One of the numbers that tune secure reading: its value's name, range and
// default, and its field.
struct SecureNumber {
    const char* name;
    int32_t lowest;
    int32_t highest;
    int32_t standard;
    int32_t* field;
};

std::array<SecureNumber, 3> SecureNumbers(Settings& settings) {
    return {{{"secureAgreeing", 2, 8, kDefaultSecureAgreeing, &settings.secureAgreeing},
             {"secureMaxReadings", 2, 1000, kDefaultSecureMaxReadings,
              &settings.secureMaxReadings},
             {"driveCacheSectors", 0, 100000, kDefaultDriveCacheSectors,
              &settings.driveCacheSectors}}};
}

uint32_t LittleEndianWord(const std::vector<uint8_t>& bytes) {
    return static_cast<uint32_t>(bytes[0]) | (static_cast<uint32_t>(bytes[1]) << 8) |
           (static_cast<uint32_t>(bytes[2]) << 16) | (static_cast<uint32_t>(bytes[3]) << 24);
}

std::vector<uint8_t> WordBytes(uint32_t word) {
    return {static_cast<uint8_t>(word & 0xFF), static_cast<uint8_t>(word >> 8),
            static_cast<uint8_t>(word >> 16), static_cast<uint8_t>(word >> 24)};
}

} // namespace

std::string ReadOffsetValueName(const std::string& model) { return kReadOffsetPrefix + model; }

uint32_t SettingsWord(const Settings& settings) {
    return (settings.verify ? 1u : 0u) + (settings.verifyMethod != 0 ? 2u : 0u);
}

void ApplySettingsWord(uint32_t word, Settings& settings) {
    settings.verify = (word & 1u) != 0;
    settings.verifyMethod = (word & 2u) != 0 ? 1 : 0;
}

Settings LoadSettings(const std::string& path, std::string* problem) {
    const RegistryFile file = RegistryFile::Load(path, problem);
    Settings settings;

    uint32_t word = kDefaultSettingsWord;
    const RegistryValue* value0 = file.Find("value0");
    if (value0 != nullptr && value0->type == RegistryValue::Type::Binary &&
        value0->bytes.size() == 4) {
        word = LittleEndianWord(value0->bytes);
    }
    ApplySettingsWord(word, settings);
    // A choice is the word 1; anything else there is no choice.
    auto chosen = [&file](const char* name) {
        const RegistryValue* value = file.Find(name);
        return value != nullptr && value->type == RegistryValue::Type::Binary &&
               value->bytes.size() == 4 && LittleEndianWord(value->bytes) == 1;
    };
    settings.skipConfirmed = chosen(kSkipConfirmedName);
    // Skipping is written only with the check; alone it comes from a file
    // written when it was the way to ask for the check.
    settings.checkAccuracy = chosen(kCheckAccuracyName) || settings.skipConfirmed;
    settings.secureReading = chosen(kSecureReadingName);
    settings.repairFromCtdb = settings.checkAccuracy && chosen(kRepairFromCtdbName);
    settings.flacFiles = chosen(kFlacFilesName);
    settings.cueSheet = chosen(kCueSheetName);
    settings.noMetadata = chosen(kNoMetadataName);
    // The re-reading numbers: a value of the wrong kind or out of range is missing.
    for (const SecureNumber& number : SecureNumbers(settings)) {
        const RegistryValue* value = file.Find(number.name);
        if (value != nullptr && value->type == RegistryValue::Type::Binary &&
            value->bytes.size() == 4) {
            const auto stored = static_cast<int32_t>(LittleEndianWord(value->bytes));
            if (stored >= number.lowest && stored <= number.highest) {
                *number.field = stored;
            }
        }
    }

    settings.outputFolder = HomeFolder();
    const RegistryValue* value1 = file.Find("value1");
    if (value1 != nullptr && value1->type == RegistryValue::Type::String &&
        !value1->bytes.empty() && value1->bytes.back() == 0) {
        std::string folder(value1->bytes.begin(), value1->bytes.end() - 1);
        const auto zero = folder.find('\0');
        if (zero != std::string::npos) {
            folder.resize(zero);
        }
        if (folder.size() <= kMaxFolderLength) {
            settings.outputFolder = folder;
        }
    }

    const std::string prefix = kReadOffsetPrefix;
    for (const std::string& name : file.Names()) {
        if (name.rfind(prefix, 0) != 0) {
            continue;
        }
        const RegistryValue* value = file.Find(name);
        if (value->type != RegistryValue::Type::Binary || value->bytes.size() != 4) {
            continue;
        }
        const auto offset = static_cast<int32_t>(LittleEndianWord(value->bytes));
        if (offset < -kMaxStoredReadOffset || offset > kMaxStoredReadOffset) {
            continue;
        }
        settings.readOffsets[name.substr(prefix.size())] = offset;
    }
    // The databases' URLs: strings of a sane length without zero bytes.
    auto url = [&file](const char* name, std::string& into) {
        const RegistryValue* value = file.Find(name);
        if (value == nullptr || value->type != RegistryValue::Type::String ||
            value->bytes.empty() || value->bytes.back() != 0 || value->bytes.size() > 2048) {
            return;
        }
        std::string text(value->bytes.begin(), value->bytes.end() - 1);
        if (text.find('\0') == std::string::npos) {
            into = text;
        }
    };
    url("accurateRipUrl", settings.accurateRipUrl);
    url("ctdbUrl", settings.ctdbUrl);
    url("musicBrainzUrl", settings.musicBrainzUrl);
    url("gnudbUrl", settings.gnudbUrl);
    url("coverArtUrl", settings.coverArtUrl);
    // The template is checked where it is used; here only its size.
    url(kNamingName, settings.naming);
    if (settings.naming.size() > kMaxNamingLength) {
        settings.naming.clear();
    }
    return settings;
}

bool NoMetadataLookups(const Settings& settings) {
    const char* offline = std::getenv("VINDRAL_NO_METADATA");
    return settings.noMetadata || (offline != nullptr && *offline != '\0');
}

bool SaveSettings(const std::string& path, const Settings& settings) {
    RegistryFile file = RegistryFile::Load(path);
    const uint32_t word = SettingsWord(settings);
    file.SetBinary("value0", WordBytes(word));
    file.SetString("value1", settings.outputFolder);
    // Kept only while chosen, so that the file stays as it was without it.
    if (settings.checkAccuracy) {
        file.SetBinary(kCheckAccuracyName, WordBytes(1));
    } else {
        file.Remove(kCheckAccuracyName);
    }
    if (settings.checkAccuracy && settings.skipConfirmed) {
        file.SetBinary(kSkipConfirmedName, WordBytes(1));
    } else {
        file.Remove(kSkipConfirmedName);
    }
    if (settings.secureReading) {
        file.SetBinary(kSecureReadingName, WordBytes(1));
    } else {
        file.Remove(kSecureReadingName);
    }
    if (settings.checkAccuracy && settings.repairFromCtdb) {
        file.SetBinary(kRepairFromCtdbName, WordBytes(1));
    } else {
        file.Remove(kRepairFromCtdbName);
    }
    if (settings.flacFiles) {
        file.SetBinary(kFlacFilesName, WordBytes(1));
    } else {
        file.Remove(kFlacFilesName);
    }
    if (settings.cueSheet) {
        file.SetBinary(kCueSheetName, WordBytes(1));
    } else {
        file.Remove(kCueSheetName);
    }
    if (settings.noMetadata) {
        file.SetBinary(kNoMetadataName, WordBytes(1));
    } else {
        file.Remove(kNoMetadataName);
    }
    if (!settings.naming.empty() && settings.naming.size() <= kMaxNamingLength &&
        settings.naming.find('\0') == std::string::npos) {
        file.SetString(kNamingName, settings.naming);
    } else {
        file.Remove(kNamingName);
    }
    Settings copy = settings;
    for (const SecureNumber& number : SecureNumbers(copy)) {
        if (*number.field != number.standard) {
            file.SetBinary(number.name, WordBytes(static_cast<uint32_t>(*number.field)));
        } else {
            file.Remove(number.name);
        }
    }
    for (const auto& [model, offset] : settings.readOffsets) {
        file.SetBinary(ReadOffsetValueName(model), WordBytes(static_cast<uint32_t>(offset)));
    }
    return file.Save(path);
}

} // namespace vindral::platform

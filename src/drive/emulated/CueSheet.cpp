#include "drive/emulated/CueSheet.h"

#include <algorithm>
#include <cctype>
#include <cstring>
#include <cstdio>
#include <optional>
#include <vector>

#include "platform/FlacReader.h"

namespace vindral::emulated {

namespace {

// No CD holds more than 100 minutes; the limit also keeps addresses far below
// the 24 bits the read commands carry.
constexpr int64_t kMaxDiscSectors = 100 * kSectorsPerMinute;
constexpr std::size_t kMaxCueBytes = 1 << 20;

enum class FileKind { Binary, Motorola, Wave, Flac };

// Sectors of a BINARY, MOTOROLA, WAVE or FLAC file (its decoded samples). A last sector that the file
// holds only in part is completed with silence.
class FileSectorSource : public SectorSource {
public:
    FileSectorSource(std::shared_ptr<const ImageFile> file, uint64_t offset, uint64_t bytes,
                     bool swapSamples)
        : file_(std::move(file)), offset_(offset), bytes_(bytes), swap_(swapSamples) {}

    bool Read(int64_t index, SectorAddress, uint8_t* out) const override {
        const uint64_t start = static_cast<uint64_t>(index) * kSectorBytes;
        if (index < 0 || start >= bytes_) {
            return false;
        }
        const auto available =
            static_cast<std::size_t>(std::min<uint64_t>(kSectorBytes, bytes_ - start));
        if (!file_->ReadAt(offset_ + start, out, available)) {
            return false;
        }
        std::memset(out + available, 0, kSectorBytes - available);
        if (swap_) {
            for (int i = 0; i < kSectorBytes; i += 2) {
                std::swap(out[i], out[i + 1]);
            }
        }
        return true;
    }

    int32_t ReadRun(int64_t index, SectorAddress address, int32_t count,
                    uint8_t* out) const override {
        const uint64_t start = static_cast<uint64_t>(index) * kSectorBytes;
        const uint64_t length = static_cast<uint64_t>(count) * kSectorBytes;
        if (index < 0 || count <= 0 || start + length > bytes_) {
            return SectorSource::ReadRun(index, address, count, out);
        }
        if (!file_->ReadAt(offset_ + start, out, static_cast<std::size_t>(length))) {
            return SectorSource::ReadRun(index, address, count, out);
        }
        if (swap_) {
            for (uint64_t i = 0; i < length; i += 2) {
                std::swap(out[i], out[i + 1]);
            }
        }
        return count;
    }

private:
    std::shared_ptr<const ImageFile> file_;
    uint64_t offset_;
    uint64_t bytes_;
    bool swap_;
};

struct CueFile {
    std::string name;
    int line = 0;
    FileKind kind = FileKind::Binary;
    std::shared_ptr<const ImageFile> image;
    uint64_t offset = 0;
    uint64_t bytes = 0;
    int64_t sectors = 0;
    bool hasTracks = false;
};

struct CueIndex {
    int number = 0;
    std::size_t file = 0;
    int64_t time = 0;
    int line = 0;
};

struct CueTrack {
    int number = 0;
    bool data = false;
    int line = 0;
    int64_t pregap = -1;
    int64_t postgap = -1;
    std::vector<CueIndex> indexes;
    int64_t start = 0; // sector address of INDEX 01
    int64_t pregapStart = -1; // where the pregap (INDEX 00 or PREGAP) begins
    std::vector<int64_t> laterIndexes; // addresses of INDEX 02, 03, ...
    int session = 1;
    DiscFields fields;
};

struct DamageLine {
    std::string kind; // UNREADABLE, UNSTABLE or FLAKY
    int64_t first = 0;
    int64_t count = 0;
    // UNREADABLE: the failed attempts before a read succeeds (0: never);
    // FLAKY: the percentage of wrong readings.
    int64_t extra = 0;
    // FLAKY: the samples a wrong reading gets wrong (0: every byte).
    int64_t samples = 0;
    int line = 0;
};

struct Token {
    std::string text;
    bool quoted = false;
};

// Makes a piece of the sheet fit to be quoted in a one-line message.
std::string Shown(const std::string& text) {
    std::string shown;
    for (char c : text.substr(0, 60)) {
        const auto u = static_cast<unsigned char>(c);
        shown += (u < 0x20 || u == 0x7F) ? '?' : c;
    }
    if (text.size() > 60) {
        shown += "...";
    }
    return shown;
}

std::string Upper(std::string text) {
    for (char& c : text) {
        c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
    }
    return text;
}

// A decimal number of at most `maxDigits` digits, nothing else.
std::optional<int64_t> Number(const std::string& text, std::size_t maxDigits) {
    if (text.empty() || text.size() > maxDigits) {
        return std::nullopt;
    }
    int64_t value = 0;
    for (char c : text) {
        if (c < '0' || c > '9') {
            return std::nullopt;
        }
        value = value * 10 + (c - '0');
    }
    return value;
}

// mm:ss:ff with 75 frames a second.
std::optional<int64_t> Time(const std::string& text) {
    const std::size_t a = text.find(':');
    const std::size_t b = a == std::string::npos ? a : text.find(':', a + 1);
    if (b == std::string::npos || text.find(':', b + 1) != std::string::npos) {
        return std::nullopt;
    }
    const auto m = Number(text.substr(0, a), 3);
    const auto s = Number(text.substr(a + 1, b - a - 1), 2);
    const auto f = Number(text.substr(b + 1), 2);
    if (!m || !s || !f || *s >= 60 || *f >= kSectorsPerSecond) {
        return std::nullopt;
    }
    return *m * kSectorsPerMinute + *s * kSectorsPerSecond + *f;
}

std::string TimeText(int64_t sectors) {
    char text[32];
    std::snprintf(text, sizeof text, "%02lld:%02lld:%02lld",
                  static_cast<long long>(sectors / kSectorsPerMinute),
                  static_cast<long long>((sectors / kSectorsPerSecond) % 60),
                  static_cast<long long>(sectors % kSectorsPerSecond));
    return text;
}

bool Tokenize(const std::string& line, std::vector<Token>& tokens) {
    std::size_t i = 0;
    while (i < line.size()) {
        const char c = line[i];
        if (c == ' ' || c == '\t') {
            ++i;
            continue;
        }
        Token token;
        if (c == '"') {
            const std::size_t close = line.find('"', i + 1);
            if (close == std::string::npos) {
                return false;
            }
            token.text = line.substr(i + 1, close - i - 1);
            token.quoted = true;
            i = close + 1;
        } else {
            const std::size_t end = line.find_first_of(" \t", i);
            token.text = line.substr(i, end == std::string::npos ? std::string::npos : end - i);
            i = end == std::string::npos ? line.size() : end;
        }
        tokens.push_back(std::move(token));
    }
    return true;
}

bool IsAbsolute(const std::string& path) {
    if (!path.empty() && (path[0] == '/' || path[0] == '\\')) {
        return true;
    }
    return path.size() > 2 && std::isalpha(static_cast<unsigned char>(path[0])) &&
           path[1] == ':' && (path[2] == '\\' || path[2] == '/');
}

std::string JoinPath(const std::string& baseDir, std::string name) {
#ifndef _WIN32
    // Sheets written on Windows separate folders with backslashes.
    std::replace(name.begin(), name.end(), '\\', '/');
#endif
    if (baseDir.empty() || IsAbsolute(name)) {
        return name;
    }
    const char last = baseDir.back();
    return (last == '/' || last == '\\') ? baseDir + name : baseDir + "/" + name;
}

uint32_t Le16(const uint8_t* p) { return uint32_t{p[0]} | (uint32_t{p[1]} << 8); }
uint32_t Le32(const uint8_t* p) { return Le16(p) | (Le16(p + 2) << 16); }

class Parser {
public:
    Parser(const std::string& cueName, const std::string& baseDir, const ImageFileOpener& opener)
        : cueName_(cueName), baseDir_(baseDir), opener_(opener) {}

    std::shared_ptr<const Disc> Run(const std::string& text, std::string& error);

private:
    bool Fail(int line, const std::string& fault) {
        error_ = cueName_ + ":" + std::to_string(line) + ": " + fault;
        return false;
    }
    bool Line(int line, const std::vector<Token>& tokens);
    bool File(int line, const std::vector<Token>& tokens);
    bool Track(int line, const std::vector<Token>& tokens);
    bool Index(int line, const std::vector<Token>& tokens);
    bool Gap(int line, const std::vector<Token>& tokens, bool pregap);
    bool Damage(int line, const std::vector<Token>& tokens);
    bool DriveLine(int line, const std::vector<Token>& tokens);
    bool Remark(int line, const std::vector<Token>& tokens);
    bool Field(int line, const std::vector<Token>& tokens, const std::string& keyword);
    int64_t FileSectorsBetween(const CueIndex& from, const CueIndex& to) const;
    std::shared_ptr<const Disc> Build(int lastLine);

    std::string cueName_;
    std::string baseDir_;
    const ImageFileOpener& opener_;
    std::string error_;
    std::vector<CueFile> files_;
    std::vector<CueTrack> tracks_;
    std::vector<DamageLine> damage_;
    DriveBehaviour drive_;
    DiscFields discFields_;
    int pendingSession_ = 0; // from REM SESSION, for the next TRACK
    std::vector<std::string> notes_;
};

bool Parser::Line(int line, const std::vector<Token>& tokens) {
    const std::string keyword = Upper(tokens[0].text);
    if (keyword == "REM") {
        if (tokens.size() >= 2 && Upper(tokens[1].text) == "DAMAGE") {
            return Damage(line, tokens);
        }
        if (tokens.size() >= 2 && Upper(tokens[1].text) == "DRIVE") {
            return DriveLine(line, tokens);
        }
        return Remark(line, tokens);
    }
    if (keyword == "FILE") {
        return File(line, tokens);
    }
    if (keyword == "TRACK") {
        return Track(line, tokens);
    }
    if (keyword == "INDEX") {
        return Index(line, tokens);
    }
    if (keyword == "PREGAP" || keyword == "POSTGAP") {
        return Gap(line, tokens, keyword == "PREGAP");
    }
    if (keyword == "TITLE" || keyword == "PERFORMER" || keyword == "SONGWRITER" ||
        keyword == "COMPOSER" || keyword == "ARRANGER" || keyword == "MESSAGE" ||
        keyword == "UPC_EAN" || keyword == "DISC_ID" || keyword == "GENRE" || keyword == "CATALOG" ||
        keyword == "ISRC" || keyword == "FLAGS" || keyword == "CDTEXTFILE") {
        return Field(line, tokens, keyword);
    }
    return Fail(line, "unknown keyword '" + Shown(tokens[0].text) + "'");
}

// The words after the keyword, as one value; a quoted value as it stands.
std::string Value(const std::vector<Token>& tokens, std::size_t from) {
    std::string value;
    for (std::size_t i = from; i < tokens.size(); ++i) {
        value += (i > from ? " " : "") + tokens[i].text;
    }
    return value;
}

// CC-XXX-YY-NNNNN written without hyphens: a country code of two letters,
// three letters or digits for the owner, two digits of the year and five of
// the recording.
bool IsIsrc(const std::string& text) {
    if (text.size() != 12) {
        return false;
    }
    for (std::size_t i = 0; i < 12; ++i) {
        const auto c = static_cast<unsigned char>(text[i]);
        const bool letter = (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z');
        const bool digit = c >= '0' && c <= '9';
        if (i < 2 ? !letter : i < 5 ? !(letter || digit) : !digit) {
            return false;
        }
    }
    return true;
}

// REM lines that ripping programs write and a disc carries: the session a
// track begins, and the genre, date and comment. Every other REM line is a
// comment.
bool Parser::Remark(int line, const std::vector<Token>& tokens) {
    if (tokens.size() < 2) {
        return true;
    }
    const std::string word = Upper(tokens[1].text);
    DiscFields& fields = tracks_.empty() ? discFields_ : tracks_.back().fields;
    if (word == "GENRE" || word == "DATE" || word == "COMMENT") {
        (word == "GENRE" ? fields.genre : word == "DATE" ? fields.date : fields.comment) =
            Value(tokens, 2);
        return true;
    }
    if (word != "SESSION") {
        return true;
    }
    const auto number = tokens.size() == 3 ? Number(tokens[2].text, 2) : std::nullopt;
    if (!number || *number == 0) {
        return Fail(line, "bad session number '" + Shown(Value(tokens, 2)) + "'");
    }
    if (tracks_.empty() && *number != 1) {
        return Fail(line, "session " + std::to_string(*number) + " before session 1");
    }
    const int current = tracks_.empty() ? 1 : tracks_.back().session;
    if (*number != current && *number != current + 1) {
        return Fail(line, "session " + std::to_string(*number) + " follows session " +
                              std::to_string(current));
    }
    pendingSession_ = static_cast<int>(*number);
    return true;
}

// CD-Text, catalog number, ISRC, flags and the CD-Text file, at disc level
// before the first TRACK and for the current track after it.
bool Parser::Field(int line, const std::vector<Token>& tokens, const std::string& keyword) {
    if (tokens.size() < 2) {
        return Fail(line, keyword + " needs a value");
    }
    DiscFields& fields = tracks_.empty() ? discFields_ : tracks_.back().fields;
    const std::string value = Value(tokens, 1);
    if (keyword == "FLAGS") {
        for (std::size_t i = 1; i < tokens.size(); ++i) {
            const std::string flag = Upper(tokens[i].text);
            if (flag == "DCP") {
                fields.digitalCopyPermitted = true;
            } else if (flag == "4CH") {
                fields.fourChannels = true;
            } else if (flag == "PRE") {
                fields.preEmphasis = true;
            } else if (flag == "SCMS") {
                fields.serialCopyManagement = true;
            } else {
                return Fail(line, "unknown flag '" + Shown(tokens[i].text) + "'");
            }
        }
        return true;
    }
    if (keyword == "CATALOG") {
        if (value.size() != 13 || !Number(value, 13)) {
            return Fail(line, "bad CATALOG '" + Shown(value) + "' (13 digits)");
        }
        // Thirteen zeros: no catalog number, as a drive reports none.
        if (value.find_first_not_of('0') == std::string::npos) {
            fields.catalog.clear();
            return true;
        }
        fields.catalog = value;
    } else if (keyword == "ISRC") {
        // Twelve zeros: a ripping program's way of writing that the track
        // has no ISRC, as the drive reported none.
        if (value == "000000000000") {
            fields.isrc.clear();
            return true;
        }
        if (!IsIsrc(value)) {
            return Fail(line, "bad ISRC '" + Shown(value) +
                                  "' (2 letters, 3 letters or digits, 7 digits)");
        }
        fields.isrc = value;
    } else if (keyword == "TITLE") {
        fields.title = value;
    } else if (keyword == "PERFORMER") {
        fields.performer = value;
    } else if (keyword == "SONGWRITER") {
        fields.songwriter = value;
    } else if (keyword == "COMPOSER") {
        fields.composer = value;
    } else if (keyword == "ARRANGER") {
        fields.arranger = value;
    } else if (keyword == "MESSAGE") {
        fields.message = value;
    } else if (keyword == "UPC_EAN") {
        fields.upcEan = value;
    } else if (keyword == "DISC_ID") {
        fields.discId = value;
    } else if (keyword == "GENRE") {
        fields.genre = value;
    } else {
        fields.cdTextFile = value;
    }
    return true;
}

bool Parser::File(int line, const std::vector<Token>& tokens) {
    if (tokens.size() < 3) {
        return Fail(line, "FILE needs a name and a type");
    }
    if (!files_.empty() && !files_.back().hasTracks) {
        return Fail(files_.back().line, "FILE '" + Shown(files_.back().name) + "' has no TRACK");
    }
    CueFile file;
    file.line = line;
    if (tokens[1].quoted) {
        if (tokens.size() != 3) {
            return Fail(line, "FILE needs a name and a type");
        }
        file.name = tokens[1].text;
    } else {
        // An unquoted name with blanks: everything up to the type.
        for (std::size_t i = 1; i + 1 < tokens.size(); ++i) {
            file.name += (i > 1 ? " " : "") + tokens[i].text;
        }
    }
    if (file.name.empty()) {
        return Fail(line, "FILE has an empty name");
    }
    if (file.name.find('\0') != std::string::npos) {
        // The system would take the name only up to that byte: another file.
        return Fail(line, "FILE name holds a NUL byte");
    }
    const std::string type = Upper(tokens.back().text);
    if (type == "BINARY") {
        file.kind = FileKind::Binary;
    } else if (type == "MOTOROLA") {
        file.kind = FileKind::Motorola;
    } else if (type == "WAVE") {
        file.kind = FileKind::Wave;
    } else if (type == "FLAC") {
        file.kind = FileKind::Flac;
    } else {
        return Fail(line, "unsupported file type '" + Shown(tokens.back().text) + "'");
    }
    std::string reason;
    file.image = opener_(JoinPath(baseDir_, file.name), reason);
    if (!file.image) {
        return Fail(line, "cannot open '" + Shown(file.name) + "': " + reason);
    }
    if (file.kind == FileKind::Wave) {
        // Sheets name FLAC files WAVE as often as not: the file says which.
        uint8_t head[4] = {};
        const auto headBytes = static_cast<std::size_t>(std::min<uint64_t>(file.image->Size(), 4));
        if (file.image->ReadAt(0, head, headBytes) && platform::LooksLikeFlac(head, headBytes)) {
            file.kind = FileKind::Flac;
        }
    }
    if (file.kind == FileKind::Flac) {
        std::string fault;
        file.image = OpenFlacImageFile(file.image, fault);
        if (!file.image) {
            return Fail(line, "'" + Shown(file.name) + "' " + fault);
        }
        file.bytes = file.image->Size();
    } else if (file.kind == FileKind::Wave) {
        WaveLayout layout;
        std::string fault;
        if (!ReadWaveLayout(*file.image, layout, fault)) {
            return Fail(line, "'" + Shown(file.name) + "' " + fault);
        }
        file.offset = layout.dataOffset;
        file.bytes = layout.dataBytes;
    } else {
        file.bytes = file.image->Size();
    }
    file.sectors = static_cast<int64_t>((file.bytes + kSectorBytes - 1) / kSectorBytes);
    if (file.sectors == 0) {
        return Fail(line, "'" + Shown(file.name) + "' holds no audio");
    }
    if (const uint64_t over = file.bytes % kSectorBytes; over != 0) {
        notes_.push_back(cueName_ + ":" + std::to_string(line) + ": '" + Shown(file.name) +
                         "' ends " + std::to_string(kSectorBytes - over) +
                         " bytes short of a whole sector; its last sector is padded with zeros");
    }
    files_.push_back(std::move(file));
    return true;
}

bool Parser::Track(int line, const std::vector<Token>& tokens) {
    if (files_.empty()) {
        return Fail(line, "TRACK before FILE");
    }
    if (tokens.size() != 3) {
        return Fail(line, "TRACK needs a number and a mode");
    }
    const auto number = Number(tokens[1].text, 3);
    if (!number || *number == 0) {
        return Fail(line, "bad track number '" + Shown(tokens[1].text) + "'");
    }
    if (*number > kMaxTracks) {
        return Fail(line, "track number " + std::to_string(*number) + " is above 99");
    }
    if (tracks_.size() >= static_cast<std::size_t>(kMaxTracks)) {
        return Fail(line, "more than 99 tracks");
    }
    if (!tracks_.empty()) {
        const CueTrack& previous = tracks_.back();
        if (*number != previous.number + 1) {
            return Fail(line, "track " + std::to_string(*number) + " follows track " +
                                  std::to_string(previous.number));
        }
        const bool hasOne = std::any_of(previous.indexes.begin(), previous.indexes.end(),
                                        [](const CueIndex& i) { return i.number == 1; });
        if (!hasOne) {
            return Fail(previous.line,
                        "track " + std::to_string(previous.number) + " has no INDEX 01");
        }
    }
    const std::string mode = Upper(tokens[2].text);
    CueTrack track;
    track.number = static_cast<int>(*number);
    track.line = line;
    track.session = pendingSession_ != 0 ? pendingSession_
                    : tracks_.empty()    ? 1
                                         : tracks_.back().session;
    pendingSession_ = 0;
    if (mode == "MODE1/2352" || mode == "MODE2/2352") {
        track.data = true;
        if (files_.back().kind == FileKind::Wave) {
            return Fail(line, "a data track cannot come from a WAVE file");
        }
        if (files_.back().kind == FileKind::Flac) {
            return Fail(line, "a data track cannot come from a FLAC file");
        }
    } else if (mode != "AUDIO") {
        return Fail(line, "unsupported track mode '" + Shown(tokens[2].text) + "'");
    }
    files_.back().hasTracks = true;
    tracks_.push_back(track);
    return true;
}

bool Parser::Index(int line, const std::vector<Token>& tokens) {
    if (tracks_.empty()) {
        return Fail(line, "INDEX before TRACK");
    }
    if (tokens.size() != 3) {
        return Fail(line, "INDEX needs a number and a time");
    }
    const auto number = Number(tokens[1].text, 2);
    if (!number) {
        return Fail(line, "bad index number '" + Shown(tokens[1].text) + "'");
    }
    const auto time = Time(tokens[2].text);
    if (!time) {
        return Fail(line, "bad time '" + Shown(tokens[2].text) + "' (mm:ss:ff)");
    }
    CueTrack& track = tracks_.back();
    const int expected = track.indexes.empty() ? (*number == 0 ? 0 : 1)
                                               : track.indexes.back().number + 1;
    if (*number != expected) {
        return Fail(line, "INDEX " + Shown(tokens[1].text) + " out of order");
    }
    const std::size_t file = files_.size() - 1;
    const CueFile& cueFile = files_.back();
    if (*time >= cueFile.sectors) {
        return Fail(line, "INDEX time " + TimeText(*time) + " lies beyond the end of '" +
                              Shown(cueFile.name) + "' (" + TimeText(cueFile.sectors) + ")");
    }
    // Times run forward within a file; each track has at least one sector.
    for (auto t = tracks_.rbegin(); t != tracks_.rend(); ++t) {
        if (t->indexes.empty()) {
            continue;
        }
        const CueIndex& last = t->indexes.back();
        if (last.file == file) {
            const bool otherTrack = &*t != &track;
            if (*time < last.time || (otherTrack && *time == last.time)) {
                return Fail(line, "INDEX time " + TimeText(*time) +
                                      " is not after the previous INDEX");
            }
        }
        break;
    }
    track.indexes.push_back(CueIndex{static_cast<int>(*number), file, *time, line});
    files_.back().hasTracks = true;
    return true;
}

bool Parser::Gap(int line, const std::vector<Token>& tokens, bool pregap) {
    const char* name = pregap ? "PREGAP" : "POSTGAP";
    if (tracks_.empty()) {
        return Fail(line, std::string(name) + " before TRACK");
    }
    if (tokens.size() != 2) {
        return Fail(line, std::string(name) + " needs a time");
    }
    const auto time = Time(tokens[1].text);
    if (!time) {
        return Fail(line, "bad time '" + Shown(tokens[1].text) + "' (mm:ss:ff)");
    }
    CueTrack& track = tracks_.back();
    int64_t& gap = pregap ? track.pregap : track.postgap;
    if (gap >= 0) {
        return Fail(line, std::string("second ") + name + " in track " +
                              std::to_string(track.number));
    }
    if (pregap && !track.indexes.empty()) {
        return Fail(line, "PREGAP after INDEX");
    }
    if (!pregap && track.indexes.empty()) {
        return Fail(line, "POSTGAP before INDEX");
    }
    gap = *time;
    return true;
}

bool Parser::Damage(int line, const std::vector<Token>& tokens) {
    if (tokens.size() < 3) {
        return Fail(line, "REM DAMAGE needs a kind, a sector and a count");
    }
    const std::string kind = Upper(tokens[2].text);
    if (kind != "UNREADABLE" && kind != "UNSTABLE" && kind != "FLAKY") {
        return Fail(line, "unknown damage kind '" + Shown(tokens[2].text) + "'");
    }
    const bool flaky = kind == "FLAKY";
    const bool triesAllowed = kind == "UNREADABLE";
    // REM DAMAGE FLAKY <sector> <count> <percent> [SAMPLES <n>]
    const bool sampled = flaky && tokens.size() == 8;
    if (tokens.size() != (flaky ? 6u : 5u) && !(triesAllowed && tokens.size() == 6) && !sampled) {
        if (flaky) {
            return Fail(line, "REM DAMAGE FLAKY needs a sector, a count and a percentage "
                              "(and SAMPLES <n> for wrong readings of n samples)");
        }
        return Fail(line, "REM DAMAGE needs a kind, a sector and a count");
    }
    const auto first = Number(tokens[3].text, 9);
    const auto count = Number(tokens[4].text, 9);
    if (!first) {
        return Fail(line, "bad damage sector '" + Shown(tokens[3].text) + "'");
    }
    if (!count || *count == 0) {
        return Fail(line, "bad damage count '" + Shown(tokens[4].text) + "'");
    }
    int64_t extra = 0;
    if (tokens.size() >= 6) {
        const auto value = Number(tokens[5].text, 9);
        if (flaky && (!value || *value > 100)) {
            return Fail(line, "bad damage percentage '" + Shown(tokens[5].text) + "'");
        }
        if (!flaky && (!value || *value == 0)) {
            return Fail(line, "bad damage tries '" + Shown(tokens[5].text) + "'");
        }
        extra = *value;
    }
    int64_t samples = 0;
    if (sampled) {
        if (Upper(tokens[6].text) != "SAMPLES") {
            return Fail(line, "unknown FLAKY option '" + Shown(tokens[6].text) + "' (SAMPLES <n>)");
        }
        const auto value = Number(tokens[7].text, 3);
        if (!value || *value == 0 || *value > kSectorBytes / 4) {
            return Fail(line, "bad damage samples '" + Shown(tokens[7].text) + "' (1 to " +
                                  std::to_string(kSectorBytes / 4) + ")");
        }
        samples = *value;
    }
    damage_.push_back(DamageLine{kind, *first, *count, extra, samples, line});
    return true;
}

// REM DRIVE READY <ms> | UNITATTENTION [RESET] | SHORTREAD <command> | REFUSE <command> |
// SENSE DESCRIPTOR | CACHE <sectors> | OFFSET <samples> | C2 NONE | C2 MISSES <percent> |
// NOCDTEXT | QSHIFT <sectors> | NOSUBCHANNELISRC | RAWONLY | NOSUBCHANNEL |
// NOSUBCHANNELALONE | BADQCRC <every-n>
bool Parser::DriveLine(int line, const std::vector<Token>& tokens) {
    if (tokens.size() < 3) {
        return Fail(line, "REM DRIVE needs a behaviour");
    }
    const std::string what = Upper(tokens[2].text);
    auto value = [&](const std::string& text) { return Shown(text); };
    if (what == "UNITATTENTION") {
        if (tokens.size() == 4 && Upper(tokens[3].text) == "RESET") {
            drive_.attentionReset = true;
        } else if (tokens.size() != 3) {
            return Fail(line, "REM DRIVE UNITATTENTION takes nothing or RESET");
        }
        drive_.unitAttention = true;
        return true;
    }
    if (what == "C2") {
        const std::string how = tokens.size() >= 4 ? Upper(tokens[3].text) : "";
        if (how == "NONE" && tokens.size() == 4) {
            drive_.noC2 = true;
            return true;
        }
        if (how != "MISSES" || tokens.size() != 5) {
            return Fail(line, "REM DRIVE C2 takes NONE or MISSES <percent>");
        }
        const auto percent = Number(tokens[4].text, 3);
        if (!percent || *percent > 100) {
            return Fail(line, "bad C2 miss percentage '" + value(tokens[4].text) + "'");
        }
        drive_.c2MissPercent = static_cast<uint32_t>(*percent);
        return true;
    }
    if (what == "NOCDTEXT" || what == "NOFULLTOC" || what == "NOSUBCHANNELISRC" ||
        what == "RAWONLY" || what == "NOSUBCHANNEL" || what == "NOSUBCHANNELALONE") {
        if (tokens.size() != 3) {
            return Fail(line, "REM DRIVE " + what + " takes no value");
        }
        (what == "NOCDTEXT"           ? drive_.noCdText
         : what == "NOFULLTOC"        ? drive_.noFullToc
         : what == "NOSUBCHANNELISRC" ? drive_.noSubChannelIsrc
         : what == "RAWONLY"          ? drive_.rawSubChannelOnly
         : what == "NOSUBCHANNEL"     ? drive_.noSubChannel
                                      : drive_.noSubChannelAlone) = true;
        return true;
    }
    if (tokens.size() != 4) {
        return Fail(line, "REM DRIVE " + value(tokens[2].text) + " needs one value");
    }
    const std::string argument = Upper(tokens[3].text);
    if (what == "READY") {
        const auto ms = Number(tokens[3].text, 6);
        if (!ms) {
            return Fail(line, "bad becoming-ready time '" + value(tokens[3].text) + "'");
        }
        drive_.becomingReadyMs = static_cast<uint32_t>(*ms);
        return true;
    }
    if (what == "SHORTREAD" || what == "REFUSE") {
        const bool refuse = what == "REFUSE";
        if (argument == "READCD") {
            (refuse ? drive_.refuseReadCd : drive_.shortReadCd) = true;
        } else if (argument == "READCDDA") {
            (refuse ? drive_.refuseReadCdda : drive_.shortReadCdda) = true;
        } else if (argument == "READ10") {
            (refuse ? drive_.refuseRead10 : drive_.shortRead10) = true;
        } else {
            return Fail(line, "unknown read command '" + value(tokens[3].text) +
                                  "' (READCD, READCDDA or READ10)");
        }
        return true;
    }
    if (what == "SENSE") {
        if (argument != "DESCRIPTOR") {
            return Fail(line, "unknown sense format '" + value(tokens[3].text) + "'");
        }
        drive_.descriptorSense = true;
        return true;
    }
    if (what == "CACHE") {
        const auto sectors = Number(tokens[3].text, 6);
        if (!sectors) {
            return Fail(line, "bad cache size '" + value(tokens[3].text) + "'");
        }
        drive_.cacheSectors = static_cast<uint32_t>(*sectors);
        return true;
    }
    if (what == "BADQCRC") {
        const auto every = Number(tokens[3].text, 6);
        if (!every || *every == 0) {
            return Fail(line, "bad Q frame interval '" + value(tokens[3].text) + "'");
        }
        drive_.badQCrcEvery = static_cast<uint32_t>(*every);
        return true;
    }
    if (what == "OFFSET" || what == "QSHIFT") {
        const bool shift = what == "QSHIFT";
        std::string digits = tokens[3].text;
        bool negative = false;
        if (!digits.empty() && (digits[0] == '+' || digits[0] == '-')) {
            negative = digits[0] == '-';
            digits.erase(0, 1);
        }
        const auto amount = Number(digits, shift ? 3 : 6);
        if (!amount) {
            return Fail(line, std::string(shift ? "bad Q sub-channel shift '" : "bad read offset '") +
                                  value(tokens[3].text) + "'");
        }
        (shift ? drive_.qShift : drive_.offsetSamples) =
            static_cast<int32_t>(negative ? -*amount : *amount);
        return true;
    }
    return Fail(line, "unknown drive behaviour '" + value(tokens[2].text) + "'");
}

std::shared_ptr<const Disc> Parser::Run(const std::string& text, std::string& error) {
    std::size_t at = 0;
    int line = 0;
    // A byte-order mark before the first keyword.
    if (text.compare(0, 3, "\xEF\xBB\xBF") == 0) {
        at = 3;
    }
    bool ok = true;
    while (ok && at < text.size()) {
        std::size_t end = text.find('\n', at);
        if (end == std::string::npos) {
            end = text.size();
        }
        std::string content = text.substr(at, end - at);
        at = end + 1;
        ++line;
        while (!content.empty() &&
               (content.back() == '\r' || content.back() == ' ' || content.back() == '\t')) {
            content.pop_back();
        }
        std::vector<Token> tokens;
        if (!Tokenize(content, tokens)) {
            ok = Fail(line, "unterminated quoted text");
            break;
        }
        if (!tokens.empty()) {
            ok = Line(line, tokens);
        }
    }
    std::shared_ptr<const Disc> disc;
    if (ok) {
        disc = Build(std::max(line, 1));
    }
    if (!disc) {
        error = error_;
    }
    return disc;
}

std::shared_ptr<const Disc> Parser::Build(int lastLine) {
    if (tracks_.empty()) {
        Fail(lastLine, "no TRACK");
        return nullptr;
    }
    if (!files_.back().hasTracks) {
        Fail(files_.back().line, "FILE '" + Shown(files_.back().name) + "' has no TRACK");
        return nullptr;
    }
    const CueTrack& last = tracks_.back();
    if (std::none_of(last.indexes.begin(), last.indexes.end(),
                     [](const CueIndex& i) { return i.number == 1; })) {
        Fail(last.line, "track " + std::to_string(last.number) + " has no INDEX 01");
        return nullptr;
    }


    // Lay the files end to end from address 0, the first file's first byte.
    // Silence that no file holds pushes everything after it further out: the
    // first track's PREGAP comes before the first file; at the first index
    // of every later track come the previous track's POSTGAP and the
    // track's PREGAP. A track that begins a later session in a file of its
    // own starts as on a pressed disc, 11,400 sectors after the previous
    // session's last track: that session's lead-out and the next lead-in
    // (sectors no read reaches), then at least 150 sectors of pregap.
    struct Piece {
        int64_t position;
        int64_t count;
        bool data;
        std::shared_ptr<const SectorSource> source;
        int64_t firstIndex;
    };
    struct Range {
        int64_t first;
        int64_t count;
    };
    std::vector<Piece> pieces;
    std::vector<Range> betweenSessions;
    std::vector<bool> placedApart(tracks_.size(), false); // see tooClose below
    int64_t position = 0;
    std::size_t owner = 0; // the track the current stretch of file belongs to
    auto addSilence = [&](int64_t count, bool data) {
        if (count > 0) {
            pieces.push_back(Piece{position, count, data, MakeSilenceSource(data), 0});
            position += count;
        }
    };
    addSilence(std::max<int64_t>(0, tracks_.front().pregap), tracks_.front().data);
    for (std::size_t f = 0; f < files_.size(); ++f) {
        const CueFile& file = files_[f];
        std::shared_ptr<const SectorSource> audio = std::make_shared<FileSectorSource>(
            file.image, file.offset, file.bytes, file.kind == FileKind::Motorola);
        std::shared_ptr<const SectorSource> raw =
            std::make_shared<FileSectorSource>(file.image, file.offset, file.bytes, false);
        int64_t cursor = 0;
        auto addFile = [&](int64_t until) {
            if (until > cursor) {
                const bool data = tracks_[owner].data;
                pieces.push_back(Piece{position, until - cursor, data, data ? raw : audio, cursor});
                position += until - cursor;
                cursor = until;
            }
        };
        for (std::size_t t = 0; t < tracks_.size(); ++t) {
            CueTrack& track = tracks_[t];
            for (const CueIndex& index : track.indexes) {
                if (index.file != f) {
                    continue;
                }
                if (&index == &track.indexes.front()) {
                    addFile(index.time);
                    if (t > 0) {
                        const CueTrack& previous = tracks_[t - 1];
                        addSilence(std::max<int64_t>(0, previous.postgap), previous.data);
                        const bool ownFile = previous.indexes.back().file != f;
                        const auto one = std::find_if(
                            track.indexes.begin(), track.indexes.end(),
                            [](const CueIndex& i) { return i.number == 1; });
                        const int64_t pregap = std::max<int64_t>(0, track.pregap) +
                                               FileSectorsBetween(index, *one);
                        // A file shared with the session before must hold the
                        // space between the sessions; one that cannot is laid
                        // out as two files would be.
                        const bool newSession = track.session != previous.session;
                        const bool tooClose = newSession && !ownFile &&
                                              position + pregap - kSessionGapSectors <= previous.start;
                        if (tooClose) {
                            placedApart[t] = true;
                            notes_.push_back(
                                cueName_ + ":" + std::to_string(track.line) + ": track " +
                                std::to_string(track.number) + " begins session " +
                                std::to_string(track.session) + " less than " +
                                std::to_string(kSessionGapSectors) + " sectors after track " +
                                std::to_string(previous.number) +
                                " starts, too close for the lead-out and lead-in between; it is "
                                "placed as if in a file of its own, " +
                                std::to_string(kSessionGapSectors) + " sectors after track " +
                                std::to_string(previous.number) + " ends");
                        }
                        if (newSession && (ownFile || tooClose)) {
                            const int64_t hole =
                                kSessionGapSectors - std::max<int64_t>(kSessionPregapSectors, pregap);
                            if (hole > 0) {
                                betweenSessions.push_back(Range{position, hole});
                                position += hole;
                            }
                            track.pregapStart = position;
                            addSilence(kSessionPregapSectors - pregap, track.data);
                        }
                        if (track.pregapStart < 0) {
                            track.pregapStart = position;
                        }
                        addSilence(std::max<int64_t>(0, track.pregap), track.data);
                    }
                    owner = t;
                }
                if (index.number == 1) {
                    track.start = position + (index.time - cursor);
                } else if (index.number > 1) {
                    track.laterIndexes.push_back(position + (index.time - cursor));
                }
            }
        }
        addFile(file.sectors);
    }
    addSilence(std::max<int64_t>(0, tracks_.back().postgap), tracks_.back().data);
    // A later session that shares a file with the one before: the file holds
    // the space between them, whose last 150 sectors are the track's pregap.
    for (std::size_t t = 1; t < tracks_.size(); ++t) {
        const CueTrack& track = tracks_[t];
        const CueTrack& previous = tracks_[t - 1];
        if (track.session != previous.session && !placedApart[t] &&
            previous.indexes.back().file == track.indexes.front().file) {
            const int64_t first = track.start - kSessionGapSectors;
            if (first > previous.start) {
                betweenSessions.push_back(
                    Range{first, kSessionLeadOutSectors + kSessionLeadInSectors});
            }
        }
    }

    const int64_t leadOut = position;
    if (leadOut > kMaxDiscSectors) {
        Fail(lastLine, "the disc is longer than 100 minutes");
        return nullptr;
    }
    auto disc = std::make_shared<Disc>();
    disc->SetDrive(drive_);
    std::vector<DiscFields> trackFields;
    for (std::size_t t = 0; t < tracks_.size(); ++t) {
        const CueTrack& track = tracks_[t];
        if (t > 0 && track.start <= tracks_[t - 1].start) {
            Fail(track.line, "track " + std::to_string(track.number) + " starts before track " +
                                 std::to_string(tracks_[t - 1].number) + " ends");
            return nullptr;
        }
        // FLAGS at disc level hold for every track.
        const DiscFields& own = track.fields;
        uint8_t control = 0;
        control |= (own.preEmphasis || discFields_.preEmphasis) ? 0x01 : 0x00;
        control |= (own.digitalCopyPermitted || discFields_.digitalCopyPermitted) ? 0x02 : 0x00;
        control |= (own.fourChannels || discFields_.fourChannels) ? 0x08 : 0x00;
        disc->AddTrack(track.number, track.data, static_cast<SectorAddress>(track.start),
                       track.session, control);
        // The first track's pregap is everything before its INDEX 01; a track
        // that begins a later session has at least the 150 sectors after the
        // lead-in.
        int64_t pregapStart = t == 0 ? 0 : track.pregapStart < 0 ? track.start : track.pregapStart;
        if (t > 0 && track.session != tracks_[t - 1].session) {
            pregapStart = std::min(pregapStart, track.start - kSessionPregapSectors);
        }
        std::vector<SectorAddress> later;
        for (const int64_t address : track.laterIndexes) {
            later.push_back(static_cast<SectorAddress>(address));
        }
        disc->SetIndexes(t, static_cast<SectorAddress>(pregapStart), std::move(later));
        trackFields.push_back(own);
    }
    disc->SetLeadOut(static_cast<SectorAddress>(leadOut));
    disc->SetFields(discFields_, std::move(trackFields));
    for (std::string& note : notes_) {
        disc->AddNote(std::move(note));
    }
    for (const Piece& piece : pieces) {
        disc->AddSegment(static_cast<SectorAddress>(piece.position),
                         static_cast<int32_t>(piece.count), piece.data, piece.source,
                         piece.firstIndex);
    }
    for (const Range& range : betweenSessions) {
        disc->AddBetweenSessions(static_cast<SectorAddress>(range.first),
                                 static_cast<int32_t>(range.count));
    }
    for (const DamageLine& damage : damage_) {
        if (damage.first + damage.count > leadOut) {
            Fail(damage.line, "damage " + std::to_string(damage.first) + "+" +
                                  std::to_string(damage.count) + " runs past the lead-out at " +
                                  std::to_string(leadOut));
            return nullptr;
        }
        const auto first = static_cast<SectorAddress>(damage.first);
        const auto count = static_cast<int32_t>(damage.count);
        if (damage.kind == "FLAKY") {
            disc->AddFlaky(first, count, static_cast<int32_t>(damage.extra),
                           static_cast<int32_t>(damage.samples));
        } else if (damage.kind == "UNREADABLE" && damage.extra > 0) {
            disc->AddUnreadableTries(first, count, static_cast<int32_t>(damage.extra));
        } else if (damage.kind == "UNREADABLE") {
            disc->AddUnreadable(first, count);
        } else {
            disc->AddUnstable(first, count);
        }
    }
    return disc;
}

// The sectors of file data from one index to a later one, across files.
int64_t Parser::FileSectorsBetween(const CueIndex& from, const CueIndex& to) const {
    if (from.file == to.file) {
        return std::max<int64_t>(0, to.time - from.time);
    }
    int64_t count = files_[from.file].sectors - from.time;
    for (std::size_t f = from.file + 1; f < to.file && f < files_.size(); ++f) {
        count += files_[f].sectors;
    }
    return count + to.time;
}

} // namespace

bool ReadWaveLayout(const ImageFile& file, WaveLayout& layout, std::string& fault) {
    uint8_t header[12];
    if (!file.ReadAt(0, header, sizeof header) || std::memcmp(header, "RIFF", 4) != 0 ||
        std::memcmp(header + 8, "WAVE", 4) != 0) {
        fault = "is not a RIFF WAVE file";
        return false;
    }
    bool haveFormat = false;
    bool haveData = false;
    uint8_t format[40] = {};
    uint32_t formatSize = 0;
    const uint64_t size = file.Size();
    uint64_t at = 12;
    for (int chunks = 0; at + 8 <= size && chunks < 4096 && !(haveFormat && haveData); ++chunks) {
        uint8_t chunk[8];
        if (!file.ReadAt(at, chunk, sizeof chunk)) {
            break;
        }
        const uint64_t length = Le32(chunk + 4);
        if (std::memcmp(chunk, "fmt ", 4) == 0 && !haveFormat) {
            formatSize = static_cast<uint32_t>(std::min<uint64_t>(length, sizeof format));
            if (!file.ReadAt(at + 8, format, formatSize)) {
                fault = "has a fmt chunk that runs past the end of the file";
                return false;
            }
            haveFormat = true;
        } else if (std::memcmp(chunk, "data", 4) == 0 && !haveData) {
            if (length > size - (at + 8)) {
                fault = "has a data chunk that runs past the end of the file";
                return false;
            }
            layout.dataOffset = at + 8;
            layout.dataBytes = length;
            haveData = true;
        }
        at += 8 + length + (length & 1);
    }
    if (!haveFormat) {
        fault = "has no fmt chunk";
        return false;
    }
    if (!haveData) {
        fault = "has no data chunk";
        return false;
    }
    uint32_t tag = formatSize >= 16 ? Le16(format) : 0;
    if (tag == 0xFFFE && formatSize >= 26) {
        tag = Le16(format + 24); // WAVE_FORMAT_EXTENSIBLE: the sub-format's first field
    }
    const bool pcm = formatSize >= 16 && tag == 1 && Le16(format + 2) == 2 &&
                     Le32(format + 4) == 44100 && Le16(format + 12) == 4 &&
                     Le16(format + 14) == 16;
    if (!pcm) {
        fault = "is not 44.1 kHz 16-bit stereo PCM";
        return false;
    }
    return true;
}

std::shared_ptr<const Disc> ParseCueSheet(const std::string& text, const std::string& cueName,
                                          const std::string& baseDir, std::string& error,
                                          const ImageFileOpener& opener) {
    Parser parser(cueName, baseDir, opener);
    return parser.Run(text, error);
}

std::shared_ptr<const Disc> ParseCueSheet(const std::string& text, const std::string& cueName,
                                          const std::string& baseDir, std::string& error) {
    return ParseCueSheet(text, cueName, baseDir, error, OpenImageFile);
}

std::shared_ptr<const Disc> LoadCueSheet(const std::string& cuePath, std::string& error) {
    const std::size_t slash = cuePath.find_last_of("/\\");
    const std::string name = slash == std::string::npos ? cuePath : cuePath.substr(slash + 1);
    const std::string folder = slash == std::string::npos ? "" : cuePath.substr(0, slash + 1);
    std::string reason;
    auto file = OpenImageFile(cuePath, reason);
    if (!file) {
        error = name + ": cannot open: " + reason;
        return nullptr;
    }
    if (file->Size() > kMaxCueBytes) {
        error = name + ": too large for a CUE sheet";
        return nullptr;
    }
    std::string text(static_cast<std::size_t>(file->Size()), '\0');
    if (!file->ReadAt(0, text.data(), text.size())) {
        error = name + ": cannot be read";
        return nullptr;
    }
    return ParseCueSheet(text, name, folder, error);
}

} // namespace vindral::emulated

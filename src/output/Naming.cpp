#include "output/Naming.h"

#include <cstdio>
#include <set>
#include <string_view>

namespace vindral::output {

namespace {

struct Field {
    char letter;
    const char* meaning;
};
constexpr Field kFields[] = {
    {'t', "track number, two digits"}, {'n', "track title"}, {'a', "track artist"},
    {'A', "album artist"},             {'d', "album title"}, {'y', "year"},
    {'D', "disc number"},              {'P', "the prefix"},
};

bool KnownField(char letter) {
    for (const Field& field : kFields) {
        if (field.letter == letter) {
            return true;
        }
    }
    return letter == '%';
}

std::string OrElse(const std::string& value, const char* fallback) {
    return value.empty() ? fallback : value;
}

// The value of a field for track `number`.
std::string FieldValue(char letter, const DiscNames& names, const std::string& prefix,
                       int number) {
    switch (letter) {
    case 't':
        return TwoDigits(number);
    case 'n':
        return names.TitleOf(number);
    case 'a':
        return names.ArtistOf(number);
    case 'A':
        return OrElse(names.albumArtist, "Unknown Artist");
    case 'd':
        return OrElse(names.album, "Unknown Album");
    case 'y':
        return names.year;
    case 'D':
        return names.discNumber > 0 ? std::to_string(names.discNumber) : std::string();
    case 'P':
        return prefix;
    default:
        return "%";
    }
}

// The template's folder and file parts, split at '/'.
std::vector<std::string> Components(const std::string& naming) {
    std::vector<std::string> parts(1);
    for (char c : naming) {
        if (c == '/') {
            parts.emplace_back();
        } else {
            parts.back() += c;
        }
    }
    return parts;
}

std::string Expand(const std::string& component, const DiscNames& names,
                   const std::string& prefix, int number) {
    std::string text;
    for (std::size_t i = 0; i < component.size(); ++i) {
        if (component[i] == '%' && i + 1 < component.size()) {
            std::string value = FieldValue(component[++i], names, prefix, number);
            // A value never makes a folder.
            for (char& c : value) {
                if (c == '/' || c == '\\') {
                    c = '-';
                }
            }
            text += value;
        } else {
            text += component[i];
        }
    }
    return text;
}

// At most `maxBytes` bytes, cut before a character, never inside one.
void CutUtf8(std::string& text, std::size_t maxBytes) {
    if (text.size() <= maxBytes) {
        return;
    }
    std::size_t cut = maxBytes;
    while (cut > 0 && (static_cast<unsigned char>(text[cut]) & 0xC0) == 0x80) {
        --cut;
    }
    text.resize(cut);
}

void TrimEnd(std::string& text) {
    while (!text.empty() && (text.back() == ' ' || text.back() == '.')) {
        text.pop_back();
    }
}

char Lower(char c) { return c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c; }

std::string Lowered(std::string text) {
    for (char& c : text) {
        c = Lower(c);
    }
    return text;
}

// The length of the device part of a reserved Windows name ("con" of
// "CON.txt"), or 0 when the name is none.
std::size_t ReservedDevicePart(const std::string& name) {
    std::size_t end = name.find('.');
    if (end == std::string::npos) {
        end = name.size();
    }
    std::size_t device = end;
    while (device > 0 && name[device - 1] == ' ') {
        --device;
    }
    const std::string part = Lowered(name.substr(0, device));
    if (part == "con" || part == "prn" || part == "aux" || part == "nul") {
        return device;
    }
    if (part.size() == 4 && (part.rfind("com", 0) == 0 || part.rfind("lpt", 0) == 0) &&
        part[3] >= '1' && part[3] <= '9') {
        return device;
    }
    return 0;
}

} // namespace

std::string TwoDigits(int number) {
    char text[16];
    std::snprintf(text, sizeof text, "%02d", number);
    return text;
}

TrackNames DiscNames::Track(int number) const {
    const auto found = tracks.find(number);
    return found == tracks.end() ? TrackNames{} : found->second;
}

std::string DiscNames::TitleOf(int number) const {
    return OrElse(Track(number).title, ("Track " + TwoDigits(number)).c_str());
}

std::string DiscNames::ArtistOf(int number) const {
    const std::string artist = Track(number).artist;
    return !artist.empty() ? artist : OrElse(albumArtist, "Unknown Artist");
}

DiscNames NamesFromCdText(const DiscDetails& details) {
    DiscNames names;
    names.album = details.Text(kCdTextTitle, 0);
    names.albumArtist = details.Text(kCdTextPerformer, 0);
    names.genre = details.Text(kCdTextGenre, 0);
    for (const TrackDetails& track : details.tracks) {
        TrackNames own;
        own.title = details.Text(kCdTextTitle, track.number);
        own.artist = details.Text(kCdTextPerformer, track.number);
        own.composer = details.Text(kCdTextSongwriter, track.number);
        if (own.composer.empty()) {
            own.composer = details.Text(kCdTextComposer, track.number);
        }
        if (!own.title.empty() || !own.artist.empty() || !own.composer.empty()) {
            names.tracks[track.number] = own;
        }
    }
    return names;
}

std::string KnownNamingFields() {
    std::string text;
    for (const Field& field : kFields) {
        text += std::string(text.empty() ? "" : ", ") + "%" + field.letter + " (" +
                field.meaning + ")";
    }
    return text + " and %% (a percent sign)";
}

bool CheckNamingTemplate(const std::string& naming, std::string& error) {
    for (std::size_t i = 0; i < naming.size(); ++i) {
        if (naming[i] != '%') {
            continue;
        }
        if (i + 1 == naming.size()) {
            error = "--naming '" + naming + "' ends in a lone '%'; the known fields are " +
                    KnownNamingFields();
            return false;
        }
        if (!KnownField(naming[i + 1])) {
            error = "--naming '" + naming + "': unknown field '%" + naming[i + 1] +
                    "'; the known fields are " + KnownNamingFields();
            return false;
        }
        ++i;
    }
    if (naming.empty() || naming.front() == '/') {
        error = "--naming '" + naming +
                "': the template names a file inside the folder of --out, so it cannot be "
                "empty or begin with '/'";
        return false;
    }
    for (const std::string& part : Components(naming)) {
        if (part.empty() || part == "." || part == "..") {
            error = "--naming '" + naming + "': a folder name in it is empty, '.' or '..'";
            return false;
        }
    }
    return true;
}

std::string SafeName(const std::string& component, std::size_t maxBytes) {
    std::string name;
    for (char c : component) {
        const auto byte = static_cast<unsigned char>(c);
        if (c == '/' || c == '\\') {
            name += '-';
        } else if (byte < 0x20 || byte == 0x7F ||
                   std::string_view(":*?\"<>|").find(c) != std::string_view::npos) {
            name += '_';
        } else {
            name += c;
        }
    }
    name.erase(0, name.find_first_not_of(' ') == std::string::npos ? name.size()
                                                                    : name.find_first_not_of(' '));
    TrimEnd(name);
    CutUtf8(name, maxBytes);
    TrimEnd(name);
    if (const std::size_t device = ReservedDevicePart(name); device > 0) {
        name.insert(device, "_");
        CutUtf8(name, maxBytes);
    }
    return name.empty() ? "_" : name;
}

std::vector<std::string> TrackPaths(const std::string& naming, const DiscNames& names,
                                    const std::string& prefix, const std::vector<int>& numbers,
                                    const std::string& extension) {
    const std::vector<std::string> parts = Components(naming);
    const std::size_t room = extension.size() < 255 ? 255 - extension.size() : 0;
    std::vector<std::string> paths;
    std::set<std::string> taken;
    for (int number : numbers) {
        std::string folders;
        for (std::size_t i = 0; i + 1 < parts.size(); ++i) {
            folders += SafeName(Expand(parts[i], names, prefix, number)) + "/";
        }
        const std::string file = Expand(parts.back(), names, prefix, number);
        std::string path = folders + SafeName(file, room) + extension;
        for (int copy = 2; taken.count(Lowered(path)) != 0; ++copy) {
            const std::string suffix = " (" + std::to_string(copy) + ")";
            path = folders + SafeName(file, room - suffix.size()) + suffix + extension;
        }
        taken.insert(Lowered(path));
        paths.push_back(path);
    }
    return paths;
}

} // namespace vindral::output

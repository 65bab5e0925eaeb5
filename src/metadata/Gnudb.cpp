// GnuDB through the CDDB protocol over HTTP (level 6: UTF-8): `cddb query`
// with the disc's CDDB ID, track starts and length, then `cddb read` of the
// first match. The greeting names the program only, never the user or host.
#include <algorithm>
#include <cctype>
#include <map>
#include <sstream>

#include "metadata/Services.h"

namespace vindral::metadata::detail {

namespace {

std::vector<std::string> AnswerLines(const std::string& body) {
    std::vector<std::string> lines;
    std::istringstream in(body);
    for (std::string line; std::getline(in, line);) {
        if (!line.empty() && line.back() == '\r') {
            line.pop_back();
        }
        lines.push_back(line);
    }
    return lines;
}

int Code(const std::string& line) {
    if (line.size() < 3 || !std::isdigit(static_cast<unsigned char>(line[0])) ||
        !std::isdigit(static_cast<unsigned char>(line[1])) ||
        !std::isdigit(static_cast<unsigned char>(line[2]))) {
        return 0;
    }
    return std::stoi(line.substr(0, 3));
}

bool PlainWord(const std::string& word) {
    if (word.empty() || word.size() > 32) {
        return false;
    }
    for (char c : word) {
        if (!std::isalnum(static_cast<unsigned char>(c))) {
            return false;
        }
    }
    return true;
}

std::string Unescape(const std::string& value) {
    std::string text;
    for (std::size_t i = 0; i < value.size(); ++i) {
        if (value[i] == '\\' && i + 1 < value.size()) {
            const char next = value[++i];
            text += next == 'n' ? '\n' : next == 't' ? '\t' : next;
        } else {
            text += value[i];
        }
    }
    return text;
}

// Artist and title of "Artist / Title"; without the separator, the title.
void SplitTitle(const std::string& text, std::string& artist, std::string& title) {
    const auto slash = text.find(" / ");
    if (slash == std::string::npos) {
        title = text;
        return;
    }
    artist = text.substr(0, slash);
    title = text.substr(slash + 3);
}

std::string Request(const LookupOptions& options, const std::string& command) {
    const std::string base = options.gnudbUrl.empty() ? kDefaultGnudbUrl : options.gnudbUrl;
    return net::JoinUrl(base, "~cddb/cddb.cgi") + "?cmd=" + command +
           "&hello=vindral+localhost+Vindral+" VINDRAL_VERSION "&proto=6";
}

} // namespace

GnudbResult ReadGnudbQuery(const std::string& body, std::string& category, std::string& discId,
                           std::string& note) {
    const std::vector<std::string> lines = AnswerLines(body);
    const int code = lines.empty() ? 0 : Code(lines.front());
    if (code == 202) {
        return GnudbResult::NotFound;
    }
    // 200: one exact match on the status line; 210 and 211: a list of
    // matches up to ".", the first taken.
    std::string match;
    if (code == 200) {
        match = lines.front().substr(std::min<std::size_t>(4, lines.front().size()));
    } else if ((code == 210 || code == 211) && lines.size() > 1 && lines[1] != ".") {
        match = lines[1];
    } else {
        note = "GnuDB gave an answer that cannot be read";
        return GnudbResult::Failed;
    }
    std::istringstream words(match);
    category.clear();
    discId.clear();
    words >> category >> discId;
    if (!PlainWord(category) || !PlainWord(discId)) {
        note = "GnuDB gave an answer that cannot be read";
        return GnudbResult::Failed;
    }
    return GnudbResult::Found;
}

GnudbResult ReadGnudbEntry(const std::string& body, const accuracy::DiscToc& toc, Release& release,
                           std::string& note) {
    const std::vector<std::string> lines = AnswerLines(body);
    if (lines.empty() || Code(lines.front()) != 210) {
        note = "GnuDB gave an entry that cannot be read";
        return GnudbResult::Failed;
    }
    // KEY=value lines; a key repeated continues its value.
    std::map<std::string, std::string> values;
    for (std::size_t k = 1; k < lines.size() && lines[k] != "."; ++k) {
        const std::string& line = lines[k];
        if (line.empty() || line[0] == '#') {
            continue;
        }
        const auto equals = line.find('=');
        if (equals != std::string::npos) {
            values[line.substr(0, equals)] += line.substr(equals + 1);
        }
    }
    release = Release{};
    SplitTitle(Unescape(values["DTITLE"]), release.albumArtist, release.album);
    release.date = Unescape(values["DYEAR"]);
    release.genre = Unescape(values["DGENRE"]);
    const bool various = release.albumArtist.rfind("Various", 0) == 0;
    for (std::size_t k = 0; k < toc.tracks.size(); ++k) {
        const auto it = values.find("TTITLE" + std::to_string(k));
        if (it == values.end() || toc.tracks[k].data) {
            continue;
        }
        TrackMetadata track;
        track.number = toc.tracks[k].number;
        const std::string title = Unescape(it->second);
        if (various) {
            SplitTitle(title, track.artist, track.title);
        } else {
            track.title = title;
        }
        release.tracks.push_back(std::move(track));
    }
    if (release.album.empty() && release.tracks.empty()) {
        return GnudbResult::NotFound;
    }
    return GnudbResult::Found;
}

GnudbResult LookUpGnudb(const accuracy::DiscToc& toc, const LookupOptions& options,
                        Release& release, std::string& note) {
    if (toc.tracks.empty()) {
        return GnudbResult::NotFound;
    }
    const std::string id = accuracy::Hex8(accuracy::CddbId(toc));
    std::string query = "cddb+query+" + id + "+" + std::to_string(toc.tracks.size());
    for (const accuracy::DiscTrack& track : toc.tracks) {
        query += "+" + std::to_string(track.start + accuracy::kLeadInSectors);
    }
    query += "+" + std::to_string((toc.leadOut + accuracy::kLeadInSectors) / 75);

    auto get = [&options, &note](const std::string& command, std::string& body) {
        net::HttpAnswer answer = net::HttpGet(Request(options, command),
                                              net::kRequestTimeoutSeconds, options.cancel);
        if (answer.outcome != net::HttpAnswer::Outcome::Ok) {
            note = "GnuDB could not be reached (" +
                   (answer.outcome == net::HttpAnswer::Outcome::NotFound ? std::string("HTTP status 404")
                                                                        : answer.reason) +
                   ")";
            return false;
        }
        body = std::move(answer.body);
        return true;
    };
    std::string body;
    if (!get(query, body)) {
        return GnudbResult::Failed;
    }
    std::string category;
    std::string discId;
    const GnudbResult matched = ReadGnudbQuery(body, category, discId, note);
    if (matched != GnudbResult::Found) {
        return matched;
    }
    if (!get("cddb+read+" + category + "+" + discId, body)) {
        return GnudbResult::Failed;
    }
    return ReadGnudbEntry(body, toc, release, note);
}

} // namespace vindral::metadata::detail

#include "accuracy/CtdbAnswer.h"

#include <charconv>

#include <pugixml.hpp>

namespace vindral::accuracy {

namespace {

// Element names without their namespace prefix.
std::string_view LocalName(const pugi::xml_node& node) {
    std::string_view name = node.name();
    const std::size_t colon = name.find(':');
    return colon == std::string_view::npos ? name : name.substr(colon + 1);
}

bool ParseHex(std::string_view text, uint32_t& value) {
    if (text.empty() || text.size() > 8) {
        return false;
    }
    const auto [end, ec] = std::from_chars(text.data(), text.data() + text.size(), value, 16);
    return ec == std::errc() && end == text.data() + text.size();
}

bool ParseCount(std::string_view text, int& value) {
    if (text.empty()) {
        return false;
    }
    const auto [end, ec] = std::from_chars(text.data(), text.data() + text.size(), value, 10);
    return ec == std::errc() && end == text.data() + text.size() && value >= 0;
}

// The repair fields of an entry; an entry without `npar` has no parity.
bool ParseParityFields(const pugi::xml_node& node, CtdbEntry& entry, std::string& error) {
    const std::string_view npar = node.attribute("npar").value();
    if (npar.empty()) {
        return true;
    }
    int stride = 0;
    if (!ParseCount(npar, entry.npar) || entry.npar > 256 ||
        !ParseCount(node.attribute("stride").value(), stride) || stride == 0 || stride > (1 << 20)) {
        error = "CTDB answer entry '" + entry.id + "' with an unreadable npar or stride";
        return false;
    }
    entry.stride = static_cast<uint32_t>(stride);
    entry.parityUrl = node.attribute("hasparity").value();
    std::vector<uint8_t> bytes;
    if (!DecodeBase64(node.attribute("syndrome").value(), bytes) || bytes.size() % 2 != 0 ||
        bytes.size() > 2 * static_cast<std::size_t>(entry.npar)) {
        error = "CTDB answer entry '" + entry.id + "' with an unreadable syndrome";
        return false;
    }
    for (std::size_t i = 0; i + 1 < bytes.size(); i += 2) {
        entry.syndrome.push_back(static_cast<uint16_t>(bytes[i] | bytes[i + 1] << 8));
    }
    return true;
}

} // namespace

bool DecodeBase64(std::string_view text, std::vector<uint8_t>& bytes) {
    bytes.clear();
    uint32_t bits = 0;
    int count = 0;
    while (!text.empty() && text.back() == '=') {
        text.remove_suffix(1);
    }
    for (char c : text) {
        uint32_t value = 0;
        if (c >= 'A' && c <= 'Z') {
            value = static_cast<uint32_t>(c - 'A');
        } else if (c >= 'a' && c <= 'z') {
            value = static_cast<uint32_t>(c - 'a' + 26);
        } else if (c >= '0' && c <= '9') {
            value = static_cast<uint32_t>(c - '0' + 52);
        } else if (c == '+') {
            value = 62;
        } else if (c == '/') {
            value = 63;
        } else {
            return false;
        }
        bits = (bits << 6 | value) & 0xffffff;
        count += 6;
        if (count >= 8) {
            count -= 8;
            bytes.push_back(static_cast<uint8_t>(bits >> count));
        }
    }
    return count < 6; // a lone last digit carries no byte
}

std::optional<std::vector<CtdbEntry>> ParseCtdbAnswer(std::string_view xml, std::string& error) {
    pugi::xml_document document;
    const pugi::xml_parse_result parsed = document.load_buffer(xml.data(), xml.size());
    if (!parsed) {
        error = std::string("malformed CTDB answer: ") + parsed.description() + " at byte " +
                std::to_string(parsed.offset);
        return std::nullopt;
    }
    const pugi::xml_node root = document.document_element();
    if (LocalName(root) != "ctdb") {
        error = "unexpected CTDB answer: root element '" + std::string(root.name()) + "'";
        return std::nullopt;
    }
    std::vector<CtdbEntry> entries;
    for (pugi::xml_node node : root.children()) {
        if (node.type() != pugi::node_element || LocalName(node) != "entry") {
            continue;
        }
        CtdbEntry entry;
        entry.id = node.attribute("id").value();
        entry.toc = node.attribute("toc").value();
        if (!ParseCount(node.attribute("confidence").value(), entry.confidence)) {
            error = "CTDB answer entry '" + entry.id + "' without a readable confidence";
            return std::nullopt;
        }
        const std::string_view crc = node.attribute("crc32").value();
        if (!crc.empty() && !ParseHex(crc, entry.crc32)) {
            error = "CTDB answer entry '" + entry.id + "' with an unreadable crc32";
            return std::nullopt;
        }
        if (!ParseParityFields(node, entry, error)) {
            return std::nullopt;
        }
        std::string_view crcs = node.attribute("trackcrcs").value();
        while (!crcs.empty()) {
            const std::size_t skip = crcs.find_first_not_of(" \t\r\n");
            if (skip == std::string_view::npos) {
                break;
            }
            crcs.remove_prefix(skip);
            const std::size_t length = crcs.find_first_of(" \t\r\n");
            const std::string_view word = crcs.substr(0, length);
            uint32_t value = 0;
            if (!ParseHex(word, value)) {
                error = "CTDB answer entry '" + entry.id + "' with an unreadable track CRC '" +
                        std::string(word) + "'";
                return std::nullopt;
            }
            entry.trackCrcs.push_back(value);
            crcs.remove_prefix(word.size());
        }
        entries.push_back(std::move(entry));
    }
    return entries;
}

CtdbMatch MatchCtdb(const std::vector<CtdbEntry>& entries, std::size_t trackIndex, uint32_t crc) {
    CtdbMatch match;
    for (const CtdbEntry& entry : entries) {
        match.total += entry.confidence;
        if (trackIndex >= entry.trackCrcs.size()) {
            continue;
        }
        ++match.entries;
        if (entry.trackCrcs[trackIndex] == crc && entry.confidence > match.confidence) {
            match.accurate = true;
            match.confidence = entry.confidence;
        }
    }
    return match;
}

} // namespace vindral::accuracy

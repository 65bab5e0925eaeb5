// Any READ TOC answer, of any length, must give a sane track table; the
// same bytes as a full TOC, CD-Text or a Q frame must decode without harm.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <vector>

#include "drive/CdText.h"
#include "drive/DriveSearch.h"
#include "drive/SubChannel.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, std::size_t size) {
    // Copy into a buffer of exactly the input's size, so reads past it are caught.
    std::vector<uint8_t> answer(data, data + size);
    vindral::TrackTable table;
    const int rows = vindral::ParseTocAnswer(answer.empty() ? nullptr : answer.data(),
                                             answer.size(), table);
    if (rows < 0 || rows > vindral::kMaxTracks || rows != table.count) {
        std::abort();
    }
    // The same bytes as a multi-session answer may shorten one audio track,
    // never below one sector.
    vindral::TrackTable before = table;
    vindral::ApplySessionInfo(answer.empty() ? nullptr : answer.data(), answer.size(), table);
    for (int k = 0; k < rows; ++k) {
        const auto& entry = table.entries[static_cast<std::size_t>(k)];
        if (entry.length < 0 || entry.start < 0 || (entry.dataTrack != 0 && entry.dataTrack != 1)) {
            std::abort();
        }
        const auto& old = before.entries[static_cast<std::size_t>(k)];
        if (entry.length > old.length || (entry.length != old.length && entry.length < 1)) {
            std::abort();
        }
    }
    // The same bytes as a full TOC, a CD-Text answer and a Q frame.
    const uint8_t* bytes = answer.empty() ? nullptr : answer.data();
    if (const auto full = vindral::ParseFullToc(bytes, answer.size())) {
        for (const auto& session : full->sessions) {
            if (session.lastTrack < session.firstTrack) {
                std::abort();
            }
        }
    }
    for (const auto& block : vindral::DecodeCdText(bytes, answer.size())) {
        if (block.number < 0 || block.number > 7) {
            std::abort();
        }
    }
    if (answer.size() >= 12) {
        if (const auto q = vindral::DecodeQ(answer.data())) {
            if (q->adr > 15 || (!q->isrc.empty() && !vindral::ValidIsrc(q->isrc))) {
                std::abort();
            }
        }
    }
    return 0;
}

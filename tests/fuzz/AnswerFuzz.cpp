// Fuzz target of the readers of the network's answers (MusicBrainz, GnuDB,
// the CTDB lookup and parity download, cover images): the first byte of the
// input chooses the reader (see AnswerFeed.h). Any answer must be read or
// refused without harm, and what is read must keep the reader's promises.
#include <cstddef>
#include <cstdint>
#include <cstdio>

#include "AnswerFeed.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, std::size_t size) {
    const vindral::fuzz::Fed fed = vindral::fuzz::FeedAnswer(data, size);
    if (!fed.broken.empty()) {
        std::fprintf(stderr, "broken promise: %s\n", fed.broken.c_str());
        __builtin_trap();
    }
    return 0;
}

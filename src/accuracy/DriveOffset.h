// The read-offset search of a drive as both front ends run it: the disc in
// the drive is read for the search, against an AccurateRip answer at hand or
// one fetched from the database (through the answer cache), and the result
// is put into the lines both front ends show.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "accuracy/DatabaseLookup.h"
#include "accuracy/OffsetFinder.h"
#include "drive/CdTypes.h"

namespace vindral {
struct TrackTable;
}

namespace vindral::net {
class AnswerCache;
}

namespace vindral::accuracy {

// Searches with the answer's bytes (a dBAR file).
OffsetSearch SearchDriveOffset(CdDevice device, const TrackTable& table, const uint8_t* dbar,
                               std::size_t size);

struct DriveOffsetLookup {
    AccurateRipLookup lookup; // how the database answered
    OffsetSearch search;      // with lookup.state Found: the search itself
};

// Asks the AccurateRip database under `baseUrl` for the disc's answer (a
// cached answer first) and, when it has the disc, searches with it.
DriveOffsetLookup FindDriveOffsetInDatabase(CdDevice device, const TrackTable& table,
                                            const std::string& baseUrl,
                                            const net::AnswerCache& cache);

// The lines that tell the result: "Read offset +667: 3 of 3 tracks agree"
// per matching offset, most agreeing first; or "No read offset matches (3 of
// 3 tracks compared)". Empty when the search has an error.
std::vector<std::string> OffsetSearchLines(const OffsetSearch& search);

// The line for a database that did not give an answer to search with:
// "AccurateRip: not in database", "AccurateRip: database not reachable
// (<reason>)" or "AccurateRip: unusable answer, not used (<reason>)".
std::string OffsetLookupLine(const AccurateRipLookup& lookup);

} // namespace vindral::accuracy

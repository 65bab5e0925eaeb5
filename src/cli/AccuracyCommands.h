// vindral-cli's disc-ID and rip-log commands, kept apart from the rest of
// the command line.
#pragma once

#include <cstddef>
#include <cstdint>
#include <iosfwd>
#include <memory>
#include <string>

#include "drive/DriveSearch.h"
#include "extract/RunProtocol.h"

namespace vindral::cli {

// `ids`: the four disc IDs of a table of contents, one line each.
int PrintDiscIds(const TrackTable& table, std::ostream& out, std::ostream& err);

// `offset find`: reads the disc in `device` for the offset search against
// the AccurateRip answer in the file `dbarPath`; 0 when an offset matches.
int FindOffsetCommand(CdDevice device, const TrackTable& table, const std::string& dbarPath,
                      std::ostream& out, std::ostream& err);

// The same with the answer's bytes at hand; prints one line per matching
// offset ("Read offset +667: 9 of 11 tracks agree").
int FindOffsetWithAnswer(CdDevice device, const TrackTable& table, const uint8_t* dbar,
                         std::size_t size, std::ostream& out, std::ostream& err);

// `offset find` without an answer at hand: fetches the disc's AccurateRip
// answer from the database under `baseUrl` (empty: the public one), through
// the answer cache, and searches with it. A disc the database does not know,
// or a database that cannot be asked, is one line ("AccurateRip: not in
// database", "AccurateRip: database not reachable (<reason>)") and 1.
int FindOffsetInDatabase(CdDevice device, const TrackTable& table, const std::string& baseUrl,
                         std::ostream& out, std::ostream& err);

// What `log verify` says after the file's name.
inline constexpr const char* kLogChecksumMatches =
    "checksum matches: the log is as it was written, or was rewritten with its checksum";
inline constexpr const char* kLogChecksumDiffers =
    "checksum does not match: the log was changed after it was written";
inline constexpr const char* kLogWithoutChecksum =
    "no checksum: the last line is not a rip log's checksum line";

// `log verify FILE`: 0 when the checksum on the log's last line is that of
// the text above it, 1 when it is not, the log has none or cannot be read.
int VerifyLogCommand(const std::string& path, std::ostream& out, std::ostream& err);

// What `rip --accurate` and `--verify=auto` ask for.
struct RipCheckOptions {
    bool accurate = false;      // look the disc up and report every track
    bool skipConfirmed = false; // --verify=auto
    std::string accurateRipUrl; // empty: the public database
    std::string ctdbUrl;        // empty: the public database
};

// What the rip log says about the drive and how it was read.
struct RipLogContext {
    std::string drive;
    std::string readMethod;
    std::string speed;
    int readOffset = 0; // samples
    std::string names;  // where the names came from ("MusicBrainz, release ..."), or empty
};

// The accuracy checks of one rip, as the command line runs them.
class RipChecks {
public:
    virtual ~RipChecks() = default;
    // Follows the run's passes; set it on the RunProtocol before Open.
    virtual PassObserver* Observer() = 0;
    // A track was found in a database and matched none of its entries.
    virtual bool NotAccurate() const = 0;
    // Writes the rip log with its checksum; false with `error` set
    // ("<path>: <reason>").
    virtual bool WriteLog(const std::string& path, const RipLogContext& context,
                          std::string& error) const = 0;
};

// Looks the disc up (before the first read) and returns the checks; nullptr
// with `error` set where this build has no accuracy checks.
std::unique_ptr<RipChecks> StartRipChecks(const RipCheckOptions& options, const TrackTable& table,
                                          const ExtractJob& job, std::string& error);

} // namespace vindral::cli

#include "cli/AccuracyCommands.h"

#include <cerrno>
#include <cstring>
#include <cstdio>
#include <fstream>
#include <iterator>
#include <ostream>
#include <sstream>
#include <string>

#include "cli/Cli.h"

#if defined(VINDRAL_HAVE_ACCURACY)
#include <ctime>

#include "accuracy/DiscIds.h"
#include "accuracy/DriveOffset.h"
#include "accuracy/RipAccuracy.h"
#include "accuracy/RipLog.h"
#include "net/HttpClient.h"
#include "platform/FileSysCalls.h"
#include "platform/OutputFile.h"
#endif

namespace vindral::cli {

#if defined(VINDRAL_HAVE_ACCURACY)

int PrintDiscIds(const TrackTable& table, std::ostream& out, std::ostream&) {
    const accuracy::DiscToc toc = accuracy::DiscTocFromTable(table);
    out << "AccurateRip: " << accuracy::AccurateRipIdOf(toc).Text() << "\n"
        << "CDDB: " << accuracy::Hex8(accuracy::CddbId(toc)) << "\n"
        << "MusicBrainz: " << accuracy::MusicBrainzId(toc) << "\n"
        << "CTDB: " << accuracy::CtdbTocId(toc) << "\n";
    return kExitOk;
}

namespace {

// Prints a finished search; 0 when an offset matches.
int ReportOffsetSearch(const accuracy::OffsetSearch& search, std::ostream& out,
                       std::ostream& err) {
    if (!search.error.empty()) {
        err << "vindral-cli: " << search.error << "\n";
        return kExitFailed;
    }
    for (const std::string& line : accuracy::OffsetSearchLines(search)) {
        out << line << "\n";
    }
    return search.candidates.empty() ? kExitFailed : kExitOk;
}

} // namespace

int FindOffsetWithAnswer(CdDevice device, const TrackTable& table, const uint8_t* dbar,
                         std::size_t size, std::ostream& out, std::ostream& err) {
    return ReportOffsetSearch(accuracy::SearchDriveOffset(device, table, dbar, size), out, err);
}

int FindOffsetInDatabase(CdDevice device, const TrackTable& table, const std::string& baseUrl,
                         std::ostream& out, std::ostream& err) {
    const net::AnswerCache cache(net::DefaultCacheFolder());
    const std::string base = baseUrl.empty() ? accuracy::kDefaultAccurateRipUrl : baseUrl;
    const accuracy::DriveOffsetLookup found =
        accuracy::FindDriveOffsetInDatabase(device, table, base, cache);
    if (found.lookup.state != accuracy::LookupState::Found) {
        out << accuracy::OffsetLookupLine(found.lookup) << "\n";
        return kExitFailed;
    }
    return ReportOffsetSearch(found.search, out, err);
}

int FindOffsetCommand(CdDevice device, const TrackTable& table, const std::string& dbarPath,
                      std::ostream& out, std::ostream& err) {
    const platform::WholeFile file = platform::ReadWholeFile(dbarPath, net::kMaxAnswerBytes);
    if (!file.ok) {
        err << "vindral-cli: cannot read " << file.error << "\n";
        return kExitFailed;
    }
    const std::string& bytes = file.text;
    return FindOffsetWithAnswer(device, table, reinterpret_cast<const uint8_t*>(bytes.data()),
                                bytes.size(), out, err);
}

int VerifyLogCommand(const std::string& path, std::ostream& out, std::ostream& err) {
    // A FIFO, a device or a huge file at the path is refused, never waited
    // on or read without end.
    const platform::WholeFile file = platform::ReadWholeFile(path, accuracy::kMaxRipLogBytes);
    if (!file.ok) {
        err << "vindral-cli: cannot read " << file.error << "\n";
        return kExitFailed;
    }
    switch (accuracy::VerifyRipLog(file.text)) {
    case accuracy::RipLogState::Matches:
        out << path << ": " << kLogChecksumMatches << "\n";
        return kExitOk;
    case accuracy::RipLogState::Differs:
        out << path << ": " << kLogChecksumDiffers << "\n";
        return kExitFailed;
    case accuracy::RipLogState::NoChecksum:
        out << path << ": " << kLogWithoutChecksum << "\n";
        return kExitFailed;
    }
    return kExitFailed;
}

namespace {

class AccuracyChecks : public RipChecks {
public:
    AccuracyChecks(const TrackTable& table, const ExtractJob& job,
                   accuracy::RipAccuracyOptions options)
        : accuracy_(table, job, std::move(options)) {}

    void LookUp() { accuracy_.LookUp(&interrupted); }
    PassObserver* Observer() override { return &accuracy_; }
    bool NotAccurate() const override { return accuracy_.AnyNotAccurate(); }

    bool WriteLog(const std::string& path, const RipLogContext& context,
                  std::string& error) const override {
        accuracy::RipLogData data = accuracy_.LogData();
        data.version = VINDRAL_VERSION;
        data.date = accuracy::UtcDateText();
        data.drive = context.drive;
        data.readOffset = context.readOffset;
        data.readMethod = context.readMethod;
        data.speed = context.speed;
        data.names = context.names;
        return platform::WriteWholeFile(path, accuracy::RenderRipLog(data), error);
    }

private:
    accuracy::RipAccuracy accuracy_;
};

} // namespace

std::unique_ptr<RipChecks> StartRipChecks(const RipCheckOptions& options, const TrackTable& table,
                                          const ExtractJob& job, std::string&) {
    accuracy::RipAccuracyOptions settings;
    if (!options.accurateRipUrl.empty()) {
        settings.accurateRipUrl = options.accurateRipUrl;
    }
    if (!options.ctdbUrl.empty()) {
        settings.ctdbUrl = options.ctdbUrl;
    }
    settings.cacheFolder = net::DefaultCacheFolder();
    settings.skipConfirmed = options.skipConfirmed;
    auto checks = std::make_unique<AccuracyChecks>(table, job, std::move(settings));
    checks->LookUp();
    return checks;
}

#else

std::unique_ptr<RipChecks> StartRipChecks(const RipCheckOptions&, const TrackTable&,
                                          const ExtractJob&, std::string& error) {
    error = "accuracy checks are not part of this build";
    return nullptr;
}

int PrintDiscIds(const TrackTable&, std::ostream&, std::ostream& err) {
    err << "vindral-cli: disc IDs are not part of this build\n";
    return kExitUsage;
}

int FindOffsetWithAnswer(CdDevice, const TrackTable&, const uint8_t*, std::size_t,
                         std::ostream&, std::ostream& err) {
    err << "vindral-cli: the read-offset search is not part of this build\n";
    return kExitUsage;
}

int FindOffsetCommand(CdDevice, const TrackTable&, const std::string&, std::ostream&,
                      std::ostream& err) {
    err << "vindral-cli: the read-offset search is not part of this build\n";
    return kExitUsage;
}

int FindOffsetInDatabase(CdDevice, const TrackTable&, const std::string&, std::ostream&,
                         std::ostream& err) {
    err << "vindral-cli: the read-offset search is not part of this build\n";
    return kExitUsage;
}

int VerifyLogCommand(const std::string&, std::ostream&, std::ostream& err) {
    err << "vindral-cli: rip logs are not part of this build\n";
    return kExitUsage;
}

#endif

} // namespace vindral::cli

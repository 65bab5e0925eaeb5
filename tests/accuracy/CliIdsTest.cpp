// vindral-cli ids and log verify, end to end over the emulated drive.
#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <regex>
#include <sstream>

#include <sys/stat.h>
#include <unistd.h>

#include "cli/CliRun.h"
#include "accuracy/AccuracyTestData.h"
#include "accuracy/RipLog.h"
#include "cli/Cli.h"
#include "drive/Transport.h"

namespace vindral {
namespace {

using Result = test::CliResult;

Result RunCommand(std::vector<std::string> args) { return test::RunCli(std::move(args)); }

// The demo disc's IDs computed again in Python from its table of contents
// (five audio tracks, then a data track in the same session).
const char* const kDemoIds = R"(
import hashlib, base64
starts = [0, 2400, 4320, 6423, 8023, 10583]; lead = 11783; audio = starts[:5]
def b64(text):
    d = base64.b64encode(hashlib.sha1(text.encode()).digest()).decode()
    return d.replace('+', '.').replace('/', '_').replace('=', '-')
n = sum(sum(int(c) for c in str((s + 150) // 75)) for s in starts)
cddb = (n % 255) << 24 | ((lead + 150) // 75 - 2) << 8 | len(starts)
id1 = sum(audio) + lead
id2 = sum(max(s, 1) * (i + 1) for i, s in enumerate(audio)) + lead * (len(audio) + 1)
mb = '%02X%02X%08X' % (1, 6, lead + 150) + ''.join('%08X' % (s + 150) for s in starts) + '0' * 8 * 93
ct = ''.join('%08X' % s for s in audio[1:]) + '%08X' % starts[5] + '0' * 8 * 95
print('AccurateRip: %03d-%08x-%08x-%08x' % (5, id1, id2, cddb))
print('CDDB: %08x' % cddb)
print('MusicBrainz: ' + b64(mb))
print('CTDB: ' + b64(ct))
)";

TEST(CliIds, FourLinesForTheDemoDisc) {
    const Result result = RunCommand({"ids", "--demo"});
    ASSERT_EQ(result.status, 0) << result.err;
    const std::regex shape("AccurateRip: 005-[0-9a-f]{8}-[0-9a-f]{8}-([0-9a-f]{8})\n"
                           "CDDB: ([0-9a-f]{8})\n"
                           "MusicBrainz: [A-Za-z0-9._-]{27}-\n"
                           "CTDB: [A-Za-z0-9._-]{27}-\n");
    std::smatch m;
    ASSERT_TRUE(std::regex_match(result.out, m, shape)) << result.out;
    EXPECT_EQ(m[1], m[2]);
    EXPECT_EQ(m[2], "37009d06");
    if (accuracy::testing::HavePython()) {
        EXPECT_EQ(result.out, accuracy::testing::RunPython(kDemoIds, {}));
    }
    EXPECT_EQ(RunCommand({"ids", "--demo", "--drive", "3"}).status, 2);
    EXPECT_EQ(RunCommand({"ids", "--demo", "--tracks", "1"}).status, 2);
}

TEST(CliIds, LogVerify) {
    const std::filesystem::path folder =
        std::filesystem::temp_directory_path() / ("vindral-logverify-" + std::to_string(getpid()));
    std::filesystem::create_directories(folder);
    accuracy::RipLogData data;
    data.version = "0.2";
    data.tracks.push_back({});
    const std::string log = accuracy::RenderRipLog(data);
    const std::string path = (folder / "Track.log").string();
    std::ofstream(path, std::ios::binary) << log;
    Result result = RunCommand({"log", "verify", path});
    EXPECT_EQ(result.status, 0) << result.err;
    EXPECT_EQ(result.out, path + ": checksum matches: the log is as it was written, or was "
                                 "rewritten with its checksum\n");

    std::string changed = log;
    changed[changed.find("version 0.2")] = 'V';
    std::ofstream(path, std::ios::binary | std::ios::trunc) << changed;
    result = RunCommand({"log", "verify", path});
    EXPECT_EQ(result.status, 1);
    EXPECT_EQ(result.out,
              path + ": checksum does not match: the log was changed after it was written\n");

    std::ofstream(path, std::ios::binary | std::ios::trunc) << "just text\n";
    result = RunCommand({"log", "verify", path});
    EXPECT_EQ(result.status, 1);
    EXPECT_EQ(result.out,
              path + ": no checksum: the last line is not a rip log's checksum line\n");

    result = RunCommand({"log", "verify", (folder / "missing.log").string()});
    EXPECT_EQ(result.status, 1);
    EXPECT_NE(result.err.find("missing.log"), std::string::npos);

    // What is not a regular file of a log's size is refused at once, never
    // waited on (a FIFO) or read without end (a device).
    const std::string fifo = (folder / "fifo.log").string();
    ASSERT_EQ(::mkfifo(fifo.c_str(), 0600), 0);
    const std::string large = (folder / "large.log").string();
    std::ofstream(large, std::ios::binary) << log;
    std::filesystem::resize_file(large, accuracy::kMaxRipLogBytes + 1);
    const std::pair<std::string, std::string> refused[] = {
        {fifo, "not a regular file"},
        {"/dev/zero", "not a regular file"},
        {large, "larger than 1048576 bytes"},
    };
    for (const auto& [file, reason] : refused) {
        result = RunCommand({"log", "verify", file});
        EXPECT_EQ(result.status, 1) << file;
        EXPECT_EQ(result.err, "vindral-cli: cannot read " + file + ": " + reason + "\n");
    }

    EXPECT_EQ(RunCommand({"log"}).status, 2);
    EXPECT_EQ(RunCommand({"log", "check", path}).status, 2);
    EXPECT_EQ(RunCommand({"log", "verify"}).status, 2);
    EXPECT_EQ(RunCommand({"log", "verify", path, "extra"}).status, 2);
    std::filesystem::remove_all(folder);
}

} // namespace
} // namespace vindral

// The CTDB parity code: the values the database's own parity tests assert
// for their generated images, and the encoder against the decoder over
// random damage up to and past the code's capacity.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdlib>
#include <random>

#include "accuracy/CtdbParity.h"
#include "accuracy/DatabaseLookup.h"
#include "extract/RunHarness.h"
#include "net/HttpClient.h"
#include "net/LocalHttpServer.h"

namespace vindral::accuracy {
namespace {

// The seeded generator of the .NET runtime (System.Random with a seed:
// Knuth's subtractive method, 55 state words), which those tests draw
// their audio and damage from.
class SubtractiveRandom {
public:
    explicit SubtractiveRandom(int seed) {
        int mj = 161803398 - std::abs(seed), mk = 1;
        state_[55] = mj;
        for (int i = 1; i < 55; ++i) {
            const int ii = 21 * i % 55;
            state_[ii] = mk;
            mk = Wrap(mj - mk);
            mj = state_[ii];
        }
        for (int k = 1; k < 5; ++k) {
            for (int i = 1; i < 56; ++i) {
                state_[i] = Wrap(state_[i] - state_[1 + (i + 30) % 55]);
            }
        }
    }
    int Sample() {
        next_ = next_ % 55 + 1;
        nextP_ = nextP_ % 55 + 1;
        const int value = state_[next_] - state_[nextP_];
        return state_[next_] = Wrap(value == kBig ? value - 1 : value);
    }
    uint8_t Byte() { return static_cast<uint8_t>(Sample() % 256); }
    int Next(int min, int max) { return static_cast<int>(Sample() * (1.0 / kBig) * (max - min)) + min; }

private:
    static constexpr int kBig = 2147483647;
    static int Wrap(int v) { return v < 0 ? v + kBig : v; }
    int state_[56] = {};
    int next_ = 0;
    int nextP_ = 21;
};

// Their test image: `samples` of noise from Random(seed) that begin
// `skip` samples into its stream, with `errors` samples damaged.
std::vector<uint8_t> NoiseImage(uint64_t samples, int seed, uint64_t skip, int errors) {
    SubtractiveRandom noise(seed);
    for (uint64_t i = 0; i < skip * 4; ++i) {
        noise.Sample();
    }
    std::vector<uint8_t> pcm(samples * 4);
    for (uint8_t& b : pcm) {
        b = noise.Byte();
    }
    SubtractiveRandom where(seed);
    std::vector<int> at(static_cast<std::size_t>(errors));
    for (int& e : at) {
        e = where.Next(0, static_cast<int>(samples));
    }
    std::sort(at.begin(), at.end());
    SubtractiveRandom flips(seed);
    for (int e : at) {
        for (int i = 0; i < 4; ++i) {
            pcm[static_cast<std::size_t>(e) * 4 + i] ^= static_cast<uint8_t>(flips.Next(1, 255));
        }
    }
    return pcm;
}

std::vector<uint8_t> Base64(const std::string& text) {
    std::vector<uint8_t> bytes;
    EXPECT_TRUE(DecodeBase64(text, bytes));
    return bytes;
}

// Syndromes of the first `columns` columns as their tests print them:
// row j of every column, then row j + 1, little-endian words.
std::vector<uint8_t> RowBytes(const std::vector<uint16_t>& syn, int npar, int columns) {
    std::vector<uint8_t> out;
    for (int j = 0; j < npar; ++j) {
        for (int c = 0; c < columns; ++c) {
            const uint16_t w = syn[static_cast<std::size_t>(c) * npar + j];
            out.push_back(static_cast<uint8_t>(w));
            out.push_back(static_cast<uint8_t>(w >> 8));
        }
    }
    return out;
}

CtdbRipSyndromes SyndromesOf(const std::vector<uint8_t>& pcm, uint32_t strideSamples,
                             std::size_t piece = 0) {
    std::string error;
    const auto layout = CtdbLayoutFor(pcm.size() / 4, strideSamples, error);
    EXPECT_TRUE(layout) << error;
    CtdbSyndromeCalculator calculator(*layout);
    // Uneven pieces, words and samples cut in two.
    std::size_t at = 0;
    for (std::size_t n = 1; at < pcm.size(); n = n * 7 % 100003 + 1) {
        const std::size_t size = std::min(pcm.size() - at, piece == 0 ? n : piece);
        EXPECT_FALSE(calculator.Finish());
        calculator.Add(pcm.data() + at, size);
        at += size;
    }
    auto sums = calculator.Finish();
    EXPECT_TRUE(sums);
    return *sums;
}

// A pressed disc: its audio, its entry and parity with `npar` syndromes.
struct Pressing {
    std::vector<uint8_t> pcm;
    CtdbEntry entry;
    CtdbParity parity;
};

Pressing Press(std::vector<uint8_t> pcm, uint32_t strideSamples, int npar) {
    Pressing p{std::move(pcm), {}, {}};
    std::string error;
    auto encoded = EncodeCtdbParity(p.pcm.data(), p.pcm.size(), strideSamples, npar, error);
    EXPECT_TRUE(encoded) << error;
    p.entry.id = "7";
    p.entry.npar = npar;
    p.entry.stride = strideSamples;
    p.entry.parityUrl = "/parity/7";
    p.entry.crc32 = encoded->crc;
    p.entry.syndrome = encoded->columnZero;
    // Through the download's bytes and back.
    p.parity = *ParseCtdbParity(CtdbParityBytes(encoded->parity), p.entry, error);
    return p;
}

std::vector<uint8_t> Noise(uint64_t samples, unsigned seed) {
    std::mt19937 random(seed);
    std::vector<uint8_t> pcm(samples * 4);
    for (uint8_t& b : pcm) {
        b = static_cast<uint8_t>(random());
    }
    return pcm;
}

TEST(CtdbParity, ValuesOfTheDatabasesOwnTests) {
    // A 16-bit code with 4 parity words over 512 words of noise.
    SubtractiveRandom random(2314);
    std::vector<uint16_t> words(512);
    for (uint16_t& w : words) {
        const uint8_t lo = random.Byte();
        w = static_cast<uint16_t>(lo | random.Byte() << 8);
    }
    uint16_t syn[4] = {};
    for (int j = 0; j < 4; ++j) {
        for (uint16_t w : words) {
            syn[j] = static_cast<uint16_t>(gf16::Mul(syn[j], gf16::Exp(static_cast<uint32_t>(j))) ^ w);
        }
    }
    EXPECT_EQ(RowBytes(CtdbParityWordsFromSyndromes(syn, 4), 4, 1),
              (std::vector<uint8_t>{193, 3, 222, 151, 9, 2, 128, 246}));

    // A 9801-sector disc of noise that begins 32 sectors into the stream.
    const uint64_t samples = 9801 * 588;
    const std::vector<uint8_t> disc = NoiseImage(samples, 2423, 32 * 588, 0);
    const CtdbRipSyndromes sums = SyndromesOf(disc, kCtdbParityStrideSamples);
    EXPECT_EQ(sums.CrcAt(0), 377539636u);
    const std::pair<int, std::string> shifted[] = {
        {0, "DP5e7sS+kHjtAEb/o599As2tA3puoW+wuWA5hT1cZxCBRs0bU7Ow3jyLb97/pW1Yjt6H3pph7zKa+hFsT6Wct1r7"
            "IciaQ8QUhvzxCof3sJEnJZERL/LnLGrfbjkmdw6wZ0PJjSD5cmwGKFvLpslT/OYwc5M3fbmmFmVDJWRvQdE="},
        {48, "x5gK5qlKM0HjrEEWOVHQX5VRqD0FtDWGqO/JP2ArcdR0yxE04pdR6B06J3iXbKv9CghrqvNiq+AlMAVWr/pm7bp5"
             "s3s+v5Bo3oYpQymmtd0FDKaZ4GQhi9yDu0Vm22j0Cllf5fLPFixhRMCBN/3S3t8IeHtVfmo5Vw0icN7OTHo="},
        {-48, "wDLTEG5XPVhGlH8fuucGl8St2G/jGLyN3dByVGzOWeZ0CzI1M9jJq4DLj8A3XsMh8u80yvCq36SHXU+iO5cpVcfy"
              "iu08pqO1PjPUynqQa/aOcjbFhwjaEZePD42rQCBVdhViBeBEYzMhCTKroorw/Tt0AFC+NlRCMOsUmzSlsRU="},
    };
    for (const auto& [shift, expected] : shifted) {
        SCOPED_TRACE(shift);
        EXPECT_EQ(RowBytes(sums.SyndromesAt(shift, 16, 4), 16, 4), Base64(expected));
    }
    // The classic parity words of the first columns, with 8 and 16 of them.
    const std::pair<int, std::string> parities[] = {
        {8, "jvR9QJ1cSWpqbyP0I0tBrBkQRjCDTDDQkttZGj14ROvsXyg+AnnxVKxL7gwLZbrQmTw5ZPps1Q3744g94qaOOQ=="},
        {16, "gwln1GxlYWH/Jn74PreMLv4aFF2glkScSWVFlxMBx94v5D3/3wPx+2guRLquED0s9tOFikPLiSnAv0Xq8aIQ6Q=="},
    };
    for (const auto& [npar, expected] : parities) {
        const std::vector<uint16_t> syndromes = sums.SyndromesAt(0, npar, 64 / (2 * npar));
        std::vector<uint8_t> bytes;
        for (int c = 0; c < 32 / npar; ++c) {
            const auto words = CtdbParityWordsFromSyndromes(&syndromes[static_cast<std::size_t>(c) * npar], npar);
            const auto b = RowBytes(words, npar, 1);
            bytes.insert(bytes.end(), b.begin(), b.end());
        }
        EXPECT_EQ(bytes, Base64(expected)) << npar;
    }

    // Their damaged copies: a quarter of a row's samples damaged, in the
    // same frame and 48 samples on; found, mended and proven.
    const Pressing pressing = Press(disc, kCtdbParityStrideSamples, 16);
    const CtdbEntry& entry = pressing.entry;
    EXPECT_EQ(entry.crc32, 377539636u);
    for (const auto& [skip, shift] : {std::pair{0, 0}, std::pair{48, -48}}) {
        SCOPED_TRACE(shift);
        std::vector<uint8_t> rip = NoiseImage(samples, 2423, 32 * 588 + skip, 11760 / 4);
        const CtdbRipSyndromes ripSums = SyndromesOf(rip, kCtdbParityStrideSamples, 588 * 4);
        const auto found = FindCtdbShift(ripSums, entry);
        ASSERT_TRUE(found);
        EXPECT_EQ(found->shift, shift);
        const CtdbRepairPlan plan = AnalyseCtdbRepair(ripSums, pressing.parity, entry, found->shift);
        ASSERT_EQ(plan.outcome, CtdbRepairPlan::Outcome::Repairable) << plan.reason;
        EXPECT_EQ(plan.repairedCrc, 377539636u);
        EXPECT_GT(plan.wrongSamples, 2800u);
        EXPECT_LE(plan.wrongSamples, 11760u / 4);
        // Mended in pieces, the rip holds the disc's audio wherever the code reaches.
        std::size_t changed = 0;
        for (std::size_t at = 0; at < rip.size(); at += 588 * 4) {
            changed += ApplyCtdbRepair(plan, at / 4, rip.data() + at, std::min<std::size_t>(588 * 4, rip.size() - at));
        }
        EXPECT_EQ(changed, plan.corrections.size());
        const std::size_t from = 5880 * 4, to = disc.size() - 2 * 5880 * 4;
        EXPECT_TRUE(std::equal(rip.begin() + static_cast<std::ptrdiff_t>(from), rip.begin() + static_cast<std::ptrdiff_t>(to),
                               disc.begin() + static_cast<std::ptrdiff_t>(from + 4 * static_cast<std::size_t>(skip))));
        EXPECT_EQ(SyndromesOf(rip, kCtdbParityStrideSamples, 1 << 20).CrcAt(found->shift), 377539636u);
    }
}

TEST(CtdbParity, EncoderAgainstDecoderOverRandomDamage) {
    constexpr uint32_t kStride = 294; // samples: 588 words, 598 rows on this disc
    constexpr uint64_t kSamples = 300 * 588;
    struct Case {
        int npar;
        int shift;          // the entry's sample p is the rip's p + shift
        int perColumn;      // wrong words in each damaged column
        uint32_t columns;   // damaged columns, from column 0 (or every one)
        bool repairable;
    };
    const Case cases[] = {
        {16, 0, 0, 0, true},       {16, 0, 1, 588, true},    {16, 0, 8, 5, true},
        {16, 37, 8, 3, true},      {16, -200, 3, 50, true},  {8, 0, 4, 10, true},
        {8, 293, 2, 588, true},    {16, 0, 9, 1, false},     {8, 0, 5, 2, false},
        {16, 0, 20, 1, false},     {16, -5, 9, 588, false},  {8, 100, 6, 40, false},
    };
    const Pressing pressing16 = Press(Noise(kSamples, 1), kStride, 16);
    const Pressing pressing8 = Press(Noise(kSamples, 1), kStride, 8);
    std::mt19937 random(99);
    for (const Case& c : cases) {
        SCOPED_TRACE("npar " + std::to_string(c.npar) + " shift " + std::to_string(c.shift) +
                     " errors " + std::to_string(c.perColumn) + "x" + std::to_string(c.columns));
        const Pressing& pressing = c.npar == 16 ? pressing16 : pressing8;
        const std::vector<uint8_t>& disc = pressing.pcm;
        // The rip: the pressing's audio `shift` samples later, then damaged.
        std::vector<uint8_t> rip(disc.size(), 0);
        for (int64_t s = 0; s < static_cast<int64_t>(kSamples); ++s) {
            const int64_t from = s - c.shift;
            if (from >= 0 && from < static_cast<int64_t>(kSamples)) {
                std::copy_n(disc.begin() + from * 4, 4, rip.begin() + s * 4);
            }
        }
        std::string error;
        const CtdbParityLayout layout = *CtdbLayoutFor(kSamples, kStride, error);
        std::vector<uint64_t> damaged;
        for (uint32_t column = 0; column < c.columns; ++column) {
            std::vector<uint32_t> rows(layout.rows);
            for (uint32_t r = 0; r < layout.rows; ++r) {
                rows[r] = r;
            }
            std::shuffle(rows.begin(), rows.end(), random);
            for (int e = 0; e < c.perColumn; ++e) {
                const uint64_t word = layout.FirstWord() + 2 * static_cast<int64_t>(c.shift) +
                                      uint64_t{rows[e]} * layout.stride + column;
                const uint16_t flip = static_cast<uint16_t>(random() % 65535 + 1);
                rip[2 * word] ^= static_cast<uint8_t>(flip);
                rip[2 * word + 1] ^= static_cast<uint8_t>(flip >> 8);
                damaged.push_back(word);
            }
        }
        std::sort(damaged.begin(), damaged.end());
        const std::vector<uint8_t> before = rip;
        const CtdbRipSyndromes sums = SyndromesOf(rip, kStride);
        const auto found = FindCtdbShift(sums, pressing.entry);
        if (c.columns == 0 || c.perColumn < c.npar / 2) { // column 0 within the search's reach
            ASSERT_TRUE(found);
            EXPECT_EQ(found->shift, c.shift);
            EXPECT_EQ(found->exact, c.columns == 0);
        }
        const CtdbRepairPlan plan = AnalyseCtdbRepair(sums, pressing.parity, pressing.entry, c.shift);
        if (!c.repairable) {
            EXPECT_EQ(plan.outcome, CtdbRepairPlan::Outcome::Impossible);
            EXPECT_TRUE(plan.corrections.empty());
            EXPECT_GT(plan.mostErrorsInAColumn, c.npar / 2);
            EXPECT_NE(plan.reason.find("more damage than the parity can mend"), std::string::npos)
                << plan.reason;
            EXPECT_EQ(ApplyCtdbRepair(plan, 0, rip.data(), rip.size()), 0u);
            EXPECT_EQ(rip, before);
            continue;
        }
        ASSERT_EQ(plan.outcome, damaged.empty() ? CtdbRepairPlan::Outcome::Exact
                                                : CtdbRepairPlan::Outcome::Repairable)
            << plan.reason;
        std::vector<uint64_t> words;
        for (const CtdbCorrection& k : plan.corrections) {
            words.push_back(k.word);
        }
        EXPECT_EQ(words, damaged);
        EXPECT_EQ(plan.repairedCrc, pressing.entry.crc32);
        EXPECT_EQ(plan.mostErrorsInAColumn, c.perColumn);
        uint64_t runSamples = 0;
        for (const CtdbRepairedRun& run : CtdbRepairedRuns(plan)) {
            runSamples += run.samples;
        }
        EXPECT_EQ(runSamples, plan.wrongSamples);
        ApplyCtdbRepair(plan, 0, rip.data(), rip.size());
        const int64_t first = static_cast<int64_t>(layout.FirstWord()) * 2 + 4 * c.shift;
        const int64_t end = static_cast<int64_t>(layout.EndWord()) * 2 + 4 * c.shift;
        EXPECT_TRUE(std::equal(rip.begin() + first, rip.begin() + end, disc.begin() + first - 4 * c.shift));
    }
}

TEST(CtdbParity, DownloadCachedAndDamagedAnswersRefused) {
    const Pressing pressing = Press(Noise(100 * 588, 3), 588, 16);
    const std::string good = CtdbParityBytes(pressing.parity);
    std::string damaged = good;
    damaged[1] ^= 1; // column 0's first syndrome
    test::LocalHttpServer server;
    test::TempFolder folder;
    const net::AnswerCache cache(folder.Path() + "cache");
    struct Case {
        test::LocalHttpServer::Answer answer;
        LookupState state;
        std::string reason;
    };
    const Case cases[] = {
        {{200, good.substr(0, good.size() - 2)}, LookupState::Unusable, "cut short"},
        {{200, good + good.substr(0, 2352)}, LookupState::Unusable, "instead of"},
        {{200, damaged}, LookupState::Unusable, "is damaged"},
        {{404, "Not Found"}, LookupState::NotInDatabase, ""},
        {{503, "busy"}, LookupState::Unreachable, "503"},
        {{200, good}, LookupState::Found, ""},
        {{500, "cached answers are used first"}, LookupState::Found, ""},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.answer.body.substr(0, 40));
        server.Set("/parity/7", c.answer);
        const CtdbParityDownload download = DownloadCtdbParity(pressing.entry, server.Url(), cache);
        EXPECT_EQ(download.state, c.state);
        EXPECT_NE(download.reason.find(c.reason), std::string::npos) << download.reason;
        if (c.state == LookupState::Found) {
            EXPECT_EQ(download.parity.syndromes, pressing.parity.syndromes);
            EXPECT_EQ(download.fromCache, c.answer.status != 200);
        }
    }
    EXPECT_EQ(server.Requests().size(), 6u);
}

} // namespace
} // namespace vindral::accuracy

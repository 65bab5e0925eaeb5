// What a repair from the CTDB parity costs on a 74-minute disc: the
// syndromes of the whole disc's audio (fed in pieces, as a rip or a repair
// of files feeds them), finding the entry's shift, locating and valuing the
// errors, and applying the corrections, with the disc damaged in 10 places.
// The syndromes are compared with the time a drive takes to read the disc
// at 40 X (74 minutes / 40 = 111 s; goal: under 10 % of that).
//
//   build/bench/ctdb_repair_bench [sectors] [damaged sectors per place] [places]
//
// Defaults: 333000 sectors (74 minutes), 1 sector per place, 10 places. The
// audio is generated noise (as far from silence as audio gets), regenerated
// piece by piece, so the disc is never in memory; only the calls into the
// repair code are timed. With 16 parity words a column mends 8 wrong words:
// one damaged sector takes one word from 1176 of the 11760 columns.
#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <optional>
#include <random>
#include <string>
#include <vector>

#include "accuracy/CtdbParity.h"

using namespace vindral::accuracy;

namespace {

using Clock = std::chrono::steady_clock;

double Seconds(Clock::duration d) {
    return std::chrono::duration<double>(d).count();
}

constexpr std::size_t kPieceSectors = 27; // what one read of the drive returns
constexpr std::size_t kSectorBytes = 2352;

struct Damage {
    uint64_t firstSector;
    uint64_t sectors;
};

// Sector `sector` of the pressed disc, or of the damaged rip (garbage in
// the damaged places), into `out`.
void MakeSector(uint64_t sector, const std::vector<Damage>& damage, uint8_t* out) {
    std::mt19937_64 noise(sector * 0x9e3779b97f4a7c15ull + 1);
    for (const Damage& d : damage) {
        if (sector >= d.firstSector && sector < d.firstSector + d.sectors) {
            noise.seed(~sector);
        }
    }
    for (std::size_t i = 0; i < kSectorBytes; i += 8) {
        const uint64_t v = noise();
        for (int b = 0; b < 8; ++b) {
            out[i + static_cast<std::size_t>(b)] = static_cast<uint8_t>(v >> (8 * b));
        }
    }
}

// Feeds the whole disc through `use(piece, firstSample, bytes)`; returns the
// time spent in `use`.
template <typename Use>
Clock::duration OverDisc(uint64_t sectors, const std::vector<Damage>& damage, Use&& use) {
    std::vector<uint8_t> piece(kPieceSectors * kSectorBytes);
    Clock::duration spent{};
    for (uint64_t s = 0; s < sectors; s += kPieceSectors) {
        const uint64_t n = std::min<uint64_t>(kPieceSectors, sectors - s);
        for (uint64_t i = 0; i < n; ++i) {
            MakeSector(s + i, damage, piece.data() + i * kSectorBytes);
        }
        const auto t0 = Clock::now();
        use(piece.data(), s * 588, static_cast<std::size_t>(n * kSectorBytes));
        spent += Clock::now() - t0;
    }
    return spent;
}

std::optional<CtdbRipSyndromes> Syndromes(const CtdbParityLayout& layout, uint64_t sectors,
                                          const std::vector<Damage>& damage, double& seconds) {
    CtdbSyndromeCalculator calculator(layout);
    const auto spent = OverDisc(sectors, damage, [&](const uint8_t* pcm, uint64_t, std::size_t bytes) {
        calculator.Add(pcm, bytes);
    });
    const auto t0 = Clock::now();
    auto sums = calculator.Finish();
    seconds = Seconds(spent + (Clock::now() - t0));
    return sums;
}

} // namespace

int main(int argc, char** argv) {
    const uint64_t sectors = argc > 1 ? std::strtoull(argv[1], nullptr, 10) : 333000;
    const uint64_t perPlace = argc > 2 ? std::strtoull(argv[2], nullptr, 10) : 1;
    const uint64_t places = argc > 3 ? std::strtoull(argv[3], nullptr, 10) : 10;
    std::string error;
    const auto layout = CtdbLayoutFor(sectors * 588, kCtdbParityStrideSamples, error);
    if (!layout || places == 0 || perPlace == 0 || places * perPlace * 4 > sectors) {
        std::fprintf(stderr, "ctdb_repair_bench: %s\n", layout ? "too much damage" : error.c_str());
        return 2;
    }
    std::vector<Damage> damage;
    for (uint64_t i = 0; i < places; ++i) {
        // Spread over the disc, off the rows the code leaves out.
        damage.push_back(Damage{20 + (sectors - 60) * i / places + (i * 7919) % 97, perPlace});
    }
    const double minutes = static_cast<double>(sectors) / 75.0 / 60.0;
    const double reading40x = static_cast<double>(sectors) / 75.0 / 40.0;
    std::printf("Disc: %llu sectors (%.1f minutes), %llu place(s) of %llu damaged sector(s)\n",
                static_cast<unsigned long long>(sectors), minutes,
                static_cast<unsigned long long>(places), static_cast<unsigned long long>(perPlace));

    // The entry, from the pressed audio (what the database holds).
    double pressSeconds = 0;
    const auto pressed = Syndromes(*layout, sectors, {}, pressSeconds);
    CtdbEntry entry;
    entry.id = "bench";
    entry.npar = kCtdbMaxParityWords;
    entry.stride = kCtdbParityStrideSamples;
    entry.parityUrl = "/parity";
    entry.crc32 = pressed->CrcAt(0);
    CtdbParity parity;
    parity.npar = entry.npar;
    parity.stride = layout->stride;
    parity.syndromes = pressed->SyndromesAt(0, entry.npar);
    entry.syndrome.assign(parity.syndromes.begin(), parity.syndromes.begin() + entry.npar);

    // The rip: syndromes, shift, analysis.
    double syndromeSeconds = 0;
    const auto rip = Syndromes(*layout, sectors, damage, syndromeSeconds);
    auto t0 = Clock::now();
    const auto shift = FindCtdbShift(*rip, entry);
    const double shiftSeconds = Seconds(Clock::now() - t0);
    t0 = Clock::now();
    const CtdbRepairPlan plan = AnalyseCtdbRepair(*rip, parity, entry, shift ? shift->shift : 0);
    const double analyseSeconds = Seconds(Clock::now() - t0);
    if (plan.outcome != CtdbRepairPlan::Outcome::Repairable) {
        std::printf("Finding the shift:              %7.3f s  (%s)\n", shiftSeconds,
                    shift ? "found" : "not found, 0 taken");
        std::printf("Refusing the repair:            %7.3f s  (%s)\n", analyseSeconds, plan.reason.c_str());
        return 1;
    }

    // Mending the rip piece by piece, then proving it with its own syndromes.
    CtdbSyndromeCalculator check(*layout);
    std::size_t changed = 0;
    double applySeconds = 0;
    OverDisc(sectors, damage, [&](const uint8_t* pcm, uint64_t firstSample, std::size_t bytes) {
        auto* piece = const_cast<uint8_t*>(pcm);
        const auto a = Clock::now();
        changed += ApplyCtdbRepair(plan, firstSample, piece, bytes);
        applySeconds += Seconds(Clock::now() - a);
        check.Add(piece, bytes);
    });
    const auto proof = check.Finish();
    const bool proven = proof && proof->CrcAt(0) == entry.crc32 &&
                        proof->SyndromesAt(0, entry.npar) == parity.syndromes;

    std::printf("Syndromes of the pressed disc:  %7.3f s\n", pressSeconds);
    std::printf("Syndromes of the damaged rip:   %7.3f s  = %.2f %% of reading it at 40 X (%.0f s; goal < 10 %%)\n",
                syndromeSeconds, 100.0 * syndromeSeconds / reading40x, reading40x);
    std::printf("Finding the shift:              %7.3f s  (shift %d%s)\n", shiftSeconds, shift->shift,
                shift->exact ? ", column 0 intact" : ", column 0 damaged");
    std::printf("Locating and valuing errors:    %7.3f s  (%u columns with errors, at most %d in one)\n",
                analyseSeconds, plan.columnsWithErrors, plan.mostErrorsInAColumn);
    std::printf("Applying the corrections:       %7.3f s  (%zu words, %llu samples in %zu runs)\n",
                applySeconds, changed, static_cast<unsigned long long>(plan.wrongSamples),
                CtdbRepairedRuns(plan, 588).size());
    std::printf("Repaired disc: CRC %08x, %s\n", plan.repairedCrc,
                proven ? "equal to the entry's, syndromes equal" : "NOT EQUAL to the entry");
    return proven && syndromeSeconds < 0.1 * reading40x ? 0 : 1;
}

// Repair from the CUETools database (CTDB): the Reed–Solomon code the
// database keeps beside each entry, and the mending of a rip with it.
//
// The code. The disc's audio (every audio track in disc order, from the
// first audio track's first sample to the last audio track's last; never the
// pregap before track 1) is a run of 16-bit words, left and right sample
// alternating, little-endian as on the disc. With `stride` words per row
// (the answer's `stride` is in stereo samples: 5880, so 11760 words, ten
// sectors), the first row and the last `tail` words are left out — the same
// words the whole-disc CTDB CRC leaves out — and the `rows` rows between
// them form `stride` interleaved codewords: column c holds the words
// stride + c + r·stride for r = 0 .. rows-1. Each column is a Reed–Solomon
// codeword over GF(2^16) (the field polynomial x^16 + x^12 + x^3 + x + 1,
// α = x), its first word the highest power, with the generator
// (x + α^0)(x + α^1)…(x + α^(npar-1)). The database keeps for every column
// its syndromes S_j = c(α^j), j = 0 .. npar-1, of the data polynomial c:
// those are what the parity download holds, and the lookup's `syndrome`
// attribute holds column 0's. The rip's own syndromes, computed the same
// way, differ from the entry's by exactly the syndromes of its errors; up to
// npar/2 wrong words per column are found and mended without knowing where
// they are.
//
// A pressing with another offset holds the same audio some samples earlier
// or later: the rip's syndromes and CRC are moved to the entry's frame from
// the rows kept at both ends of the disc, for shifts of less than one row
// (|shift| < strideSamples).
// A drive's read offset is corrected before the audio gets here.
//
// Nothing here reads files or talks to the network: the audio is fed in
// pieces (the whole disc never in memory), the analysis says what would be
// changed and whether the result would carry the entry's CRC, and the
// correction is applied to whatever piece of audio the caller rewrites.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "accuracy/CtdbAnswer.h"

namespace vindral::accuracy {

// The syndromes computed per column: the most any entry's repair uses.
constexpr int kCtdbMaxParityWords = 16;
// The CTDB's row length, in stereo samples (ten sectors).
constexpr uint32_t kCtdbParityStrideSamples = 5880;

// GF(2^16) with the field polynomial 0x1100B, by logarithm tables.
namespace gf16 {
constexpr uint32_t kOrder = 65535; // multiplicative group: α^65535 = 1
uint16_t Exp(uint32_t power);      // α^(power mod 65535)
uint32_t Log(uint16_t value);      // for value != 0: α^Log(value) == value
uint16_t Mul(uint16_t a, uint16_t b);
uint16_t Div(uint16_t a, uint16_t b); // b != 0
} // namespace gf16

// Where the code lies on a disc of `discSamples` stereo samples.
struct CtdbParityLayout {
    uint64_t discSamples = 0;
    uint32_t strideSamples = 0; // the answer's `stride`
    uint32_t stride = 0;        // words per row: 2 × strideSamples
    uint32_t rows = 0;          // data words per column
    uint32_t tail = 0;          // words left out at the end: stride + the rest of the last row

    // Words of the disc (2 per sample).
    uint64_t Words() const { return discSamples * 2; }
    // The first and one-past-last word the code (and the whole-disc CRC) covers.
    uint64_t FirstWord() const { return stride; }
    uint64_t EndWord() const { return Words() - tail; }
};

// The layout, or nothing with `error` set when the disc is too short for
// three rows or too long for the code (rows + 16 > 65535).
std::optional<CtdbParityLayout> CtdbLayoutFor(uint64_t discSamples, uint32_t strideSamples,
                                              std::string& error);

// An entry's parity as downloaded: `npar` syndromes of each of the `stride`
// columns, syndromes[column * npar + j] = S_j of that column, of the
// entry's audio in its own frame.
struct CtdbParity {
    int npar = 0;
    uint32_t stride = 0; // words (columns)
    std::vector<uint16_t> syndromes;
};

// The parity download: `npar` rows of `stride` little-endian words, row j
// holding S_j of every column (column 0 first). Parses the first
// min(entry.npar, kCtdbMaxParityWords) rows of a download of exactly
// entry.npar × stride words; anything else — cut short, too long, an
// entry without parity, or column 0 differing from the lookup's
// `syndrome` (a damaged or foreign answer) — is refused with `error` set.
std::optional<CtdbParity> ParseCtdbParity(std::string_view bytes, const CtdbEntry& entry,
                                          std::string& error);

// The download's bytes for a parity (for the local test server and the
// encoder's tests): the inverse of ParseCtdbParity.
std::string CtdbParityBytes(const CtdbParity& parity);

// What a rip keeps of its audio for the repair, for one stride: the
// syndromes of every column in its own frame, the words of the first two
// rows and of the last row plus tail, and the CRC of the words between them.
struct CtdbRipSyndromes {
    CtdbParityLayout layout;
    std::vector<uint16_t> syndromes; // [column * kCtdbMaxParityWords + j]
    std::vector<uint16_t> head;      // words [0, 2·stride)
    std::vector<uint16_t> end;       // words [EndWord() - stride, Words())
    uint32_t middleCrc = 0;          // CRC32 of words [2·stride, EndWord() - stride)

    // The syndromes of the first `columns` columns (all when 0), npar of
    // each (≤ kCtdbMaxParityWords), of the entry's frame when the entry's
    // sample p is this rip's sample p + shift (|shift| < strideSamples).
    // Laid out as CtdbParity::syndromes.
    std::vector<uint16_t> SyndromesAt(int shift, int npar, uint32_t columns = 0) const;
    // The whole-disc CTDB CRC of the same frame: the CRC32 of the words
    // [FirstWord() + 2·shift, EndWord() + 2·shift).
    uint32_t CrcAt(int shift) const;
};

// The streaming computation: the disc's audio in disc order, in pieces of
// any size (a piece may end inside a word or sample). About 2 table look-ups
// per word; the state is 32 bytes per column.
class CtdbSyndromeCalculator {
public:
    explicit CtdbSyndromeCalculator(const CtdbParityLayout& layout);

    void Add(const uint8_t* pcm, std::size_t bytes);
    uint64_t SamplesAdded() const { return bytes_ / 4; }

    // Once exactly the disc's samples have arrived; nothing before.
    std::optional<CtdbRipSyndromes> Finish() const;

private:
    void AddWords(const uint8_t* words, uint64_t count);

    CtdbParityLayout layout_;
    std::vector<uint64_t> state_; // per column: its parity register, 16 words in 4 lanes
    CtdbRipSyndromes kept_;
    uint64_t bytes_ = 0;
    unsigned long crc_ = 0;
    uint8_t odd_ = 0; // the first byte of a word cut in two
};

// The encoder: an entry for audio held whole in memory (tests and the local
// test server only): its parity with `npar` syndromes per column, the
// lookup's `syndrome` (column 0's) and the whole-disc CRC.
struct CtdbEncoded {
    CtdbParity parity;
    std::vector<uint16_t> columnZero;
    uint32_t crc = 0;
};
std::optional<CtdbEncoded> EncodeCtdbParity(const uint8_t* pcm, std::size_t bytes,
                                            uint32_t strideSamples, int npar,
                                            std::string& error);

// The Reed–Solomon parity words (the remainder of c(x)·x^npar by the
// generator, highest power first) of one column with these syndromes:
// what a classic encoder appends. For the code's tests.
std::vector<uint16_t> CtdbParityWordsFromSyndromes(const uint16_t* syndromes, int npar);

// The shift (as CtdbRipSyndromes::SyndromesAt) at which the rip's column 0
// meets the entry's: exactly, or within the code's capacity with the
// fewest errors; nearest to 0 first. Nothing when no shift below one row
// fits.
struct CtdbShift {
    int shift = 0;
    bool exact = false; // column 0 equal at that shift
};
std::optional<CtdbShift> FindCtdbShift(const CtdbRipSyndromes& rip, const CtdbEntry& entry);

// One word to mend: the rip's disc word (sample = word / 2, left channel
// when even) and the bits to flip in it.
struct CtdbCorrection {
    uint64_t word = 0;
    uint16_t flip = 0;
};

struct CtdbRepairPlan {
    enum class Outcome {
        Exact,      // the rip already equals the entry at this shift
        Repairable, // the corrections make it equal, CRC included
        Impossible, // more damage than the code can mend, or the CRC would differ
    };
    Outcome outcome = Outcome::Impossible;
    std::string reason;              // with Impossible, in words
    int shift = 0;                   // as used
    int npar = 0;                    // syndromes per column used
    std::vector<CtdbCorrection> corrections; // by word, ascending
    uint64_t wrongSamples = 0;       // distinct samples touched
    uint32_t repairedCrc = 0;        // the whole-disc CRC after the corrections
    uint32_t columnsWithErrors = 0;
    int mostErrorsInAColumn = 0;     // against the capacity npar / 2
};

// Decides the repair of a rip against an entry's parity at a shift: every
// column's errors located and valued (at most npar/2 per column; more is
// refused, never guessed), then the CRC the corrected disc would have
// compared with the entry's crc32. Nothing is changed.
CtdbRepairPlan AnalyseCtdbRepair(const CtdbRipSyndromes& rip, const CtdbParity& parity,
                                 const CtdbEntry& entry, int shift);

// Runs of neighbouring wrong samples, for the log: a run's first disc
// sample and its length in samples; samples closer than `join` belong to
// one run.
struct CtdbRepairedRun {
    uint64_t firstSample = 0;
    uint64_t samples = 0;
};
std::vector<CtdbRepairedRun> CtdbRepairedRuns(const CtdbRepairPlan& plan, uint64_t join = 1);

// Applies the plan's corrections that fall inside a piece of audio: `pcm`
// holds `bytes` bytes (whole samples) starting at disc sample
// `firstSample`. Returns the number of words changed.
std::size_t ApplyCtdbRepair(const CtdbRepairPlan& plan, uint64_t firstSample, uint8_t* pcm,
                            std::size_t bytes);

} // namespace vindral::accuracy

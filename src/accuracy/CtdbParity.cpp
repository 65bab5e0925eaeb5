#include "accuracy/CtdbParity.h"

#include <algorithm>
#include <array>
#include <cstring>

#include <zlib.h>

#include "accuracy/Checksums.h"

namespace vindral::accuracy {

namespace {

constexpr uint32_t kFieldPolynomial = 0x1100B; // x^16 + x^12 + x^3 + x + 1
constexpr int kMaxNpar = kCtdbMaxParityWords;

struct Tables {
    // exp[i] = α^i for i < 2·65535 + 1, so that sums of two logarithms
    // need no reduction; log[0] is never used.
    std::vector<uint16_t> exp;
    std::vector<uint32_t> log;
    // The generator of the 16-syndrome code, x^16 + g[0]·x^15 + … + g[15],
    // and its products with every low and high byte: one step of the
    // parity register XORs lowTimesG[b & 255] and highTimesG[b >> 8]; each
    // product packed as the register is, word i in bits 16·(i mod 4) of
    // 64-bit lane i / 4.
    std::array<uint16_t, kMaxNpar> g{};
    std::vector<std::array<uint64_t, 4>> lowTimesG;
    std::vector<std::array<uint64_t, 4>> highTimesG;
    // A root y of y² + y = c for every c that has one (y and y + 1 both
    // are): how two errors in a column are located without a search.
    std::vector<uint16_t> halfSquare;

    Tables()
        : exp(2 * gf16::kOrder + 2), log(65536, 0), lowTimesG(256), highTimesG(256),
          halfSquare(65536, 0) {
        uint32_t value = 1;
        for (uint32_t i = 0; i < gf16::kOrder; ++i) {
            exp[i] = exp[i + gf16::kOrder] = static_cast<uint16_t>(value);
            log[value] = i;
            value <<= 1;
            if (value & 0x10000) {
                value ^= kFieldPolynomial;
            }
        }
        exp[2 * gf16::kOrder] = exp[2 * gf16::kOrder + 1] = 1;
        // Multiply (x + α^k) in for k = 0..15; g[i] is the coefficient of
        // x^(15 - i), the leading 1 left implicit.
        std::array<uint16_t, kMaxNpar + 1> poly{};
        poly[0] = 1; // poly[d] = coefficient of x^d
        for (int k = 0; k < kMaxNpar; ++k) {
            const uint16_t root = exp[static_cast<uint32_t>(k)];
            for (int d = k + 1; d > 0; --d) {
                poly[d] = static_cast<uint16_t>(poly[d - 1] ^ Mul(poly[d], root));
            }
            poly[0] = Mul(poly[0], root);
        }
        for (int i = 0; i < kMaxNpar; ++i) {
            g[i] = poly[kMaxNpar - 1 - i];
        }
        for (uint32_t b = 0; b < 256; ++b) {
            for (int i = 0; i < kMaxNpar; ++i) {
                const int shift = 16 * (i % 4);
                lowTimesG[b][i / 4] |= uint64_t{Mul(static_cast<uint16_t>(b), g[i])} << shift;
                highTimesG[b][i / 4] |= uint64_t{Mul(static_cast<uint16_t>(b << 8), g[i])} << shift;
            }
        }
        for (uint32_t y = 0; y < 65536; y += 2) { // y and y + 1 give the same c
            halfSquare[Mul(static_cast<uint16_t>(y), static_cast<uint16_t>(y)) ^ y] = static_cast<uint16_t>(y);
        }
    }

    uint16_t Mul(uint16_t a, uint16_t b) const {
        return a == 0 || b == 0 ? 0 : exp[log[a] + log[b]];
    }
};

const Tables& Gf() {
    static const Tables tables;
    return tables;
}

// a · α^power, power < 2·65535.
inline uint16_t MulExp(const Tables& t, uint16_t a, uint32_t power) {
    return a == 0 ? 0 : t.exp[t.log[a] + power];
}

uint16_t WordAt(const uint8_t* p) {
    return static_cast<uint16_t>(p[0] | p[1] << 8);
}

uint32_t CrcOfWords(uint32_t crc, const uint16_t* words, std::size_t count) {
    std::vector<uint8_t> bytes(count * 2);
    for (std::size_t i = 0; i < count; ++i) {
        bytes[2 * i] = static_cast<uint8_t>(words[i]);
        bytes[2 * i + 1] = static_cast<uint8_t>(words[i] >> 8);
    }
    return Crc32(bytes.data(), bytes.size(), crc);
}

// Polynomials over GF(2^16) as coefficient vectors, p[d] of x^d.
using Poly = std::vector<uint16_t>;

uint16_t Evaluate(const Tables& t, const Poly& p, uint16_t x) {
    uint16_t sum = 0;
    for (std::size_t d = p.size(); d-- > 0;) {
        sum = static_cast<uint16_t>(t.Mul(sum, x) ^ p[d]);
    }
    return sum;
}

// Berlekamp–Massey: the error locator Λ(x) = Π(1 + X_l·x) of syndromes
// S_j = Σ Y_l·X_l^j, j = 0..n-1. Returns its degree L (the error count it
// stands for).
int ErrorLocator(const Tables& t, const uint16_t* s, int n, Poly& lambda) {
    lambda.assign(static_cast<std::size_t>(n) + 1, 0);
    Poly previous(lambda.size(), 0);
    lambda[0] = previous[0] = 1;
    int length = 0;
    int gap = 1;
    uint16_t previousDiscrepancy = 1;
    for (int k = 0; k < n; ++k) {
        uint16_t discrepancy = s[k];
        for (int i = 1; i <= length; ++i) {
            discrepancy ^= t.Mul(lambda[i], s[k - i]);
        }
        if (discrepancy == 0) {
            ++gap;
            continue;
        }
        const uint16_t scale = gf16::Div(discrepancy, previousDiscrepancy);
        Poly before = lambda;
        for (std::size_t i = 0; i + gap < lambda.size(); ++i) {
            lambda[i + gap] ^= t.Mul(scale, previous[i]);
        }
        if (2 * length <= k) {
            length = k + 1 - length;
            previous = std::move(before);
            previousDiscrepancy = discrepancy;
            gap = 1;
        } else {
            ++gap;
        }
    }
    lambda.resize(static_cast<std::size_t>(length) + 1);
    return length;
}

void Trim(Poly& p) {
    while (p.size() > 1 && p.back() == 0) {
        p.pop_back();
    }
}

// a mod m, m monic.
Poly Mod(const Tables& t, Poly a, const Poly& m) {
    const std::size_t dm = m.size() - 1;
    for (std::size_t d = a.size(); d-- > dm;) {
        if (const uint16_t c = a[d]; c != 0) {
            for (std::size_t i = 0; i <= dm; ++i) {
                a[d - dm + i] ^= t.Mul(c, m[i]);
            }
        }
    }
    a.resize(std::max<std::size_t>(dm, 1));
    Trim(a);
    return a;
}

// p² mod m: squaring adds no cross terms in characteristic 2.
Poly SquareMod(const Tables& t, const Poly& p, const Poly& m) {
    Poly square(2 * p.size() - 1, 0);
    for (std::size_t i = 0; i < p.size(); ++i) {
        square[2 * i] = t.Mul(p[i], p[i]);
    }
    return Mod(t, std::move(square), m);
}

Poly Monic(Poly p) {
    Trim(p);
    const uint16_t lead = p.back();
    for (uint16_t& c : p) {
        c = gf16::Div(c, lead);
    }
    return p;
}

bool IsZero(const Poly& p) {
    return std::all_of(p.begin(), p.end(), [](uint16_t c) { return c == 0; });
}

// The roots of a monic polynomial `r` that splits into distinct linear
// factors over the field: false when it does not (r divides x^65536 - x
// exactly when it does). Each factor is split by gcd(r, Tr(β·x) mod r) for
// β running through the basis α^0..α^15: two distinct roots a, b differ
// in Tr(β·a) for some β of the basis.
bool SplitIntoRoots(const Tables& t, const Poly& r, std::vector<uint16_t>& roots) {
    Poly power{0, 1}; // x
    for (int i = 0; i < 16; ++i) {
        power = SquareMod(t, power, r);
    }
    power.resize(std::max<std::size_t>(power.size(), 2), 0);
    power[1] ^= 1;
    if (!IsZero(power)) {
        return false;
    }
    std::vector<Poly> pending{r};
    while (!pending.empty()) {
        Poly f = std::move(pending.back());
        pending.pop_back();
        if (f.size() == 2) {
            roots.push_back(f[0]); // x + a
            continue;
        }
        bool split = false;
        for (uint32_t k = 0; k < 16 && !split; ++k) {
            Poly term = Mod(t, Poly{0, gf16::Exp(k)}, f);
            Poly trace = term;
            for (int i = 1; i < 16; ++i) {
                term = SquareMod(t, term, f);
                trace.resize(std::max(trace.size(), term.size()), 0);
                for (std::size_t d = 0; d < term.size(); ++d) {
                    trace[d] ^= term[d];
                }
            }
            // gcd(f, trace)
            Poly a = f, b = trace;
            Trim(b);
            while (!IsZero(b)) {
                a = Mod(t, std::move(a), Monic(b));
                std::swap(a, b);
            }
            a = Monic(a);
            if (a.size() > 1 && a.size() < f.size()) {
                // f / a, exactly.
                Poly quotient(f.size() - a.size() + 1, 0);
                Poly rest = f;
                for (std::size_t d = quotient.size(); d-- > 0;) {
                    quotient[d] = rest[d + a.size() - 1];
                    for (std::size_t i = 0; i < a.size(); ++i) {
                        rest[d + i] ^= t.Mul(quotient[d], a[i]);
                    }
                }
                pending.push_back(std::move(a));
                pending.push_back(std::move(quotient));
                split = true;
            }
        }
        if (!split) {
            return false;
        }
    }
    return true;
}

// The errors of one column: its syndrome differences `s` (npar of them)
// over `rows` data words. Fills (power, value) pairs, the power being the
// word's degree in the column (rows - 1 - row); false when the errors are
// more than npar/2 or do not lie in the column.
bool DecodeColumn(const Tables& t, const uint16_t* s, int npar, uint32_t rows,
                  std::vector<std::pair<uint32_t, uint16_t>>& errors) {
    errors.clear();
    Poly lambda;
    const int count = ErrorLocator(t, s, npar, lambda);
    if (count == 0 || count > npar / 2) {
        return false;
    }
    // The roots X^-1 of Λ with X = α^power, power < rows.
    std::vector<uint32_t> powers;
    if (count == 1) {
        const uint32_t power = t.log[lambda[1]]; // Λ = 1 + X·x
        if (lambda[1] != 0 && power < rows) {
            powers.push_back(power);
        }
    } else if (count == 2 && lambda[1] != 0) {
        // The locators are the roots of X² + λ1·X + λ2; with X = λ1·y,
        // y² + y = λ2 / λ1².
        const uint16_t c = gf16::Div(lambda[2], t.Mul(lambda[1], lambda[1]));
        const uint16_t y = t.halfSquare[c];
        if (static_cast<uint16_t>(t.Mul(y, y) ^ y) == c) {
            for (uint16_t root : {y, static_cast<uint16_t>(y ^ 1)}) {
                const uint32_t power = t.log[t.Mul(lambda[1], root)];
                if (root != 0 && power < rows) {
                    powers.push_back(power);
                }
            }
        }
    } else {
        // The locators are the roots of x^L·Λ(1/x), found by splitting it
        // over the field (no search through the column's rows).
        Poly reversed(lambda.rbegin(), lambda.rend());
        std::vector<uint16_t> roots;
        if (lambda[count] == 0 || !SplitIntoRoots(t, reversed, roots)) {
            return false;
        }
        for (uint16_t root : roots) {
            if (t.log[root] < rows) {
                powers.push_back(t.log[root]);
            }
        }
    }
    if (static_cast<int>(powers.size()) != count) {
        return false;
    }
    // Forney (first root α^0): Y = X·Ω(X^-1) / Λ'(X^-1), with
    // Ω = S·Λ mod x^npar.
    Poly omega(static_cast<std::size_t>(npar), 0);
    for (int i = 0; i < npar; ++i) {
        for (int k = 0; k <= count && k <= i; ++k) {
            omega[i] ^= t.Mul(s[i - k], lambda[k]);
        }
    }
    Poly derivative(static_cast<std::size_t>(count), 0);
    for (int i = 1; i <= count; i += 2) {
        derivative[i - 1] = lambda[i];
    }
    for (uint32_t power : powers) {
        const uint16_t x = gf16::Exp(power);
        const uint16_t inverse = gf16::Exp(gf16::kOrder - power);
        const uint16_t denominator = Evaluate(t, derivative, inverse);
        if (denominator == 0) {
            return false;
        }
        const uint16_t value = t.Mul(x, gf16::Div(Evaluate(t, omega, inverse), denominator));
        if (value == 0) {
            return false;
        }
        errors.emplace_back(power, value);
    }
    return true;
}

} // namespace

namespace gf16 {
uint16_t Exp(uint32_t power) {
    return Gf().exp[power % kOrder];
}
uint32_t Log(uint16_t value) {
    return Gf().log[value];
}
uint16_t Mul(uint16_t a, uint16_t b) {
    return Gf().Mul(a, b);
}
uint16_t Div(uint16_t a, uint16_t b) {
    const Tables& t = Gf();
    return a == 0 ? 0 : t.exp[t.log[a] + kOrder - t.log[b]];
}
} // namespace gf16

std::optional<CtdbParityLayout> CtdbLayoutFor(uint64_t discSamples, uint32_t strideSamples,
                                              std::string& error) {
    if (strideSamples == 0 || strideSamples > (1u << 20)) {
        error = "unusable parity stride " + std::to_string(strideSamples);
        return std::nullopt;
    }
    CtdbParityLayout layout;
    layout.discSamples = discSamples;
    layout.strideSamples = strideSamples;
    layout.stride = 2 * strideSamples;
    const uint64_t words = layout.Words();
    const uint64_t allRows = words / layout.stride;
    if (allRows < 4) {
        error = "the disc is too short for the parity (" + std::to_string(discSamples) +
                " samples)";
        return std::nullopt;
    }
    if (allRows - 2 + kMaxNpar > gf16::kOrder) {
        error = "the disc is too long for a parity stride of " + std::to_string(strideSamples);
        return std::nullopt;
    }
    layout.rows = static_cast<uint32_t>(allRows - 2);
    layout.tail = static_cast<uint32_t>(layout.stride + words % layout.stride);
    return layout;
}

std::optional<CtdbParity> ParseCtdbParity(std::string_view bytes, const CtdbEntry& entry,
                                          std::string& error) {
    if (!entry.HasParity()) {
        error = "the CTDB entry " + entry.id + " has no parity";
        return std::nullopt;
    }
    const int npar = std::min(entry.npar, kMaxNpar);
    const uint64_t rowBytes = uint64_t{4} * entry.stride;
    if (bytes.size() % rowBytes != 0 ||
        (bytes.size() / rowBytes != static_cast<uint64_t>(entry.npar) &&
         bytes.size() / rowBytes != static_cast<uint64_t>(npar))) {
        error = "the CTDB parity of entry " + entry.id + " has " + std::to_string(bytes.size()) +
                " bytes instead of " + std::to_string(rowBytes * static_cast<uint64_t>(entry.npar)) +
                (bytes.size() < rowBytes * static_cast<uint64_t>(npar) ? " (cut short)" : "");
        return std::nullopt;
    }
    CtdbParity parity;
    parity.npar = npar;
    parity.stride = 2 * entry.stride;
    parity.syndromes.resize(static_cast<std::size_t>(parity.stride) * static_cast<std::size_t>(npar));
    const auto* data = reinterpret_cast<const uint8_t*>(bytes.data());
    for (int j = 0; j < npar; ++j) {
        for (uint32_t column = 0; column < parity.stride; ++column) {
            parity.syndromes[static_cast<std::size_t>(column) * npar + j] =
                WordAt(data + 2 * (static_cast<uint64_t>(j) * parity.stride + column));
        }
    }
    for (std::size_t j = 0; j < entry.syndrome.size() && j < static_cast<std::size_t>(npar); ++j) {
        if (parity.syndromes[j] != entry.syndrome[j]) {
            error = "the CTDB parity of entry " + entry.id +
                    " is damaged: it does not agree with the entry's syndrome";
            return std::nullopt;
        }
    }
    return parity;
}

std::string CtdbParityBytes(const CtdbParity& parity) {
    std::string bytes(parity.syndromes.size() * 2, '\0');
    for (int j = 0; j < parity.npar; ++j) {
        for (uint32_t column = 0; column < parity.stride; ++column) {
            const uint16_t word = parity.syndromes[static_cast<std::size_t>(column) * parity.npar + j];
            const std::size_t at = 2 * (static_cast<std::size_t>(j) * parity.stride + column);
            bytes[at] = static_cast<char>(word & 0xff);
            bytes[at + 1] = static_cast<char>(word >> 8);
        }
    }
    return bytes;
}

// ---- the rip's syndromes ----

CtdbSyndromeCalculator::CtdbSyndromeCalculator(const CtdbParityLayout& layout)
    : layout_(layout), state_(static_cast<std::size_t>(layout.stride) * 4, 0),
      crc_(crc32(0, nullptr, 0)) {
    kept_.layout = layout;
    kept_.head.assign(2 * static_cast<std::size_t>(layout.stride), 0);
    kept_.end.assign(static_cast<std::size_t>(layout.stride) + layout.tail, 0);
}

void CtdbSyndromeCalculator::Add(const uint8_t* pcm, std::size_t bytes) {
    if (bytes == 0) {
        return;
    }
    if (bytes_ % 2 != 0) {
        const uint8_t word[2] = {odd_, pcm[0]};
        bytes_ -= 1;
        AddWords(word, 1);
        bytes_ += 2;
        ++pcm;
        --bytes;
    }
    AddWords(pcm, bytes / 2);
    bytes_ += bytes / 2 * 2;
    if (bytes % 2 != 0) {
        odd_ = pcm[bytes - 1];
        bytes_ += 1;
    }
}

namespace {

// One step of every column's parity register for a run of consecutive
// words: the register (16 words, the highest power first) shifts by one
// word and takes the generator times the word that leaves it, added to the
// incoming data. As four 64-bit lanes: word i of the register is bits
// 16·(i mod 4) of lane i / 4.
void StepRegisters(const Tables& t, uint64_t* registers, uint64_t stride, uint64_t column,
                   const uint8_t* words, uint64_t count) {
    static_assert(kMaxNpar == 16);
    uint64_t* reg = registers + 4 * column;
    for (uint64_t w = 0; w < count; ++w) {
        const uint64_t r0 = reg[0], r1 = reg[1], r2 = reg[2], r3 = reg[3];
        const uint16_t feedback =
            static_cast<uint16_t>(r0 ^ static_cast<uint64_t>(words[2 * w] | words[2 * w + 1] << 8));
        const uint64_t* a = t.lowTimesG[feedback & 0xff].data();
        const uint64_t* b = t.highTimesG[feedback >> 8].data();
        reg[0] = (r0 >> 16 | r1 << 48) ^ a[0] ^ b[0];
        reg[1] = (r1 >> 16 | r2 << 48) ^ a[1] ^ b[1];
        reg[2] = (r2 >> 16 | r3 << 48) ^ a[2] ^ b[2];
        reg[3] = (r3 >> 16) ^ a[3] ^ b[3];
        if (++column == stride) {
            column = 0;
            reg = registers;
        } else {
            reg += 4;
        }
    }
}

} // namespace

void CtdbSyndromeCalculator::AddWords(const uint8_t* words, uint64_t count) {
    const uint64_t first = bytes_ / 2;
    const uint64_t total = layout_.Words();
    if (first >= total) {
        return; // more than the disc: Finish refuses
    }
    const uint64_t end = std::min(first + count, total);
    const auto overlap = [&](uint64_t from, uint64_t to, auto&& use) {
        const uint64_t a = std::max(from, first);
        const uint64_t b = std::min(to, end);
        if (a < b) {
            use(words + 2 * (a - first), a, b - a);
        }
    };
    const uint64_t stride = layout_.stride;
    const uint64_t codeEnd = layout_.EndWord();
    overlap(0, 2 * stride, [&](const uint8_t* p, uint64_t at, uint64_t n) {
        for (uint64_t i = 0; i < n; ++i) {
            kept_.head[at + i] = WordAt(p + 2 * i);
        }
    });
    overlap(codeEnd - stride, total, [&](const uint8_t* p, uint64_t at, uint64_t n) {
        for (uint64_t i = 0; i < n; ++i) {
            kept_.end[at - (codeEnd - stride) + i] = WordAt(p + 2 * i);
        }
    });
    overlap(2 * stride, codeEnd - stride, [&](const uint8_t* p, uint64_t, uint64_t n) {
        crc_ = Crc32(p, 2 * n, static_cast<uint32_t>(crc_));
    });
    overlap(stride, codeEnd, [&](const uint8_t* p, uint64_t at, uint64_t n) {
        StepRegisters(Gf(), state_.data(), stride, at % stride, p, n);
    });
}

std::optional<CtdbRipSyndromes> CtdbSyndromeCalculator::Finish() const {
    if (bytes_ != layout_.Words() * 2) {
        return std::nullopt;
    }
    CtdbRipSyndromes result = kept_;
    result.middleCrc = static_cast<uint32_t>(crc_);
    // From the parity register r (r[0] the highest power) to the
    // syndromes: c(α^j)·α^(16·j) = r(α^j), so
    // S_j = Σ_i r[i]·α^(j·(15 - i) - 16·j) = Σ_i r[i]·α^(-j·(i + 1)).
    const Tables& t = Gf();
    result.syndromes.assign(static_cast<std::size_t>(layout_.stride) * kMaxNpar, 0);
    for (std::size_t column = 0; column < layout_.stride; ++column) {
        const uint64_t* reg = state_.data() + column * 4;
        uint16_t* syn = result.syndromes.data() + column * kMaxNpar;
        for (int i = 0; i < kMaxNpar; ++i) {
            const auto word = static_cast<uint16_t>(reg[i / 4] >> (16 * (i % 4)));
            if (word == 0) {
                continue;
            }
            const uint32_t logR = t.log[word] + gf16::kOrder;
            for (int j = 0; j < kMaxNpar; ++j) {
                syn[j] ^= t.exp[logR - static_cast<uint32_t>(j * (i + 1))];
            }
        }
    }
    return result;
}

std::vector<uint16_t> CtdbRipSyndromes::SyndromesAt(int shift, int npar, uint32_t columns) const {
    const Tables& t = Gf();
    const int64_t stride = layout.stride;
    npar = std::clamp(npar, 0, kMaxNpar);
    if (columns == 0 || columns > layout.stride) {
        columns = layout.stride;
    }
    std::vector<uint16_t> out(static_cast<std::size_t>(columns) * npar, 0);
    const uint32_t rows = layout.rows;
    for (uint32_t y = 0; y < columns; ++y) {
        const int64_t q = static_cast<int64_t>(y) + 2 * static_cast<int64_t>(shift);
        const int64_t source = ((q % stride) + stride) % stride;
        const uint16_t* s = syndromes.data() + source * kMaxNpar;
        uint16_t* o = out.data() + static_cast<std::size_t>(y) * npar;
        for (int j = 0; j < npar; ++j) {
            const auto ju = static_cast<uint32_t>(j);
            if (q >= 0 && q < stride) {
                o[j] = s[j];
            } else if (q >= stride) {
                // One row on: the column's first word leaves (degree rows),
                // the word after its last comes in (degree 0).
                const uint16_t leaving = head[static_cast<std::size_t>(q)];
                const uint16_t coming = end[static_cast<std::size_t>(q)];
                o[j] = static_cast<uint16_t>(MulExp(t, s[j], ju) ^
                                             MulExp(t, leaving, (ju * rows) % gf16::kOrder) ^
                                             coming);
            } else {
                // One row back: the word before the column's first comes
                // in (degree rows - 1), its last word leaves.
                const uint16_t coming = head[static_cast<std::size_t>(stride + q)];
                const uint16_t leaving = end[static_cast<std::size_t>(stride + q)];
                const uint16_t sum = static_cast<uint16_t>(
                    s[j] ^ leaving ^ MulExp(t, coming, (ju * rows) % gf16::kOrder));
                o[j] = MulExp(t, sum, gf16::kOrder - ju);
            }
        }
    }
    return out;
}

uint32_t CtdbRipSyndromes::CrcAt(int shift) const {
    const std::size_t stride = layout.stride;
    const std::size_t headFrom = stride + static_cast<std::size_t>(2 * static_cast<int64_t>(shift));
    uint32_t crc = CrcOfWords(0, head.data() + headFrom, 2 * stride - headFrom);
    const uint64_t middleWords = layout.EndWord() - 3 * stride;
    crc = static_cast<uint32_t>(crc32_combine(crc, middleCrc, static_cast<z_off_t>(middleWords * 2)));
    const std::size_t endTo = stride + static_cast<std::size_t>(2 * static_cast<int64_t>(shift));
    return CrcOfWords(crc, end.data(), endTo);
}

// ---- the encoder ----

std::optional<CtdbEncoded> EncodeCtdbParity(const uint8_t* pcm, std::size_t bytes,
                                            uint32_t strideSamples, int npar,
                                            std::string& error) {
    if (npar < 1 || npar > kMaxNpar || bytes % 4 != 0) {
        error = "unusable parity size";
        return std::nullopt;
    }
    const auto layout = CtdbLayoutFor(bytes / 4, strideSamples, error);
    if (!layout) {
        return std::nullopt;
    }
    CtdbSyndromeCalculator calculator(*layout);
    calculator.Add(pcm, bytes);
    const std::optional<CtdbRipSyndromes> sums = calculator.Finish();
    CtdbEncoded encoded;
    encoded.parity.npar = npar;
    encoded.parity.stride = layout->stride;
    encoded.parity.syndromes = sums->SyndromesAt(0, npar);
    encoded.columnZero.assign(encoded.parity.syndromes.begin(),
                              encoded.parity.syndromes.begin() + npar);
    encoded.crc = sums->CrcAt(0);
    return encoded;
}

std::vector<uint16_t> CtdbParityWordsFromSyndromes(const uint16_t* syndromes, int npar) {
    // The parity p (degree < npar) makes c·x^npar + p vanish at α^0 ..
    // α^(npar-1): p(α^j) = S_j·α^(j·npar). Lagrange interpolation.
    const Tables& t = Gf();
    Poly parity(static_cast<std::size_t>(npar), 0);
    for (int j = 0; j < npar; ++j) {
        const uint16_t value = MulExp(t, syndromes[j], static_cast<uint32_t>(j * npar) % gf16::kOrder);
        if (value == 0) {
            continue;
        }
        Poly basis(1, 1);
        uint16_t denominator = 1;
        for (int k = 0; k < npar; ++k) {
            if (k == j) {
                continue;
            }
            const uint16_t root = gf16::Exp(static_cast<uint32_t>(k));
            Poly next(basis.size() + 1, 0);
            for (std::size_t d = 0; d < basis.size(); ++d) {
                next[d + 1] ^= basis[d];
                next[d] ^= t.Mul(basis[d], root);
            }
            basis = std::move(next);
            denominator = t.Mul(denominator, gf16::Exp(static_cast<uint32_t>(j)) ^ root);
        }
        const uint16_t scale = gf16::Div(value, denominator);
        for (std::size_t d = 0; d < basis.size(); ++d) {
            parity[d] ^= t.Mul(basis[d], scale);
        }
    }
    std::reverse(parity.begin(), parity.end()); // highest power first
    return parity;
}

// ---- finding the shift, analysing, mending ----

std::optional<CtdbShift> FindCtdbShift(const CtdbRipSyndromes& rip, const CtdbEntry& entry) {
    const int npar = std::min<int>(kMaxNpar, static_cast<int>(entry.syndrome.size()));
    if (npar == 0 || entry.stride != rip.layout.strideSamples) {
        return std::nullopt;
    }
    const int limit = static_cast<int>(rip.layout.strideSamples) - 1;
    std::vector<int> order{0};
    for (int d = 1; d <= limit; ++d) {
        order.push_back(-d);
        order.push_back(d);
    }
    for (int shift : order) {
        if (rip.SyndromesAt(shift, npar, 1) ==
            std::vector<uint16_t>(entry.syndrome.begin(), entry.syndrome.begin() + npar)) {
            return CtdbShift{shift, true};
        }
    }
    const Tables& t = Gf();
    std::optional<CtdbShift> best;
    int fewest = npar / 2; // a candidate must leave room below the capacity
    std::vector<std::pair<uint32_t, uint16_t>> errors;
    for (int shift : order) {
        std::vector<uint16_t> s = rip.SyndromesAt(shift, npar, 1);
        for (int j = 0; j < npar; ++j) {
            s[j] ^= entry.syndrome[j];
        }
        Poly lambda;
        const int count = ErrorLocator(t, s.data(), npar, lambda);
        if (count > 0 && count < fewest && DecodeColumn(t, s.data(), npar, rip.layout.rows, errors)) {
            best = CtdbShift{shift, false};
            fewest = count;
        }
    }
    return best;
}

CtdbRepairPlan AnalyseCtdbRepair(const CtdbRipSyndromes& rip, const CtdbParity& parity,
                                 const CtdbEntry& entry, int shift) {
    CtdbRepairPlan plan;
    plan.shift = shift;
    plan.npar = std::min(parity.npar, kMaxNpar);
    const CtdbParityLayout& layout = rip.layout;
    if (parity.stride != layout.stride || plan.npar < 2 ||
        parity.syndromes.size() != static_cast<std::size_t>(parity.stride) * parity.npar) {
        plan.reason = "the parity does not fit this disc";
        return plan;
    }
    if (shift <= -static_cast<int>(layout.strideSamples) ||
        shift >= static_cast<int>(layout.strideSamples)) {
        plan.reason = "the entry's offset is out of reach";
        return plan;
    }
    const Tables& t = Gf();
    const int npar = plan.npar;
    const std::vector<uint16_t> mine = rip.SyndromesAt(shift, npar);
    const uint64_t codeBytes = uint64_t{2} * layout.rows * layout.stride;
    uint32_t crc = rip.CrcAt(shift);
    std::vector<uint16_t> s(static_cast<std::size_t>(npar));
    std::vector<std::pair<uint32_t, uint16_t>> errors;
    for (uint32_t column = 0; column < layout.stride; ++column) {
        bool differs = false;
        for (int j = 0; j < npar; ++j) {
            s[j] = mine[static_cast<std::size_t>(column) * npar + j] ^
                   parity.syndromes[static_cast<std::size_t>(column) * parity.npar + j];
            differs |= s[j] != 0;
        }
        if (!differs) {
            continue;
        }
        ++plan.columnsWithErrors;
        if (!DecodeColumn(t, s.data(), npar, layout.rows, errors)) {
            plan.mostErrorsInAColumn = npar / 2 + 1; // at least
            plan.corrections.clear();
            plan.reason = "more damage than the parity can mend (over " + std::to_string(npar / 2) +
                          " wrong words in a column of " + std::to_string(layout.rows) + ")";
            return plan;
        }
        plan.mostErrorsInAColumn = std::max(plan.mostErrorsInAColumn, static_cast<int>(errors.size()));
        for (const auto& [power, flip] : errors) {
            // Word `row` of the column, counted from the first word the
            // code covers in the entry's frame.
            const uint64_t index = static_cast<uint64_t>(layout.rows - 1 - power) * layout.stride + column;
            plan.corrections.push_back(CtdbCorrection{
                layout.FirstWord() + index + static_cast<uint64_t>(2 * static_cast<int64_t>(shift)), flip});
            // CRC(data ^ e) = CRC(data) ^ linear part of CRC(e); e is the
            // flip followed by zeros to the end of the covered words.
            const uint8_t flipBytes[2] = {static_cast<uint8_t>(flip), static_cast<uint8_t>(flip >> 8)};
            const uint8_t zeros[2] = {0, 0};
            const uint32_t linear = Crc32(flipBytes, 2) ^ Crc32(zeros, 2);
            crc ^= static_cast<uint32_t>(
                crc32_combine(linear, 0, static_cast<z_off_t>(codeBytes - 2 * index - 2)));
        }
    }
    std::sort(plan.corrections.begin(), plan.corrections.end(),
              [](const CtdbCorrection& a, const CtdbCorrection& b) { return a.word < b.word; });
    uint64_t lastSample = UINT64_MAX;
    for (const CtdbCorrection& c : plan.corrections) {
        if (c.word / 2 != lastSample) {
            ++plan.wrongSamples;
            lastSample = c.word / 2;
        }
    }
    plan.repairedCrc = crc;
    if (crc != entry.crc32) {
        plan.corrections.clear();
        plan.wrongSamples = 0;
        plan.reason = plan.columnsWithErrors == 0
                          ? "the parity agrees but the CRC differs from the entry's"
                          : "the mended audio would not carry the entry's CRC";
        return plan;
    }
    plan.outcome = plan.corrections.empty() ? CtdbRepairPlan::Outcome::Exact
                                            : CtdbRepairPlan::Outcome::Repairable;
    return plan;
}

std::vector<CtdbRepairedRun> CtdbRepairedRuns(const CtdbRepairPlan& plan, uint64_t join) {
    std::vector<CtdbRepairedRun> runs;
    for (const CtdbCorrection& c : plan.corrections) {
        const uint64_t sample = c.word / 2;
        if (!runs.empty() && sample < runs.back().firstSample + runs.back().samples + join) {
            runs.back().samples = std::max(runs.back().samples, sample - runs.back().firstSample + 1);
        } else {
            runs.push_back(CtdbRepairedRun{sample, 1});
        }
    }
    return runs;
}

std::size_t ApplyCtdbRepair(const CtdbRepairPlan& plan, uint64_t firstSample, uint8_t* pcm,
                            std::size_t bytes) {
    const uint64_t firstWord = firstSample * 2;
    const uint64_t endWord = firstWord + bytes / 2;
    auto it = std::lower_bound(plan.corrections.begin(), plan.corrections.end(), firstWord,
                               [](const CtdbCorrection& c, uint64_t w) { return c.word < w; });
    std::size_t changed = 0;
    for (; it != plan.corrections.end() && it->word < endWord; ++it) {
        uint8_t* p = pcm + 2 * (it->word - firstWord);
        p[0] ^= static_cast<uint8_t>(it->flip);
        p[1] ^= static_cast<uint8_t>(it->flip >> 8);
        ++changed;
    }
    return changed;
}

} // namespace vindral::accuracy

#include "drive/emulated/DemoDisc.h"

#include <cmath>
#include <cstdio>
#include <cstring>

namespace vindral::emulated {

namespace {

constexpr int kFramesPerSector = kSectorBytes / 4;
constexpr int64_t kRate = 44100;

// Frequencies in thousandths of a hertz, so that phases stay exact integers.
constexpr int64_t kG2 = 97999, kC3 = 130813, kE3 = 164814, kF3 = 174614, kG3 = 195998,
                  kA3 = 220000, kB3 = 246942, kC4 = 261626, kD4 = 293665, kE4 = 329628,
                  kG4 = 391995, kA4 = 440000, kC5 = 523251;

enum class Piece { Melody, Chord, Arpeggio, QuietTone, Bells };

struct DemoTrack {
    Piece piece;
    int32_t length; // sectors
};

constexpr DemoTrack kAudioTracks[] = {
    {Piece::Melody, 2400},
    {Piece::Chord, 1920},
    {Piece::Arpeggio, 2103}, // 131 blocks of 16 and 7 sectors
    {Piece::QuietTone, 1600},
    {Piece::Bells, 2560},
};
constexpr int32_t kDataTrackLength = 1200;

// sin(2 pi x) for x in [0, 1), by a polynomial: plain IEEE arithmetic, so the
// samples do not depend on the platform's maths library.
double Sin2Pi(double x) {
    double sign = 1.0;
    if (x >= 0.5) {
        x -= 0.5;
        sign = -1.0;
    }
    if (x > 0.25) {
        x = 0.5 - x;
    }
    const double a = 2.0 * 3.14159265358979323846 * x;
    const double a2 = a * a;
    const double series =
        a * (1.0 - a2 / 6.0 *
                       (1.0 - a2 / 20.0 *
                                  (1.0 - a2 / 42.0 *
                                             (1.0 - a2 / 72.0 * (1.0 - a2 / 110.0 *
                                                                            (1.0 - a2 / 156.0))))));
    return sign * series;
}

// The tone of `milliHz` at frame n.
double Tone(int64_t milliHz, int64_t n) {
    const int64_t period = kRate * 1000;
    return Sin2Pi(static_cast<double>((n * milliHz) % period) / static_cast<double>(period));
}

// A struck note: a 10 ms rise (smooth step), then a fall to nothing at `length`.
double Strike(int64_t t, int64_t length, int64_t attack, int power) {
    if (t < 0 || t >= length) {
        return 0.0;
    }
    double rise = 1.0;
    if (t < attack) {
        const double u = static_cast<double>(t) / static_cast<double>(attack);
        rise = u * u * (3.0 - 2.0 * u);
    }
    const double fall = 1.0 - static_cast<double>(t) / static_cast<double>(length);
    double env = rise;
    for (int i = 0; i < power; ++i) {
        env *= fall;
    }
    return env;
}

int16_t ToSample(double value) {
    const double scaled = std::floor(value * 32767.0 + 0.5);
    return static_cast<int16_t>(scaled > 32767.0 ? 32767 : scaled < -32768.0 ? -32768 : scaled);
}

class DemoAudioSource : public SectorSource {
public:
    DemoAudioSource(Piece piece, int32_t length) : piece_(piece), length_(length) {}

    bool Read(int64_t index, SectorAddress, uint8_t* out) const override {
        for (int i = 0; i < kFramesPerSector; ++i) {
            const int64_t n = index * kFramesPerSector + i;
            double left = 0.0;
            double right = 0.0;
            Frame(n, left, right);
            // The last 0.1 s fade out, so no track ends in a click.
            const int64_t remaining = int64_t{length_} * kFramesPerSector - n;
            if (remaining < kRate / 10) {
                const double fade = static_cast<double>(remaining) / (kRate / 10);
                left *= fade;
                right *= fade;
            }
            const int16_t l = ToSample(left);
            const int16_t r = ToSample(right);
            out[4 * i + 0] = static_cast<uint8_t>(l & 0xFF);
            out[4 * i + 1] = static_cast<uint8_t>((l >> 8) & 0xFF);
            out[4 * i + 2] = static_cast<uint8_t>(r & 0xFF);
            out[4 * i + 3] = static_cast<uint8_t>((r >> 8) & 0xFF);
        }
        return true;
    }

private:
    void Frame(int64_t n, double& left, double& right) const {
        const int64_t total = int64_t{length_} * kFramesPerSector;
        switch (piece_) {
        case Piece::Melody: {
            static constexpr int64_t notes[16] = {kC4, kE4, kG4, kA4, kG4, kE4, kD4, kC4,
                                                  kD4, kE4, kG4, kC5, kA4, kG4, kE4, kD4};
            const int64_t noteLength = kRate / 2;
            const int64_t note = (n / noteLength) % 16;
            const int64_t f = notes[note];
            const double env = Strike(n % noteLength, noteLength, 441, 2);
            const double v =
                env * (0.35 * Tone(f, n) + 0.12 * Tone(2 * f, n) + 0.05 * Tone(3 * f, n));
            const double pan = (note % 2 == 0) ? 0.35 : 0.65;
            left = v * (1.0 - pan) * 1.4;
            right = v * pan * 1.4;
            break;
        }
        case Piece::Chord: {
            // Swells: sin^2 rising for eight seconds and falling for eight.
            const int64_t swell = 8 * kRate;
            const double s = Sin2Pi(static_cast<double>(n % (2 * swell)) /
                                    static_cast<double>(4 * swell));
            const double env = s * s;
            const double c = Tone(kC3, n), e = Tone(kE3, n), g = Tone(kG3, n), b = Tone(kB3, n);
            left = env * (0.16 * c + 0.12 * g + 0.05 * e + 0.04 * b);
            right = env * (0.16 * e + 0.12 * b + 0.05 * c + 0.04 * g);
            break;
        }
        case Piece::Arpeggio: {
            static constexpr int64_t notes[8] = {kA3, kC4, kE4, kA4, kC5, kA4, kE4, kC4};
            const int64_t noteLength = kRate / 8;
            const int64_t note = (n / noteLength) % 8;
            const int64_t f = notes[note];
            const double env = Strike(n % noteLength, noteLength, 220, 3);
            const double v = env * (0.3 * Tone(f, n) + 0.1 * Tone(2 * f, n));
            // The line wanders from left to right across each bar.
            const double pan = 0.2 + 0.6 * static_cast<double>(note) / 7.0;
            left = v * (1.0 - pan) * 1.5;
            right = v * pan * 1.5;
            break;
        }
        case Piece::QuietTone: {
            const int64_t silent = int64_t{kDemoSilentSectors} * kFramesPerSector;
            if (n < silent) {
                left = right = 0.0; // exact digital silence
                break;
            }
            const int64_t fade = 2 * kRate;
            const double in = std::min(1.0, static_cast<double>(n - silent) / fade);
            const double out = std::min(1.0, static_cast<double>(total - n) / fade);
            const double v = in * out * (0.12 * Tone(kG2, n) + 0.08 * Tone(kG3, n));
            left = v;
            right = v * 0.9;
            break;
        }
        case Piece::Bells: {
            static constexpr int64_t chords[2][3] = {{kF3, kA3, kC4}, {kG3, kB3, kD4}};
            const int64_t chordLength = kRate;
            const int64_t which = (n / chordLength) % 2;
            const double env = Strike(n % chordLength, chordLength, 441, 2);
            double v[3];
            for (int k = 0; k < 3; ++k) {
                const int64_t f = chords[which][k];
                v[k] = 0.1 * Tone(f, n) + 0.03 * Tone(f * 276 / 100, n);
            }
            left = env * (v[0] + 0.6 * v[1] + 0.3 * v[2]);
            right = env * (0.3 * v[0] + 0.6 * v[1] + v[2]);
            break;
        }
        }
    }

    Piece piece_;
    int32_t length_;
};

class DemoDataSource : public SectorSource {
public:
    bool Read(int64_t index, SectorAddress address, uint8_t* out) const override {
        uint8_t user[kMode1UserBytes];
        std::memset(user, 0, sizeof user);
        std::snprintf(reinterpret_cast<char*>(user), 64,
                      "VINDRAL DEMO DISC - DATA TRACK - SECTOR %08lld",
                      static_cast<long long>(index));
        uint32_t x = 0x9E3779B9u ^ static_cast<uint32_t>(index);
        for (int i = 64; i < kMode1UserBytes; ++i) {
            x ^= x << 13;
            x ^= x >> 17;
            x ^= x << 5;
            user[i] = static_cast<uint8_t>(x);
        }
        EncodeMode1Sector(address, user, out);
        return true;
    }
};

} // namespace

std::shared_ptr<const Disc> MakeDemoDisc() {
    auto disc = std::make_shared<Disc>();
    SectorAddress at = 0;
    int number = 1;
    for (const DemoTrack& track : kAudioTracks) {
        disc->AddTrack(number++, false, at);
        disc->AddSegment(at, track.length, false,
                         std::make_shared<DemoAudioSource>(track.piece, track.length));
        at += track.length;
    }
    disc->AddTrack(number, true, at);
    disc->AddSegment(at, kDataTrackLength, true, std::make_shared<DemoDataSource>());
    disc->SetLeadOut(at + kDataTrackLength);
    return disc;
}

} // namespace vindral::emulated

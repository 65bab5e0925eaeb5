// What the dialog tests share: emulated drives with synthetic discs, a
// temporary folder, and helpers that act on modal windows from inside their
// modal loops, with a watchdog so that a wrong step fails instead of hanging.
#pragma once

#include <QApplication>
#include <QDialog>
#include <QFileDialog>
#include <QLineEdit>
#include <QStringList>
#include <QTemporaryDir>
#include <QTimer>
#include <QWidget>

#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <functional>
#include <memory>
#include <vector>

#include "drive/Transport.h"
#include "drive/emulated/Disc.h"
#include "drive/emulated/EmulatedDrive.h"
#include "drive/emulated/EmulatedTransport.h"

namespace vindral::test {

// The window looks discs up for names unless told otherwise: the dialog
// tests stay on this machine, also when run outside CTest; a test of the
// look-up unsets it for its own time.
inline const bool kNoMetadataLookups = ::setenv("VINDRAL_NO_METADATA", "1", 0) == 0;

// Audio that differs in every sector and at every position.
class PatternSource : public emulated::SectorSource {
public:
    bool Read(int64_t /*index*/, SectorAddress address, uint8_t* out) const override {
        for (int i = 0; i < kSectorBytes; ++i) {
            out[i] = static_cast<uint8_t>((address * 7 + i * 13 + (i >> 8) + (address >> 4)) & 0xFF);
        }
        return true;
    }
};

struct TrackSpec {
    int number;
    SectorAddress start;
    bool data = false;
};

// A disc with the given tracks and lead-out; audio tracks carry the pattern.
inline std::shared_ptr<const emulated::Disc> MakeDisc(const std::vector<TrackSpec>& tracks,
                                                      SectorAddress leadOut) {
    auto disc = std::make_shared<emulated::Disc>();
    auto pattern = std::make_shared<PatternSource>();
    for (std::size_t i = 0; i < tracks.size(); ++i) {
        disc->AddTrack(tracks[i].number, tracks[i].data, tracks[i].start);
        const SectorAddress end = i + 1 < tracks.size() ? tracks[i + 1].start : leadOut;
        if (!tracks[i].data) {
            disc->AddSegment(tracks[i].start, end - tracks[i].start, false, pattern,
                             tracks[i].start);
        }
    }
    disc->SetLeadOut(leadOut);
    return disc;
}

// Tracks 1 to 3 at sectors 0, 15000 and 30000, lead-out at 45000.
inline std::shared_ptr<const emulated::Disc> ThreeTrackDisc() {
    return MakeDisc({{1, 0}, {2, 15000}, {3, 30000}}, 45000);
}

// Replaces the transport with emulated drives holding the discs (nullptr: a
// drive without a disc).
inline std::vector<std::shared_ptr<emulated::EmulatedDrive>> UseEmulatedDrives(
    const std::vector<std::shared_ptr<const emulated::Disc>>& discs) {
    ResetTransportForTesting();
    auto transport = std::make_unique<emulated::EmulatedTransport>();
    std::vector<std::shared_ptr<emulated::EmulatedDrive>> drives;
    for (const auto& disc : discs) {
        drives.push_back(transport->AddDrive(disc));
    }
    SelectTransport(std::move(transport));
    return drives;
}

// Runs `step` once on the first modal window of type T that appears, from
// inside whatever modal loop is running.
template <class T>
void WhenModal(std::function<void(T*)> step, int pollMs = 10) {
    auto* timer = new QTimer(qApp);
    QObject::connect(timer, &QTimer::timeout, timer, [timer, step] {
        if (auto* window = qobject_cast<T*>(QApplication::activeModalWidget())) {
            timer->stop();
            timer->deleteLater();
            step(window);
        }
    });
    timer->start(pollMs);
}

// Fails a modal step that never ends: after `ms` every modal window is ended
// and `fired` says so.
class Watchdog {
public:
    explicit Watchdog(int ms) {
        timer_.setSingleShot(true);
        QObject::connect(&timer_, &QTimer::timeout, [this] {
            fired_ = true;
            for (int i = 0; i < 10; ++i) {
                if (auto* dialog = qobject_cast<QDialog*>(QApplication::activeModalWidget())) {
                    dialog->done(QDialog::Rejected);
                }
            }
        });
        timer_.start(ms);
    }
    bool Fired() const { return fired_; }

private:
    QTimer timer_;
    bool fired_ = false;
};

// Types a name into a file dialog's name field, as the user would (the
// dialog's selectFile leaves a field that has the focus alone).
inline void TypeFileName(QFileDialog* chooser, const QString& name) {
    if (auto* edit = chooser->findChild<QLineEdit*>(QStringLiteral("fileNameEdit"))) {
        edit->setText(name);
    } else {
        chooser->selectFile(name);
    }
}

// The 2352 bytes that the disc holds at an address.
inline std::vector<uint8_t> SectorBytes(const emulated::Disc& disc, SectorAddress address) {
    std::vector<uint8_t> bytes(kSectorBytes);
    disc.ReadSector(address, bytes.data(), 0);
    return bytes;
}

// Names in a folder that a run must not leave behind: temporary files, and
// WAV files whose header does not describe exactly the bytes that follow.
inline QStringList LeftOvers(const std::filesystem::path& folder) {
    QStringList found;
    for (const auto& entry : std::filesystem::directory_iterator(folder)) {
        const std::string name = entry.path().filename().string();
        if (name.ends_with(".part")) {
            found << QString::fromStdString(name);
        } else if (name.ends_with(".wav")) {
            std::ifstream in(entry.path(), std::ios::binary);
            unsigned char header[44] = {};
            in.read(reinterpret_cast<char*>(header), sizeof header);
            const auto size = std::filesystem::file_size(entry.path());
            auto word = [&](int at) {
                return uint64_t(header[at]) | uint64_t(header[at + 1]) << 8 |
                       uint64_t(header[at + 2]) << 16 | uint64_t(header[at + 3]) << 24;
            };
            const bool complete = size > 44 && (size - 44) % 2352 == 0 &&
                                  std::memcmp(header, "RIFF", 4) == 0 && word(4) == size - 8 &&
                                  word(40) == size - 44;
            if (!complete) {
                found << QString::fromStdString(name);
            }
        }
    }
    return found;
}

} // namespace vindral::test

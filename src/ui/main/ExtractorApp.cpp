#include "ui/main/ExtractorApp.h"

#include <QMessageBox>
#include <QPushButton>
#include <QTimer>
#include <QTreeWidget>

#include <cstdio>
#include <cstdlib>

#include "ui/common/DialogTemplate.h"
#include "ui/common/Help.h"
#include "ui/common/Pictures.h"
#include "ui/extract/ExtractDialog.h"
#include "ui/main/EndSignals.h"
#include "ui/main/MainDialog.h"

namespace vindral::ui {

bool ParseAppOptions(int argc, char** argv, AppOptions& options, std::string& error) {
    for (int i = 1; i < argc; ++i) {
        const std::string arg = argv[i];
        if (ParseDriveSourceOption(argc, argv, i, options.drives, error)) {
            continue;
        }
        if (!error.empty()) {
            return false;
        }
        if (arg.rfind("--select=", 0) == 0) {
            const std::string list = arg.substr(9);
            if (list == "all") {
                options.selectAll = true;
                continue;
            }
            std::size_t at = 0;
            while (at < list.size()) {
                std::size_t end = list.find(',', at);
                if (end == std::string::npos) {
                    end = list.size();
                }
                const std::string item = list.substr(at, end - at);
                char* stop = nullptr;
                const long number = std::strtol(item.c_str(), &stop, 10);
                if (item.empty() || *stop != '\0' || number < 1 || number > 99) {
                    error = "bad track number in --select: " + item;
                    return false;
                }
                options.selectTracks.push_back(static_cast<int>(number));
                at = end + 1;
            }
        } else if (arg == "--start") {
            options.autoStart = true;
        } else if (arg == "--quit-when-done") {
            options.quitWhenDone = true;
        } else if (arg == "--play-when-done") {
            options.playWhenDone = true;
        } else if (arg.rfind("-", 0) == 0 && arg.rfind("-platform", 0) != 0 &&
                   arg.rfind("-style", 0) != 0 && arg.rfind("-display", 0) != 0) {
            error = "unknown option " + arg;
            return false;
        }
    }
    return true;
}

std::optional<int> AnswerInfoOption(int argc, char** argv, std::ostream& out) {
    for (int i = 1; i < argc; ++i) {
        const std::string arg = argv[i];
        if (arg == "--version") {
            out << "vindral " << VINDRAL_VERSION << "\n";
            return 0;
        }
        if (arg == "--help" || arg == "-h") {
            out << "usage: vindral [--image FILE.cue]... [--demo] [--device NODE]...\n"
                   "Copies the audio tracks of a CD into WAV files, in a window.\n"
                   "\n"
                   "  --image FILE.cue      an emulated drive over a CUE sheet with BIN or WAV\n"
                   "                        files (repeatable: one drive per image)\n"
                   "  --demo                an emulated drive with the built-in demo disc\n"
                   "  --device /dev/srN     this drive node only (repeatable); without a\n"
                   "                        source, the machine's drives /dev/sr0 ... /dev/sr23\n"
                   "  --emulated-speed X    limit the emulated drives to X times the audio speed\n"
                   "  --version             show the version and quit\n"
                   "  --help                show this text and quit\n"
                   "\n"
                   "F1 opens the user guide. The command-line front end is vindral-cli.\n";
            return 0;
        }
    }
    return std::nullopt;
}

ExtractorApp::ExtractorApp(int& argc, char** argv) : QApplication(argc, argv) {
    setApplicationName(QStringLiteral("Vindral"));
    setDesktopFileName(QString::fromLatin1(kApplicationId));
    setWindowIcon(ApplicationIcon());
    setQuitOnLastWindowClosed(false);
    installEventFilter(new HelpKeyFilter(this));
    parsed_ = ParseAppOptions(argc, argv, options_, usageError_);
}

int ExtractorApp::Run() {
    if (!parsed_) {
        std::fprintf(stderr,
                     "vindral: %s\nusage: vindral [--image FILE.cue]... [--demo] [--device NODE]...\n",
                     usageError_.c_str());
        return 2;
    }
    return Run(options_);
}

int ExtractorApp::Run(const AppOptions& options) {
    std::string error;
    std::vector<std::shared_ptr<emulated::EmulatedDrive>> emulatedDrives;
    if (!SetUpDrives(options.drives, error, &emulatedDrives)) {
        QMessageBox box(QMessageBox::Critical, QStringLiteral("Vindral"),
                        QString::fromStdString(error), QMessageBox::Ok);
        box.exec();
        return 1;
    }
    MainDialog dialog;
    dialog.SetEmulatedDrives(emulatedDrives);
    // SIGTERM, SIGINT and SIGHUP end the program as the user would: a
    // running extraction is cancelled (its file goes), the settings are
    // written, and the exit status is 128 + the signal's number.
    int endSignal = 0;
    EndSignals endSignals;
    connect(&endSignals, &EndSignals::received, &dialog, [&dialog, &endSignal](int number) {
        if (endSignal == 0) {
            endSignal = number;
        }
        dialog.EndProgram();
    });
    if (!dialog.Initialise()) {
        return endSignal != 0 ? 128 + endSignal : 0;
    }
    scriptFailed_ = false;
    Script(dialog, options);
    if (!dialog.EndRequested()) {
        dialog.exec();
    }
    if (endSignal != 0) {
        return 128 + endSignal;
    }
    return scriptFailed_ ? 1 : 0;
}

void ExtractorApp::Script(MainDialog& dialog, const AppOptions& options) {
    if (!options.selectAll && options.selectTracks.empty() && !options.autoStart) {
        return;
    }
    auto* list = Control<QTreeWidget>(dialog, kIdTrackList);
    const TrackTable& tracks = dialog.Tracks();
    for (int row = 0; row < tracks.count && row < list->topLevelItemCount(); ++row) {
        const TrackEntry& entry = tracks.entries[static_cast<std::size_t>(row)];
        bool wanted = false;
        if (options.selectAll) {
            wanted = entry.dataTrack == 0;
        }
        for (const int number : options.selectTracks) {
            wanted = wanted || number == entry.number;
        }
        list->topLevelItem(row)->setSelected(wanted);
    }
    dialog.SelectionStatistics();
    if (!options.autoStart) {
        return;
    }
    if (options.playWhenDone) {
        auto* watch = new QTimer(&dialog);
        QObject::connect(watch, &QTimer::timeout, &dialog, [&dialog, watch] {
            ExtractDialog* run = dialog.RunningExtraction();
            if (run != nullptr && run->Protocol().Finished()) {
                watch->stop();
                Control<QPushButton>(*run, kIdPlay)->click();
            }
        });
        watch->start(20);
    }
    QTimer::singleShot(0, &dialog, [this, quitWhenDone = options.quitWhenDone, &dialog] {
        auto* start = Control<QPushButton>(dialog, kIdStart);
        dialog.SelectionStatistics();
        if (!start->isEnabled()) {
            std::fprintf(stderr, "vindral: nothing to extract\n");
            scriptFailed_ = true;
            if (quitWhenDone) {
                dialog.reject();
            }
            return;
        }
        if (quitWhenDone) {
            auto* watch = new QTimer(&dialog);
            QObject::connect(watch, &QTimer::timeout, &dialog, [this, &dialog, watch] {
                ExtractDialog* run = dialog.RunningExtraction();
                if (run == nullptr) {
                    return;
                }
                const RunProtocol& protocol = run->Protocol();
                if (protocol.Finished() || (protocol.Failed() && !protocol.WorkerActive())) {
                    watch->stop();
                    scriptFailed_ = protocol.Failed();
                    std::fprintf(stderr, "vindral: %s\n",
                                 protocol.Failed() ? "extraction failed" : "extraction finished");
                    run->reject(); // Close
                    QTimer::singleShot(0, &dialog, [&dialog] { dialog.reject(); });
                }
            });
            watch->start(20);
        }
        start->click();
    });
}

} // namespace vindral::ui

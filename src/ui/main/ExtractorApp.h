// The application object: brings up the main window over the chosen drives
// and runs it until it is closed.
#pragma once

#include <QApplication>

#include <optional>
#include <ostream>
#include <string>

#include "drive/DriveSource.h"

namespace vindral::ui {

class MainDialog;

// What the command line asks for.
struct AppOptions {
    DriveSourceOptions drives;
    // Hidden, for scripted runs (screenshots, benchmarks): the track numbers
    // to select, whether to press Start, and whether to close everything
    // once the extraction has finished.
    std::vector<int> selectTracks;
    bool selectAll = false;
    bool autoStart = false;
    bool quitWhenDone = false;
    // Press Play in the extraction dialog once the run has finished.
    bool playWhenDone = false;
};

// Parses the arguments after the program name. False with `error` set on a
// usage error.
bool ParseAppOptions(int argc, char** argv, AppOptions& options, std::string& error);

// --version and --help, answered before anything touches the window system
// (so they work without a display): the exit status when one of them is on the
// command line, with its text written to `out`; otherwise nothing.
std::optional<int> AnswerInfoOption(int argc, char** argv, std::ostream& out);

// The application's identifier: the desktop entry's name without ".desktop",
// the AppStream id and the icon's name.
inline constexpr const char* kApplicationId = "org.vindral.Vindral";

class ExtractorApp : public QApplication {
    Q_OBJECT
public:
    ExtractorApp(int& argc, char** argv);

    // Sets up the drives, runs the main window and returns the exit code:
    // 0 normally, 1 when a disc image could not be loaded (or a scripted
    // extraction failed), 2 on a usage error, 128 + the signal's number when
    // SIGTERM, SIGINT or SIGHUP ended it.
    int Run();
    // The same with options given by the caller.
    int Run(const AppOptions& options);

private:
    void Script(MainDialog& dialog, const AppOptions& options);

    AppOptions options_;
    std::string usageError_;
    bool parsed_ = false;
    bool scriptFailed_ = false;
};

} // namespace vindral::ui

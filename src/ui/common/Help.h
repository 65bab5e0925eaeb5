// F1 help: the user guide vindraldoc.htm, opened from every window of the
// program with F1 alone (no Shift, Ctrl or Alt).
#pragma once

#include <QObject>
#include <QString>
#include <QUrl>

#include <functional>

namespace vindral::ui {

inline constexpr const char* kHelpDocument = "vindraldoc.htm";

// The guide: in the current folder, then beside the executable, then in the
// installed data folder. Empty when it is nowhere.
QString FindHelpDocument();
// The same for a program in `programFolder`; its installed data folder is
// share/vindral/ beside the bin/ folder it sits in.
QString FindHelpDocument(const QString& programFolder);

// Opens the guide through the desktop's handler for HTML files. A missing
// guide or handler shows nothing.
void OpenHelp();

// Installed on the application: F1 without Shift, Ctrl or Alt in any window
// opens the guide.
class HelpKeyFilter : public QObject {
    Q_OBJECT
public:
    using Opener = std::function<void()>;
    explicit HelpKeyFilter(QObject* parent = nullptr, Opener opener = OpenHelp);

protected:
    bool eventFilter(QObject* watched, QEvent* event) override;

private:
    Opener opener_;
};

} // namespace vindral::ui

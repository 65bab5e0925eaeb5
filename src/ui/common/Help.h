// Help: F1 in any window of the program opens the help document,
// vindraldoc.htm, in the user's browser.
#pragma once

#include <QObject>
#include <QString>
#include <QStringList>

namespace vindral::ui {

inline constexpr const char* kHelpDocument = "vindraldoc.htm";

// Where the document is looked for, in order: the current folder, the
// executable's folder, the installed data folder.
QStringList HelpDocumentFolders();
// The first existing document, or empty.
QString FindHelpDocument();
// Opens it (nothing happens when there is none).
void OpenHelpDocument();

// Watches the whole application for F1 without Shift, Ctrl or Alt.
class HelpKeyFilter : public QObject {
    Q_OBJECT
public:
    using QObject::QObject;

protected:
    bool eventFilter(QObject* watched, QEvent* event) override;
};

} // namespace vindral::ui

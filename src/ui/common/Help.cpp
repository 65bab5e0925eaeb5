#include "ui/common/Help.h"

#include <QCoreApplication>
#include <QDesktopServices>
#include <QDir>
#include <QFileInfo>
#include <QKeyEvent>
#include <QStandardPaths>

namespace vindral::ui {

QString FindHelpDocument() { return FindHelpDocument(QCoreApplication::applicationDirPath()); }

QString FindHelpDocument(const QString& programFolder) {
    QStringList candidates;
    candidates << QDir::current().filePath(kHelpDocument);
    const QString beside = programFolder;
    if (!beside.isEmpty()) {
        candidates << QDir(beside).filePath(kHelpDocument);
        // A build tree keeps the guide among the resources of the sources.
        candidates << QDir(beside).filePath(QString("../../../res/") + kHelpDocument);
        // An installed program: the data folder of its prefix, wherever that is.
        candidates << QDir(beside).filePath(QString(VINDRAL_DATA_FROM_BIN "/") + kHelpDocument);
    }
    for (const QString& folder :
         QStandardPaths::standardLocations(QStandardPaths::GenericDataLocation)) {
        candidates << QDir(folder).filePath(QString("vindral/") + kHelpDocument);
    }
    for (const QString& candidate : candidates) {
        if (QFileInfo(candidate).isFile()) {
            return QFileInfo(candidate).absoluteFilePath();
        }
    }
    return {};
}

void OpenHelp() {
    const QString document = FindHelpDocument();
    if (!document.isEmpty()) {
        QDesktopServices::openUrl(QUrl::fromLocalFile(document));
    }
}

HelpKeyFilter::HelpKeyFilter(QObject* parent, Opener opener)
    : QObject(parent), opener_(std::move(opener)) {}

bool HelpKeyFilter::eventFilter(QObject* watched, QEvent* event) {
    if (event->type() == QEvent::KeyPress) {
        auto* key = static_cast<QKeyEvent*>(event);
        const auto held = key->modifiers() & (Qt::ShiftModifier | Qt::ControlModifier |
                                              Qt::AltModifier);
        // Every key press reaches the filter once per window it passes; act
        // on the widget that has it first, and only there.
        if (key->key() == Qt::Key_F1 && held == 0 && !key->isAutoRepeat() &&
            watched->isWidgetType()) {
            if (opener_) {
                opener_();
            }
            return true;
        }
    }
    return QObject::eventFilter(watched, event);
}

} // namespace vindral::ui

#include "ui/common/Help.h"

#include <QCoreApplication>
#include <QDesktopServices>
#include <QDir>
#include <QFileInfo>
#include <QKeyEvent>
#include <QUrl>

namespace vindral::ui {

QStringList HelpDocumentFolders() {
    QStringList folders{QDir::currentPath(), QCoreApplication::applicationDirPath()};
#ifdef VINDRAL_DATA_DIR
    folders << QStringLiteral(VINDRAL_DATA_DIR);
#endif
    return folders;
}

QString FindHelpDocument() {
    for (const QString& folder : HelpDocumentFolders()) {
        const QFileInfo document(QDir(folder), QString::fromLatin1(kHelpDocument));
        if (document.isFile()) {
            return document.absoluteFilePath();
        }
    }
    return {};
}

void OpenHelpDocument() {
    const QString document = FindHelpDocument();
    if (!document.isEmpty()) {
        QDesktopServices::openUrl(QUrl::fromLocalFile(document));
    }
}

bool HelpKeyFilter::eventFilter(QObject* watched, QEvent* event) {
    if (event->type() == QEvent::KeyPress) {
        auto* key = static_cast<QKeyEvent*>(event);
        const Qt::KeyboardModifiers held =
            key->modifiers() & (Qt::ShiftModifier | Qt::ControlModifier | Qt::AltModifier);
        // The first widget that gets the press (the one with the focus)
        // stands for its window; the press goes no further.
        if (key->key() == Qt::Key_F1 && held == Qt::NoModifier && !key->isAutoRepeat() &&
            watched->isWidgetType()) {
            OpenHelpDocument();
            return true;
        }
    }
    return QObject::eventFilter(watched, event);
}

} // namespace vindral::ui

// F1 opens the help document from any window; with Shift, Ctrl or Alt it
// opens nothing.
#include <QDesktopServices>
#include <QDialog>
#include <QDir>
#include <QFile>
#include <QLineEdit>
#include <QTemporaryDir>
#include <QTest>
#include <QUrl>

#include "ui/common/Help.h"

namespace vindral::ui {
namespace {

class UrlCatcher : public QObject {
    Q_OBJECT
public:
    QList<QUrl> opened;
public slots:
    void Open(const QUrl& url) { opened << url; }
};

class HelpTest : public QObject {
    Q_OBJECT

private:
    UrlCatcher catcher_;
    QTemporaryDir temp_;
    QString savedFolder_;

private slots:
    void initTestCase() {
        QVERIFY(temp_.isValid());
        savedFolder_ = QDir::currentPath();
        QDesktopServices::setUrlHandler(QStringLiteral("file"), &catcher_, "Open");
        qApp->installEventFilter(new HelpKeyFilter(qApp));
    }
    void cleanupTestCase() {
        QDesktopServices::unsetUrlHandler(QStringLiteral("file"));
        QDir::setCurrent(savedFolder_);
    }
    void init() { catcher_.opened.clear(); }

    void currentFolderComesFirst() {
        QVERIFY(QDir::setCurrent(temp_.path()));
        QFile::remove(temp_.path() + "/vindraldoc.htm");
        // Without a document here, the next folder is asked.
        const QString fallback = FindHelpDocument();
        QVERIFY(!fallback.startsWith(temp_.path()));
        QFile document(temp_.path() + "/vindraldoc.htm");
        QVERIFY(document.open(QIODevice::WriteOnly));
        document.close();
        QCOMPARE(FindHelpDocument(), QFileInfo(document).absoluteFilePath());
        QCOMPARE(HelpDocumentFolders().value(0), QDir::currentPath());
        QCOMPARE(HelpDocumentFolders().value(1), QCoreApplication::applicationDirPath());
    }

    void f1OpensTheDocumentFromAnyWindow() {
        QVERIFY(QDir::setCurrent(temp_.path()));
        QFile document(temp_.path() + "/vindraldoc.htm");
        QVERIFY(document.open(QIODevice::WriteOnly));
        document.close();
        const QUrl expected = QUrl::fromLocalFile(QFileInfo(document).absoluteFilePath());

        QDialog dialog;
        auto* edit = new QLineEdit(&dialog);
        dialog.show();
        QVERIFY(QTest::qWaitForWindowExposed(&dialog));
        edit->setFocus();
        QTest::keyClick(edit, Qt::Key_F1);
        QCOMPARE(catcher_.opened, QList<QUrl>({expected}));

        QDialog second(&dialog);
        second.show();
        QTest::keyClick(&second, Qt::Key_F1);
        QCOMPARE(catcher_.opened.size(), 2);
    }

    void modifiersOpenNothing() {
        QVERIFY(QDir::setCurrent(temp_.path()));
        QDialog dialog;
        dialog.show();
        for (const Qt::KeyboardModifier held :
             {Qt::ShiftModifier, Qt::ControlModifier, Qt::AltModifier}) {
            QTest::keyClick(&dialog, Qt::Key_F1, held);
        }
        QVERIFY(catcher_.opened.isEmpty());
    }
};

} // namespace
} // namespace vindral::ui

QTEST_MAIN(vindral::ui::HelpTest)
#include "HelpTest.moc"

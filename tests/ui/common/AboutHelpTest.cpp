// The about box and F1 help.
#include <QApplication>
#include <QDesktopServices>
#include <QDir>
#include <QKeyEvent>
#include <QLineEdit>
#include <QMouseEvent>
#include <QPushButton>
#include <QTemporaryDir>
#include <QTest>
#include <QTimer>
#include <QUrl>

#include "ui/common/AboutDialog.h"
#include "ui/common/Help.h"
#include "ui/common/LinkLabel.h"

namespace vindral::ui {
namespace {

class UrlCatcher : public QObject {
    Q_OBJECT
public:
    QList<QUrl> opened;
public slots:
    void Open(const QUrl& url) { opened << url; }
};

class AboutHelpTest : public QObject {
    Q_OBJECT

private:
    UrlCatcher catcher_;

private slots:
    void initTestCase() {
        QDesktopServices::setUrlHandler("mailto", &catcher_, "Open");
        QDesktopServices::setUrlHandler("https", &catcher_, "Open");
        QDesktopServices::setUrlHandler("file", &catcher_, "Open");
    }
    void init() { catcher_.opened.clear(); }

    void labelsAndLinks() {
        AboutDialog about;
        about.show();
        QVERIFY(QTest::qWaitForWindowExposed(&about));
        QCOMPARE(about.windowTitle(), QString("About Vindral"));
        QVERIFY(about.VersionLabel() != nullptr);
        QCOMPARE(about.VersionLabel()->text(), QString("Vindral Version 0.2 Beta"));
        QCOMPARE(about.VersionLabel()->FontDescription().weight, 700);
        QVERIFY(about.VersionLabel()->FontDescription().underline);
        QVERIFY(!about.VersionLabel()->IsLink());
        for (LinkLabel* link : {about.EmailLabel(), about.WebLabel()}) {
            QVERIFY(link->IsLink());
            QCOMPARE(link->LabelTextColor(), QColor(0, 0, 255));
            QVERIFY(link->FontDescription().underline);
        }
        QTest::mousePress(about.EmailLabel(), Qt::LeftButton);
        QTest::mousePress(about.WebLabel(), Qt::LeftButton);
        QCOMPARE(catcher_.opened.size(), 2);
        QCOMPARE(catcher_.opened[0].toString(), QString("mailto:") + kAboutEmailAddress);
        QCOMPARE(catcher_.opened[1].toString(), QString(kAboutWebAddress));
    }

    void okEscapeAndCloseBoxCloseIt() {
        for (int way = 0; way < 3; ++way) {
            AboutDialog about;
            QTimer::singleShot(0, &about, [&] {
                if (way == 0) {
                    QTest::mouseClick(about.findChild<QPushButton*>("1"), Qt::LeftButton);
                } else if (way == 1) {
                    QTest::keyClick(&about, Qt::Key_Escape);
                } else {
                    about.close();
                }
            });
            QTimer watchdog;
            watchdog.setSingleShot(true);
            connect(&watchdog, &QTimer::timeout, &about, [&] { about.done(99); });
            watchdog.start(5000);
            const int result = about.exec();
            QVERIFY2(result != 99, "the about box did not close");
        }
    }

    void f1AloneOpensTheGuide() {
        int opened = 0;
        HelpKeyFilter filter(nullptr, [&] { ++opened; });
        qApp->installEventFilter(&filter);
        AboutDialog about;
        about.show();
        QVERIFY(QTest::qWaitForWindowExposed(&about));
        QTest::keyClick(&about, Qt::Key_F1);
        QCOMPARE(opened, 1);
        QTest::keyClick(&about, Qt::Key_F1, Qt::ShiftModifier);
        QTest::keyClick(&about, Qt::Key_F1, Qt::ControlModifier);
        QTest::keyClick(&about, Qt::Key_F1, Qt::AltModifier);
        QCOMPARE(opened, 1);
        QLineEdit edit;
        edit.show();
        QTest::keyClick(&edit, Qt::Key_F1);
        QCOMPARE(opened, 2); // from any window
        qApp->removeEventFilter(&filter);
    }

    void theGuideIsFoundInTheCurrentFolderFirst() {
        QTemporaryDir folder;
        const QString previous = QDir::currentPath();
        QDir::setCurrent(folder.path());
        QFile document(folder.filePath(kHelpDocument));
        QVERIFY(document.open(QIODevice::WriteOnly));
        document.write("<html></html>");
        document.close();
        QCOMPARE(FindHelpDocument(), QFileInfo(document).absoluteFilePath());
        OpenHelp();
        QDir::setCurrent(previous);
        QCOMPARE(catcher_.opened.size(), 1);
        QCOMPARE(catcher_.opened[0], QUrl::fromLocalFile(QFileInfo(document).absoluteFilePath()));
    }

    // An installed program (prefix/bin/vindral) finds the guide that the
    // install rules put into prefix/share/vindral/, whatever the prefix; a
    // guide beside the program comes first.
    void theInstalledGuideIsFoundFromTheProgramsFolder() {
        QTemporaryDir elsewhere;
        QTemporaryDir prefix;
        const QString previous = QDir::currentPath();
        QDir::setCurrent(elsewhere.path());
        QVERIFY(QDir(prefix.path()).mkpath("bin"));
        const QString bin = prefix.filePath("bin");
        QCOMPARE(FindHelpDocument(bin).startsWith(prefix.path()), false);
        QVERIFY(QDir(prefix.path()).mkpath("share/vindral"));
        auto write = [](const QString& path) {
            QFile file(path);
            return file.open(QIODevice::WriteOnly) && file.write("<html></html>") > 0;
        };
        const QString installed = prefix.filePath(QString("share/vindral/") + kHelpDocument);
        QVERIFY(write(installed));
        QCOMPARE(FindHelpDocument(bin), QFileInfo(installed).absoluteFilePath());
        const QString beside = QDir(bin).filePath(kHelpDocument);
        QVERIFY(write(beside));
        QCOMPARE(FindHelpDocument(bin), QFileInfo(beside).absoluteFilePath());
        QDir::setCurrent(previous);
    }
};

} // namespace
} // namespace vindral::ui

QTEST_MAIN(vindral::ui::AboutHelpTest)
#include "AboutHelpTest.moc"

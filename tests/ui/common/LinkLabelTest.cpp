// The label control: its setters, the repaint rules, the font description
// and the link behaviour.
#include <QApplication>
#include <QDesktopServices>
#include <QMouseEvent>
#include <QTest>
#include <QUrl>
#include <QWidget>

#include "ui/common/LinkLabel.h"

namespace vindral::ui {
namespace {

// Receives what QDesktopServices would open.
class UrlCatcher : public QObject {
    Q_OBJECT
public:
    QList<QUrl> opened;
public slots:
    void Open(const QUrl& url) { opened << url; }
};

// A parent that counts the presses that reach it.
class Parent : public QWidget {
public:
    int presses = 0;

protected:
    void mousePressEvent(QMouseEvent* event) override {
        ++presses;
        event->accept();
    }
};

class LinkLabelTest : public QObject {
    Q_OBJECT

private:
    UrlCatcher catcher_;

    struct Shown {
        Parent parent;
        LinkLabel* label;
        Shown() : label(new LinkLabel(&parent)) {
            parent.resize(200, 60);
            label->setGeometry(20, 20, 160, 20);
            parent.show();
            QVERIFY(QTest::qWaitForWindowExposed(&parent));
        }
        void Press() {
            QTest::mouseClick(parent.windowHandle(), Qt::LeftButton, {}, QPoint(60, 30));
        }
    };

private slots:
    void initTestCase() {
        for (const char* scheme : {"mailto", "http", "https"}) {
            QDesktopServices::setUrlHandler(scheme, &catcher_, "Open");
        }
    }
    void cleanupTestCase() {
        for (const char* scheme : {"mailto", "http", "https"}) {
            QDesktopServices::unsetUrlHandler(scheme);
        }
    }
    void init() { catcher_.opened.clear(); }

    void startsWithTheSystemColoursAndANormalFont() {
        LinkLabel label;
        QCOMPARE(label.LabelTextColor(), QApplication::palette().color(QPalette::WindowText));
        QCOMPARE(label.FontDescription().weight, 400);
        QVERIFY(!label.FontDescription().underline);
        QVERIFY(label.FontDescription().height < 0);
        QVERIFY(!label.IsLink());
    }

    void settersReturnTheLabelAndChangeOnePropertyEach() {
        LinkLabel label;
        QCOMPARE(&label.SetFontUnderline(true), &label);
        QCOMPARE(&label.SetFontBold(true), &label);
        QVERIFY(label.FontDescription().underline);
        QCOMPARE(label.FontDescription().weight, 700);
        QVERIFY(label.font().underline());
        QCOMPARE(label.font().weight(), QFont::Bold);

        QCOMPARE(&label.SetFontSize(15), &label);
        QCOMPARE(label.FontDescription().height, -15);
        QCOMPARE(label.font().pixelSize(), 15);
        QVERIFY(label.font().underline()); // the others stay
        QCOMPARE(&label.SetFontName(QStringLiteral("Arial")), &label);
        QCOMPARE(label.font().family(), QStringLiteral("Arial"));
        QCOMPARE(label.font().pixelSize(), 15);

        label.SetFontBold(false);
        QCOMPARE(label.FontDescription().weight, 400);
        QCOMPARE(label.font().weight(), QFont::Normal);

        QCOMPARE(&label.SetLabelTextColor(Qt::red), &label);
        QCOMPARE(&label.SetLabelBkColor(Qt::black), &label);
        QCOMPARE(&label.SetLink(true), &label);
        QCOMPARE(&label.SetLinkCursor(QCursor(Qt::PointingHandCursor)), &label);
    }

    void faceNamesKeepThirtyOneCharacters() {
        LinkLabel label;
        label.SetFontName(QString(40, QLatin1Char('x')));
        QCOMPARE(label.FontDescription().face.size(), 31);
    }

    void textColourRepaintsAtOnceBackgroundWaits() {
        Shown shown;
        LinkLabel& label = *shown.label;
        label.setText(QStringLiteral("00:00.0"));
        QApplication::processEvents();
        const int before = label.PaintCount();
        label.SetLabelTextColor(QColor(0, 0, 128));
        QVERIFY(label.PaintCount() > before);

        const int afterColour = label.PaintCount();
        label.SetLabelBkColor(QColor(0, 0, 0));
        QApplication::processEvents();
        QCOMPARE(label.PaintCount(), afterColour);
        // The next paint shows it.
        label.repaint();
        QCOMPARE(label.grab().toImage().pixelColor(1, 1), QColor(0, 0, 0));

        const int beforeFont = label.PaintCount();
        label.SetFontBold(true);
        QVERIFY(label.PaintCount() > beforeFont);
    }

    void drawsTheTextInItsColour() {
        LinkLabel label;
        label.resize(80, 24);
        label.setText(QStringLiteral("88888"));
        label.SetLabelTextColor(QColor(255, 255, 0)).SetLabelBkColor(QColor(0, 0, 0)).SetFontSize(15);
        const QImage image = label.grab().toImage();
        bool yellow = false;
        for (int y = 0; y < image.height() && !yellow; ++y) {
            for (int x = 0; x < image.width() && !yellow; ++x) {
                const QColor c = image.pixelColor(x, y);
                yellow = c.red() > 200 && c.green() > 200 && c.blue() < 60;
            }
        }
        QVERIFY(yellow);
    }

    void aPlainLabelLetsTheMouseThrough() {
        Shown shown;
        shown.label->setText(QStringLiteral("https://vindral.invalid/"));
        shown.label->SetLinkCursor(QCursor(Qt::PointingHandCursor));
        QCOMPARE(shown.parent.childAt(60, 30), nullptr);
        shown.Press();
        QCOMPARE(shown.parent.presses, 1);
        QVERIFY(catcher_.opened.isEmpty());
    }

    void aTooltipTakesTheHoverButNotThePress() {
        Shown shown;
        shown.label->setText(QStringLiteral("/a/folder/"));
        shown.label->setToolTip(QStringLiteral("/a/folder/"));
        QCOMPARE(shown.parent.childAt(60, 30), shown.label);
        QVERIFY(!shown.label->IsLink());
        // A press on it still reaches the window and opens nothing.
        shown.Press();
        QCOMPARE(shown.parent.presses, 1);
        QVERIFY(catcher_.opened.isEmpty());

        // Without the tooltip the mouse goes through again, unless it is a link.
        shown.label->setToolTip(QString());
        QCOMPARE(shown.parent.childAt(60, 30), nullptr);
        shown.label->SetLink(true);
        shown.label->setToolTip(QStringLiteral("x"));
        shown.label->setToolTip(QString());
        QCOMPARE(shown.parent.childAt(60, 30), shown.label);
        shown.label->SetLink(false);
        QCOMPARE(shown.parent.childAt(60, 30), nullptr);
    }

    void aLinkOpensItsTextOnPress() {
        Shown shown;
        shown.label->setText(QStringLiteral("https://vindral.invalid/"));
        shown.label->SetLink(true).SetLinkCursor(QCursor(Qt::PointingHandCursor));
        QCOMPARE(shown.parent.childAt(60, 30), shown.label);
        QCOMPARE(shown.label->cursor().shape(), Qt::PointingHandCursor);
        QTest::mousePress(shown.parent.windowHandle(), Qt::LeftButton, {}, QPoint(60, 30));
        QCOMPARE(catcher_.opened, QList<QUrl>({QUrl(QStringLiteral("https://vindral.invalid/"))}));
        QTest::mouseRelease(shown.parent.windowHandle(), Qt::LeftButton, {}, QPoint(60, 30));
        QCOMPARE(catcher_.opened.size(), 1); // the release opens nothing more
        QCOMPARE(shown.parent.presses, 0);

        // Switched off again, the clicks go to the parent.
        shown.label->SetLink(false);
        shown.Press();
        QCOMPARE(shown.parent.presses, 1);
        QCOMPARE(catcher_.opened.size(), 1);
    }

    void theAboutBoxAddressOpensAsMail() {
        Shown shown;
        shown.label->setText(QString::fromUtf8(kAboutEmailAddress));
        shown.label->SetLink(true);
        shown.Press();
        QCOMPARE(catcher_.opened,
                 QList<QUrl>({QUrl(QStringLiteral("mailto:") + QString::fromUtf8(kAboutEmailAddress))}));

        // Another letter case is another text: it is opened unchanged.
        const QString upper = QString::fromUtf8(kAboutEmailAddress).toUpper();
        shown.label->setText(upper);
        QCOMPARE(shown.label->LinkTarget(), upper);
    }
};

} // namespace
} // namespace vindral::ui

QTEST_MAIN(vindral::ui::LinkLabelTest)
#include "LinkLabelTest.moc"

// Building dialogs from templates in dialog units.
#include <QComboBox>
#include <QDialog>
#include <QFontMetrics>
#include <QGroupBox>
#include <QLabel>
#include <QPushButton>
#include <QTest>

#include <cmath>

#include "ui/common/DialogTemplate.h"
#include "ui/common/LinkLabel.h"

namespace vindral::ui {
namespace {

using K = ControlKind;

constexpr ControlTemplate kControls[] = {
    {1001, K::DefaultPushButton, "&Start", 40, 16, 44, 14},
    {kNoId, K::Text, "A rather long text for a narrow place", 4, 40, 10, 8},
    {1004, K::RightLabel, "", 60, 40, 30, 8},
    {1002, K::DropDownList, "", 4, 60, 80, 80},
    {kNoId, K::GroupBox, "Group", 0, 0, 100, 100},
    {1030, K::PushButton, "Later", 4, 16, 30, 14, true},
};
constexpr DialogTemplate kTemplate{"Test", 120, 110, kControls};

class DialogTemplateTest : public QObject {
    Q_OBJECT

private slots:
    void unitsFollowTheFont() {
        QFont font = DialogFont();
        const DialogUnits units(font);
        const QFontMetrics metrics(font);
        const double letters =
            metrics.horizontalAdvance(QStringLiteral("ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz")) /
            52.0;
        QCOMPARE(units.BaseX(), std::round(letters));
        QCOMPARE(units.BaseY(), double(metrics.height()));
        QCOMPARE(units.X(4), int(units.BaseX()));
        QCOMPARE(units.Y(8), int(units.BaseY()));
        // Neighbouring controls meet without a gap or an overlap.
        const QRect left = units.ToPixels(3, 5, 17, 9);
        const QRect right = units.ToPixels(20, 14, 5, 5);
        QCOMPARE(left.right() + 1, right.left());
        QCOMPARE(left.bottom() + 1, right.top());

        // A bigger face gives bigger units.
        font.setPointSize(16);
        const DialogUnits big(font);
        QVERIFY(big.BaseX() > units.BaseX());
        QVERIFY(big.BaseY() > units.BaseY());
    }

    void controlsGetTheirPlaceAndIdentifier() {
        QDialog dialog;
        BuildDialog(dialog, kTemplate);
        const DialogUnits units(DialogFont());
        QCOMPARE(dialog.windowTitle(), QStringLiteral("Test"));
        QCOMPARE(dialog.size(), QSize(units.X(120), units.Y(110)));

        auto* start = Control<QPushButton>(dialog, 1001);
        QVERIFY(start != nullptr);
        QCOMPARE(start->objectName(), QStringLiteral("1001"));
        QCOMPARE(start->geometry(), units.ToPixels(40, 16, 44, 14));
        QCOMPARE(start->text(), QStringLiteral("&Start"));
        QVERIFY(start->isDefault());
        QVERIFY(!Control<QPushButton>(dialog, 1030)->isEnabled());
        QVERIFY(Control<LinkLabel>(dialog, 1004) != nullptr);
        QCOMPARE(Control<LinkLabel>(dialog, 1004)->alignment() & Qt::AlignHorizontal_Mask,
                 Qt::AlignRight);
        // Asking for the wrong kind finds nothing.
        QCOMPARE(Control<QComboBox>(dialog, 1001), nullptr);
        QCOMPARE(FindControl(dialog, 9999), nullptr);
    }

    void dropDownListsKeepTheirFieldHeight() {
        QDialog dialog;
        BuildDialog(dialog, kTemplate);
        const DialogUnits units(DialogFont());
        auto* combo = Control<QComboBox>(dialog, 1002);
        const QRect place = units.ToPixels(4, 60, 80, 80);
        QCOMPARE(combo->geometry().topLeft(), place.topLeft());
        QCOMPARE(combo->width(), place.width());
        QVERIFY(combo->height() < place.height() / 2);
    }

    void textsAreNotCutOff() {
        QDialog dialog;
        BuildDialog(dialog, kTemplate);
        for (QLabel* label : dialog.findChildren<QLabel*>()) {
            if (label->text().startsWith(QStringLiteral("A rather"))) {
                QVERIFY(label->width() >= label->fontMetrics().horizontalAdvance(label->text()));
                return;
            }
        }
        QFAIL("the unnamed text is missing");
    }

    void groupBoxesLieBeneathAndLetTheMouseThrough() {
        QDialog dialog;
        BuildDialog(dialog, kTemplate);
        dialog.show();
        auto* start = Control<QPushButton>(dialog, 1001);
        const QPoint centre = start->geometry().center();
        QCOMPARE(dialog.childAt(centre), start);
        auto* group = dialog.findChild<QGroupBox*>();
        QVERIFY(group != nullptr);
        QVERIFY(group->testAttribute(Qt::WA_TransparentForMouseEvents));
        QCOMPARE(dialog.children().indexOf(group) < dialog.children().indexOf(start), true);
    }
};

} // namespace
} // namespace vindral::ui

QTEST_MAIN(vindral::ui::DialogTemplateTest)
#include "DialogTemplateTest.moc"

#include "ui/common/DialogTemplate.h"

#include <QAbstractItemView>
#include <QCheckBox>
#include <QComboBox>
#include <QDialog>
#include <QFontInfo>
#include <QFontMetrics>
#include <QGroupBox>
#include <QHeaderView>
#include <QLabel>
#include <QLineEdit>
#include <QListWidget>
#include <QProgressBar>
#include <QPushButton>
#include <QRadioButton>
#include <QTreeWidget>

#include <algorithm>
#include <cmath>

#include "ui/common/LinkLabel.h"

namespace vindral::ui {

QFont DialogFont() {
    QFont font(QStringLiteral("Sans Serif"), 8);
    font.setStyleHint(QFont::SansSerif);
    return font;
}

DialogUnits::DialogUnits(const QFont& font) {
    const QFontMetrics metrics(font);
    // The average width of the 52 letters, rounded, as the dialog manager of
    // the system measures it.
    static const QString letters =
        QStringLiteral("ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz");
    const double average = metrics.horizontalAdvance(letters) / 52.0;
    baseX_ = std::max(1.0, std::round(average));
    baseY_ = std::max(1, metrics.height());
}

int DialogUnits::X(int units) const { return static_cast<int>(std::lround(units * baseX_ / 4.0)); }
int DialogUnits::Y(int units) const { return static_cast<int>(std::lround(units * baseY_ / 8.0)); }

QRect DialogUnits::ToPixels(int x, int y, int width, int height) const {
    const int left = X(x);
    const int top = Y(y);
    return QRect(left, top, X(x + width) - left, Y(y + height) - top);
}

namespace {

QWidget* CreateControl(QDialog& dialog, const ControlTemplate& control) {
    const QString text = QString::fromUtf8(control.text != nullptr ? control.text : "");
    switch (control.kind) {
    case ControlKind::PushButton:
    case ControlKind::DefaultPushButton: {
        auto* button = new QPushButton(text, &dialog);
        button->setAutoDefault(false);
        button->setDefault(control.kind == ControlKind::DefaultPushButton);
        return button;
    }
    case ControlKind::IconButton: {
        auto* button = new QPushButton(&dialog);
        button->setAutoDefault(false);
        return button;
    }
    case ControlKind::DropDownList: {
        auto* combo = new QComboBox(&dialog);
        combo->setEditable(false);
        return combo;
    }
    case ControlKind::ListView: {
        auto* list = new QTreeWidget(&dialog);
        list->setRootIsDecorated(false);
        list->setSelectionMode(QAbstractItemView::ExtendedSelection);
        list->setSelectionBehavior(QAbstractItemView::SelectRows);
        list->setUniformRowHeights(true);
        list->setAllColumnsShowFocus(true);
        list->header()->setSectionsClickable(false);
        list->header()->setSectionsMovable(false);
        return list;
    }
    case ControlKind::ListBox: {
        auto* list = new QListWidget(&dialog);
        list->setUniformItemSizes(true);
        list->setVerticalScrollBarPolicy(Qt::ScrollBarAlwaysOn);
        list->setSelectionMode(QAbstractItemView::SingleSelection);
        return list;
    }
    case ControlKind::Text: {
        auto* label = new QLabel(text, &dialog);
        label->setAttribute(Qt::WA_TransparentForMouseEvents, true);
        label->setTextFormat(Qt::PlainText);
        label->setAlignment(Qt::AlignLeft | Qt::AlignTop);
        return label;
    }
    case ControlKind::RightLabel:
    case ControlKind::SunkenLabel:
    case ControlKind::CenteredSunkenLabel: {
        auto* label = new LinkLabel(&dialog);
        label->setText(text);
        label->setTextFormat(Qt::PlainText);
        if (control.kind == ControlKind::RightLabel) {
            label->setAlignment(Qt::AlignRight | Qt::AlignTop);
        } else {
            label->setFrameStyle(QFrame::Panel | QFrame::Sunken);
            label->setLineWidth(1);
            label->setAlignment(control.kind == ControlKind::SunkenLabel
                                    ? (Qt::AlignLeft | Qt::AlignVCenter)
                                    : Qt::AlignCenter);
        }
        return label;
    }
    case ControlKind::GroupBox:
        return new QGroupBox(text, &dialog);
    case ControlKind::CheckBox:
        return new QCheckBox(text, &dialog);
    case ControlKind::RadioButton:
        return new QRadioButton(text, &dialog);
    case ControlKind::EditBox:
        return new QLineEdit(text, &dialog);
    case ControlKind::Icon: {
        auto* label = new QLabel(&dialog);
        label->setAttribute(Qt::WA_TransparentForMouseEvents, true);
        label->setAlignment(Qt::AlignLeft | Qt::AlignTop);
        return label;
    }
    case ControlKind::EtchedFrame: {
        auto* frame = new QFrame(&dialog);
        frame->setFrameStyle(QFrame::Box | QFrame::Sunken);
        frame->setLineWidth(1);
        return frame;
    }
    case ControlKind::BlackFrame: {
        auto* frame = new QFrame(&dialog);
        frame->setFrameStyle(QFrame::Box | QFrame::Plain);
        frame->setLineWidth(1);
        QPalette palette = frame->palette();
        palette.setColor(QPalette::WindowText, Qt::black);
        frame->setPalette(palette);
        return frame;
    }
    case ControlKind::ProgressBar: {
        auto* bar = new QProgressBar(&dialog);
        bar->setRange(0, 100);
        bar->setValue(0);
        bar->setTextVisible(false);
        return bar;
    }
    }
    return nullptr;
}

bool LiesBeneath(ControlKind kind) {
    return kind == ControlKind::GroupBox || kind == ControlKind::EtchedFrame;
}

} // namespace

void BuildDialog(QDialog& dialog, const DialogTemplate& dialogTemplate) {
    const QFont font = DialogFont();
    dialog.setFont(font);
    dialog.setWindowTitle(QString::fromUtf8(dialogTemplate.caption));
    const DialogUnits units(font);
    dialog.setFixedSize(units.X(dialogTemplate.width), units.Y(dialogTemplate.height));

    std::vector<QWidget*> beneath;
    for (const ControlTemplate& control : dialogTemplate.controls) {
        QWidget* widget = CreateControl(dialog, control);
        if (widget == nullptr) {
            continue;
        }
        if (control.id != kNoId) {
            widget->setObjectName(QString::number(control.id));
        }
        QRect place = units.ToPixels(control.x, control.y, control.width, control.height);
        if (control.kind == ControlKind::DropDownList) {
            // The template's height includes the dropped list; the field
            // itself is as high as the style makes it.
            place.setHeight(std::min(place.height(), widget->sizeHint().height()));
        }
        if (control.kind == ControlKind::Text || control.kind == ControlKind::CheckBox ||
            control.kind == ControlKind::RadioButton) {
            // The template's widths were made for a narrower face: a text is
            // never cut off for want of a few pixels.
            place.setWidth(std::max(place.width(), widget->sizeHint().width()));
        }
        widget->setGeometry(place);
        widget->setEnabled(!control.disabled);
        if (LiesBeneath(control.kind)) {
            widget->setAttribute(Qt::WA_TransparentForMouseEvents, true);
            widget->setFocusPolicy(Qt::NoFocus);
            beneath.push_back(widget);
        }
    }
    for (auto it = beneath.rbegin(); it != beneath.rend(); ++it) {
        (*it)->lower();
    }
}

QWidget* FindControl(const QWidget& dialog, int id) {
    return dialog.findChild<QWidget*>(QString::number(id), Qt::FindDirectChildrenOnly);
}

} // namespace vindral::ui

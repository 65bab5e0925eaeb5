#include "ui/common/AboutDialog.h"

#include <QBitmap>
#include <QLabel>
#include <QPainter>
#include <QPainterPath>
#include <QPushButton>

#include <array>

#include "ui/common/DialogTemplate.h"
#include "ui/common/LinkLabel.h"
#include "ui/common/Pictures.h"

namespace vindral::ui {

namespace {

const std::array<ControlTemplate, 10> kAboutControls = {{
    {kNoId, ControlKind::Icon, "", 16, 11, 21, 20},
    {1043, ControlKind::Text, kAboutVersionText, 54, 10, 109, 8},
    {kNoId, ControlKind::Text, kAboutNoticeText, 55, 23, 119, 8},
    {1, ControlKind::DefaultPushButton, "OK", 178, 11, 23, 20},
    {kNoId, ControlKind::Text, "Email:", 50, 47, 20, 8},
    {kNoId, ControlKind::Text, "Website:", 50, 59, 29, 8},
    {1044, ControlKind::Text, kAboutEmailAddress, 89, 47, 78, 8},
    {1045, ControlKind::Text, kAboutWebAddress, 89, 59, 78, 8},
    {kNoId, ControlKind::GroupBox, "", 7, 1, 205, 35},
    {kNoId, ControlKind::GroupBox, "", 7, 38, 205, 35},
}};

const DialogTemplate kAboutTemplate{"About Vindral", 217, 78, kAboutControls};

// The three labels are link labels in place of the template's plain texts.
LinkLabel* ReplaceWithLinkLabel(QDialog& dialog, int id) {
    QLabel* plain = Control<QLabel>(dialog, id);
    if (plain == nullptr) {
        return nullptr;
    }
    if (auto* link = qobject_cast<LinkLabel*>(plain)) {
        return link;
    }
    auto* label = new LinkLabel(&dialog);
    label->setObjectName(plain->objectName());
    label->setText(plain->text());
    label->setGeometry(plain->geometry());
    label->setFont(plain->font());
    label->setTextFormat(Qt::PlainText);
    label->show();
    delete plain;
    return label;
}

} // namespace

AboutDialog::AboutDialog(QWidget* parent) : QDialog(parent) {
    BuildDialog(*this, kAboutTemplate);
    // The icon of the template: the application's picture.
    for (QLabel* label : findChildren<QLabel*>()) {
        if (label->objectName().isEmpty() && label->text().isEmpty() &&
            label->geometry().width() > 0 && label->pixmap().isNull() &&
            label->frameShape() == QFrame::NoFrame) {
            const int side = std::min(label->width(), label->height());
            label->setPixmap(ApplicationPicture(side));
            break;
        }
    }
    web_ = ReplaceWithLinkLabel(*this, 1045);
    version_ = ReplaceWithLinkLabel(*this, 1043);
    email_ = ReplaceWithLinkLabel(*this, 1044);

    const QCursor hand = LinkCursor();
    if (version_ != nullptr) {
        version_->SetFontBold(true).SetFontUnderline(true);
    }
    for (LinkLabel* link : {email_, web_}) {
        if (link != nullptr) {
            link->SetLink(true)
                .SetLabelTextColor(QColor(0, 0, 255))
                .SetFontUnderline(true)
                .SetLinkCursor(hand);
        }
    }
    if (auto* ok = Control<QPushButton>(*this, 1)) {
        connect(ok, &QPushButton::clicked, this, &QDialog::accept);
        ok->setDefault(true);
        ok->setFocus();
    }
}

QCursor AboutDialog::LinkCursor() {
    // A pointing hand, 32 x 32, monochrome, its hot spot at the top left
    // corner (the tip of the finger).
    QPixmap picture(32, 32);
    picture.fill(Qt::transparent);
    {
        QPainter painter(&picture);
        painter.setRenderHint(QPainter::Antialiasing, false);
        QPainterPath hand;
        hand.addRoundedRect(QRectF(0, 0, 5, 16), 2, 2);   // the pointing finger
        hand.addRoundedRect(QRectF(4, 9, 5, 10), 2, 2);   // the other fingers
        hand.addRoundedRect(QRectF(8, 10, 5, 10), 2, 2);
        hand.addRoundedRect(QRectF(12, 11, 5, 9), 2, 2);
        hand.addRoundedRect(QRectF(0, 15, 17, 11), 4, 4); // the palm
        painter.setPen(QPen(Qt::black, 1));
        painter.setBrush(Qt::white);
        painter.drawPath(hand.simplified());
    }
    return QCursor(picture, 0, 0);
}

} // namespace vindral::ui

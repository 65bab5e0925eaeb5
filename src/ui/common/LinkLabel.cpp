#include "ui/common/LinkLabel.h"

#include <QApplication>
#include <QDesktopServices>
#include <QFontInfo>
#include <QMouseEvent>
#include <QPainter>
#include <QPalette>
#include <QUrl>

#include "ui/common/DialogTemplate.h"

namespace vindral::ui {

LinkLabel::LinkLabel(QWidget* parent) : QLabel(parent) {
    // The system colours are read once; later changes do not reach the label.
    const QPalette palette = QApplication::palette();
    textColor_ = palette.color(QPalette::WindowText);
    bkColor_ = palette.color(QPalette::Window);
    const QFont font = DialogFont();
    description_.face = QFontInfo(font).family();
    description_.height = -QFontInfo(font).pixelSize();
    description_.weight = 400;
    // A label lets the mouse through until it is made a link or given a
    // tooltip.
    UpdateMouseThrough();
    RebuildFont();
}

void LinkLabel::RebuildFont() {
    QFont font(description_.face);
    if (description_.height != 0) {
        font.setPixelSize(description_.height < 0 ? -description_.height : description_.height);
    } else {
        font.setPointSize(8);
    }
    font.setWeight(static_cast<QFont::Weight>(description_.weight));
    font.setUnderline(description_.underline);
    font.setItalic(description_.italic);
    setFont(font);
}

void LinkLabel::Repaint() {
    if (isVisible()) {
        repaint();
    }
}

LinkLabel& LinkLabel::SetLabelTextColor(QColor color) {
    textColor_ = color;
    Repaint();
    return *this;
}

LinkLabel& LinkLabel::SetLabelBkColor(QColor color) {
    bkColor_ = color;
    ownBackground_ = true;
    return *this;
}

LinkLabel& LinkLabel::SetFontBold(bool bold) {
    description_.weight = bold ? 700 : 400;
    RebuildFont();
    Repaint();
    return *this;
}

LinkLabel& LinkLabel::SetFontUnderline(bool underline) {
    description_.underline = underline;
    RebuildFont();
    Repaint();
    return *this;
}

LinkLabel& LinkLabel::SetFontSize(int height) {
    description_.height = -height;
    RebuildFont();
    Repaint();
    return *this;
}

LinkLabel& LinkLabel::SetFontName(const QString& face) {
    // The platform's font description holds 31 characters of a face name.
    description_.face = face.left(31);
    RebuildFont();
    Repaint();
    return *this;
}

LinkLabel& LinkLabel::SetLink(bool link) {
    link_ = link;
    UpdateMouseThrough();
    return *this;
}

void LinkLabel::UpdateMouseThrough() {
    // A tooltip needs the hover: the window system shows it for the widget
    // under the mouse, and a label that lets the mouse through is never that.
    setAttribute(Qt::WA_TransparentForMouseEvents, !link_ && toolTip().isEmpty());
}

bool LinkLabel::event(QEvent* event) {
    if (event->type() == QEvent::ToolTipChange) {
        UpdateMouseThrough();
    }
    return QLabel::event(event);
}

LinkLabel& LinkLabel::SetLinkCursor(const QCursor& cursor) {
    linkCursor_ = cursor;
    setCursor(cursor);
    return *this;
}

QString LinkLabel::LinkTarget() const {
    const QString shown = text();
    if (shown == QString::fromUtf8(kAboutEmailAddress)) {
        return QStringLiteral("mailto:") + shown;
    }
    return shown;
}

void LinkLabel::paintEvent(QPaintEvent* /*event*/) {
    ++paintCount_;
    QPainter painter(this);
    // Until a colour of its own is set, the label shows the dialog's face
    // behind it.
    if (ownBackground_) {
        painter.fillRect(rect(), bkColor_);
    }
    drawFrame(&painter);
    painter.setFont(font());
    painter.setPen(textColor_);
    int flags = static_cast<int>(alignment());
    if (wordWrap()) {
        flags |= Qt::TextWordWrap;
    }
    painter.drawText(contentsRect(), flags, text());
}

void LinkLabel::mousePressEvent(QMouseEvent* event) {
    if (link_ && event->button() == Qt::LeftButton) {
        QDesktopServices::openUrl(QUrl(LinkTarget()));
    }
    QLabel::mousePressEvent(event);
    if (link_) {
        event->accept(); // a link keeps its presses
    }
}

} // namespace vindral::ui

// The program's label control: a static text with its own text colour,
// background colour and font, which can also act as a link that opens its
// own text when it is pressed. Every setter returns the label itself.
#pragma once

#include <QColor>
#include <QCursor>
#include <QFont>
#include <QLabel>
#include <QString>

#include <optional>

namespace vindral::ui {

// The e-mail address that the about box shows. A link label whose text is
// exactly this address opens it as "mailto:" + address.
inline constexpr const char* kAboutEmailAddress = "vindral@vindral.invalid";

// What the label's font is built from.
struct LabelFontDescription {
    int height = 0;    // negative: a character height of -height pixels
    int weight = 400;  // 400 normal, 700 bold
    bool underline = false;
    bool italic = false;
    QString face;
};

class LinkLabel : public QLabel {
    Q_OBJECT
public:
    explicit LinkLabel(QWidget* parent = nullptr);

    // Repaints at once.
    LinkLabel& SetLabelTextColor(QColor color);
    // Takes effect with the next paint; does not repaint.
    LinkLabel& SetLabelBkColor(QColor color);
    // Each changes one property of the font description, rebuilds the font
    // and repaints.
    LinkLabel& SetFontBold(bool bold);
    LinkLabel& SetFontUnderline(bool underline);
    LinkLabel& SetFontSize(int height);
    LinkLabel& SetFontName(const QString& face);
    // Whether the label takes the mouse. Without it, and without a tooltip,
    // clicks go to the widget beneath and the cursor never changes over it.
    // A label with a tooltip takes the hover so that the tooltip shows; its
    // presses still go on to the window.
    LinkLabel& SetLink(bool link);
    // The cursor shown over a link.
    LinkLabel& SetLinkCursor(const QCursor& cursor);

    QColor LabelTextColor() const { return textColor_; }
    QColor LabelBkColor() const { return bkColor_; }
    const LabelFontDescription& FontDescription() const { return description_; }
    bool IsLink() const { return link_; }
    // What a press opens: the text, or "mailto:" + text for the about box's
    // e-mail address.
    QString LinkTarget() const;
    // Paints since construction (for tests of the repaint rules).
    int PaintCount() const { return paintCount_; }

protected:
    bool event(QEvent* event) override;
    void paintEvent(QPaintEvent* event) override;
    void mousePressEvent(QMouseEvent* event) override;

private:
    void RebuildFont();
    void Repaint();
    void UpdateMouseThrough();

    QColor textColor_;
    QColor bkColor_;
    LabelFontDescription description_;
    std::optional<QCursor> linkCursor_;
    bool link_ = false;
    bool ownBackground_ = false;
    int paintCount_ = 0;
};

} // namespace vindral::ui

// Dialogs built from templates in dialog units, the way the system's
// dialogs are described: every control with its identifier, kind, text and
// place. Dialog units follow the dialog font: a horizontal unit is a quarter
// of the font's average character width, a vertical one an eighth of its
// height. Each control's object name is its identifier ("1001"), so code and
// tests find controls by identifier; controls without one stay unnamed.
#pragma once

#include <QFont>
#include <QRect>
#include <QString>
#include <QWidget>

#include <span>

class QDialog;

namespace vindral::ui {

enum class ControlKind {
    PushButton,
    DefaultPushButton,
    IconButton,    // a push button showing a picture instead of a text
    DropDownList,  // a combo box without an edit field
    ListView,      // report view: rows with columns
    ListBox,       // a list of text lines with a vertical scroll bar
    Text,          // static text, left-aligned
    RightLabel,    // LinkLabel, right-aligned
    SunkenLabel,   // LinkLabel with a sunken edge
    CenteredSunkenLabel,
    GroupBox,
    CheckBox,
    RadioButton,
    EditBox,
    Icon,          // a static picture
    EtchedFrame,
    BlackFrame,
    ProgressBar,
};

// No identifier: the control is not named.
constexpr int kNoId = -1;

struct ControlTemplate {
    int id;
    ControlKind kind;
    const char* text;
    int x, y, width, height; // dialog units
    bool disabled = false;
};

struct DialogTemplate {
    const char* caption;
    int width, height; // dialog units
    std::span<const ControlTemplate> controls;
};

// The dialog font: the system's sans-serif face at 8 points.
QFont DialogFont();

class DialogUnits {
public:
    explicit DialogUnits(const QFont& font);
    int X(int units) const;
    int Y(int units) const;
    QRect ToPixels(int x, int y, int width, int height) const;
    double BaseX() const { return baseX_; } // pixels per 4 units
    double BaseY() const { return baseY_; } // pixels per 8 units

private:
    double baseX_;
    double baseY_;
};

// Sets the dialog's font, caption and fixed client size, and creates the
// template's controls as its children in template order (which is the tab
// order). Frames and group boxes lie beneath the other controls and let the
// mouse through.
void BuildDialog(QDialog& dialog, const DialogTemplate& dialogTemplate);

// The control with the identifier, or nullptr.
QWidget* FindControl(const QWidget& dialog, int id);
template <class T>
T* Control(const QWidget& dialog, int id) {
    return qobject_cast<T*>(FindControl(dialog, id));
}

} // namespace vindral::ui

// The about box: the program's name and version, the maker's notice, and
// the maker's e-mail address and web site as links.
#pragma once

#include <QCursor>
#include <QDialog>

namespace vindral::ui {

class LinkLabel;

inline constexpr const char* kAboutVersionText = "Vindral Version 0.2 Beta";
inline constexpr const char* kAboutNoticeText = "(C) 2026 the Vindral developers";
inline constexpr const char* kAboutWebAddress = "https://vindral.invalid/";
inline constexpr const char* kAboutMenuText = "&About Vindral...";

class AboutDialog : public QDialog {
    Q_OBJECT
public:
    explicit AboutDialog(QWidget* parent = nullptr);

    LinkLabel* VersionLabel() const { return version_; }
    LinkLabel* EmailLabel() const { return email_; }
    LinkLabel* WebLabel() const { return web_; }

    // The pointing hand shown over the links (cursor 145).
    static QCursor LinkCursor();

private:
    LinkLabel* web_ = nullptr;     // 1045
    LinkLabel* version_ = nullptr; // 1043
    LinkLabel* email_ = nullptr;   // 1044
};

} // namespace vindral::ui

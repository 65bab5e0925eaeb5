// The signals that end the window from outside: SIGTERM (log-out, shutdown),
// SIGINT (Ctrl+C in the terminal that started it) and SIGHUP (that terminal
// went away). The handler only writes the signal's number into a pipe; the
// window thread reads it there and reports it as `received`, so that
// everything the program does about it runs on the window thread.
#pragma once

#include <QObject>

class QSocketNotifier;

namespace vindral::ui {

class EndSignals : public QObject {
    Q_OBJECT
public:
    // Installs the handlers; one object at a time. Without a pipe (or on a
    // system without these signals) nothing is installed and the signals
    // keep their default action.
    explicit EndSignals(QObject* parent = nullptr);
    // Gives the signals back their earlier handlers.
    ~EndSignals() override;

    EndSignals(const EndSignals&) = delete;
    EndSignals& operator=(const EndSignals&) = delete;

    bool Installed() const { return installed_; }

signals:
    void received(int signalNumber);

private:
    void Drain();

    QSocketNotifier* notifier_ = nullptr;
    bool installed_ = false;
};

} // namespace vindral::ui

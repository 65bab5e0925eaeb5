#include "ui/main/EndSignals.h"

#include <QSocketNotifier>

#if defined(__unix__)
#include <cerrno>
#include <csignal>
#include <fcntl.h>
#include <unistd.h>
#endif

#include <array>

namespace vindral::ui {

#if defined(__unix__)

namespace {

constexpr std::array<int, 3> kEndSignals = {SIGTERM, SIGINT, SIGHUP};

// Shared with the handler: written only while no handler is installed.
int pipeRead = -1;
volatile std::sig_atomic_t pipeWrite = -1;
std::array<struct sigaction, kEndSignals.size()> earlier{};

extern "C" void OnEndSignal(int number) {
    // Only async-signal-safe calls here: one write, errno kept.
    const int saved = errno;
    const int fd = pipeWrite;
    if (fd >= 0) {
        const unsigned char byte = static_cast<unsigned char>(number);
        [[maybe_unused]] const ssize_t written = ::write(fd, &byte, 1);
    }
    errno = saved;
}

} // namespace

EndSignals::EndSignals(QObject* parent) : QObject(parent) {
    if (pipeRead >= 0) {
        return; // another object has them
    }
    int fds[2] = {-1, -1};
    if (::pipe2(fds, O_CLOEXEC | O_NONBLOCK) != 0) {
        return;
    }
    pipeRead = fds[0];
    pipeWrite = fds[1];
    notifier_ = new QSocketNotifier(pipeRead, QSocketNotifier::Read, this);
    connect(notifier_, &QSocketNotifier::activated, this, &EndSignals::Drain);

    struct sigaction action {};
    action.sa_handler = OnEndSignal;
    sigemptyset(&action.sa_mask);
    action.sa_flags = SA_RESTART;
    for (std::size_t i = 0; i < kEndSignals.size(); ++i) {
        ::sigaction(kEndSignals[i], &action, &earlier[i]);
    }
    installed_ = true;
}

EndSignals::~EndSignals() {
    if (!installed_) {
        return;
    }
    for (std::size_t i = 0; i < kEndSignals.size(); ++i) {
        ::sigaction(kEndSignals[i], &earlier[i], nullptr);
    }
    delete notifier_;
    const int write = pipeWrite;
    pipeWrite = -1;
    ::close(write);
    ::close(pipeRead);
    pipeRead = -1;
}

void EndSignals::Drain() {
    unsigned char bytes[16];
    for (;;) {
        const ssize_t got = ::read(pipeRead, bytes, sizeof bytes);
        if (got <= 0) {
            return;
        }
        for (ssize_t i = 0; i < got; ++i) {
            emit received(bytes[i]);
            if (!installed_ || pipeRead < 0) {
                return;
            }
        }
    }
}

#else

EndSignals::EndSignals(QObject* parent) : QObject(parent) {}
EndSignals::~EndSignals() = default;
void EndSignals::Drain() {}

#endif

} // namespace vindral::ui

#include "Application.h"

#include <sys/socket.h>
#include <unistd.h>

#include <QProxyStyle>
#include <QSocketNotifier>
#include <cerrno>
#include <csignal>
#include <iostream>

#include "UiServices.h"

namespace {

// Written by the signal handler, read by the event loop: the handler itself does no work.
int GSignalPipe[2] = {-1, -1};

void OnSignal(int Signal) {
    const int saved = errno;
    const char byte = static_cast<char>(Signal);
    [[maybe_unused]] const ssize_t n = ::write(GSignalPipe[1], &byte, 1);
    errno = saved;
}

// Hints come up after 300 ms.
class THintStyle : public QProxyStyle {
public:
    int styleHint(StyleHint Hint, const QStyleOption* Option, const QWidget* Widget,
                  QStyleHintReturn* Return) const override {
        if (Hint == QStyle::SH_ToolTip_WakeUpDelay) return 300;
        return QProxyStyle::styleHint(Hint, Option, Widget, Return);
    }
};

}  // namespace

TVelmorantApplication::TVelmorantApplication(int& Argc, char** Argv) : QApplication(Argc, Argv) {
    // The name is the application's title. No display name: Qt would append it to every other
    // window's caption.
    setApplicationName("Velmorant");
    setOrganizationName("Tarnwick");
    setStyle(new THintStyle);
}

TVelmorantApplication::~TVelmorantApplication() {
    if (FNotifier != nullptr) {
        std::signal(SIGINT, SIG_DFL);
        std::signal(SIGTERM, SIG_DFL);
        ::close(GSignalPipe[0]);
        ::close(GSignalPipe[1]);
        GSignalPipe[0] = GSignalPipe[1] = -1;
    }
}

bool TVelmorantApplication::notify(QObject* Receiver, QEvent* Event) {
    try {
        return QApplication::notify(Receiver, Event);
    } catch (const std::exception& e) {
        if (TUiServices* ui = ErrorBoxServices())
            ui->ShowError(nullptr, ErrorText(e));
        else
            std::cerr << e.what() << '\n';
    }
    return false;
}

bool TVelmorantApplication::InstallTerminationHandlers(std::function<void()> OnTerminate) {
    if (FNotifier != nullptr) {
        // A new owner of the close: the next signal is the first one again.
        FOnTerminate = std::move(OnTerminate);
        FTerminating = false;
        return true;
    }
    if (::socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0, GSignalPipe) != 0) return false;
    FOnTerminate = std::move(OnTerminate);
    FNotifier = new QSocketNotifier(GSignalPipe[0], QSocketNotifier::Read, this);
    connect(FNotifier, &QSocketNotifier::activated, this, [this] { SignalReceived(); });
    struct sigaction action {};
    action.sa_handler = OnSignal;
    sigemptyset(&action.sa_mask);
    action.sa_flags = SA_RESTART;
    sigaction(SIGINT, &action, nullptr);
    sigaction(SIGTERM, &action, nullptr);
    return true;
}

void TVelmorantApplication::SignalReceived() {
    char buffer[16];
    while (::read(GSignalPipe[0], buffer, sizeof buffer) > 0) {
    }
    // One orderly close is under way after the first signal; calling into a window that is
    // closing, or already being destroyed, is what must not happen again.
    if (FTerminating) return;
    FTerminating = true;
    if (FOnTerminate) FOnTerminate();
}

#pragma once
// The application object: shows errors that reach the event loop, gives hints their timing,
// and turns SIGINT and SIGTERM into an orderly close.
#include <QApplication>
#include <functional>

class QSocketNotifier;

class TVelmorantApplication : public QApplication {
    Q_OBJECT
public:
    TVelmorantApplication(int& Argc, char** Argv);
    ~TVelmorantApplication() override;

    // Catches what a handler threw and shows it in the error box of ErrorBoxServices().
    bool notify(QObject* Receiver, QEvent* Event) override;
    // Calls OnTerminate on the event loop when SIGINT or SIGTERM first arrives; later ones are ignored.
    bool InstallTerminationHandlers(std::function<void()> OnTerminate);

private:
    void SignalReceived();

    QSocketNotifier* FNotifier = nullptr;
    std::function<void()> FOnTerminate;
    bool FTerminating = false;
};

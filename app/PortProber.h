#pragma once
// The port prober: finds the serial ports that can be opened, on a thread of its own, since each
// candidate is opened in turn and a slow driver would otherwise hold the window up.
#include <QObject>
#include <deque>
#include <functional>
#include <mutex>
#include <string>
#include <vector>

#include "Worker.h"

class TPortProber : public QObject {
    Q_OBJECT
public:
    explicit TPortProber(QObject* Parent = nullptr);
    // Waits for a probe that is running.
    ~TPortProber() override;

    // Probes the ports (busy ones included); Done gets their names in order, on this thread. A probe
    // asked for while one runs follows it.
    void Probe(std::function<void(const std::vector<std::string>& Names)> Done);
    // The last probe met a port that exists but may not be opened.
    bool PermissionDenied() const { return FPermissionDenied; }
    // No probe is asked for or running, and every result has arrived.
    bool Idle() const { return FPending == 0; }

private:
    struct TResult {
        std::vector<std::string> Names;
        bool PermissionDenied = false;
    };
    Q_INVOKABLE void DeliverNext();
    // Prober's thread: one probe.
    void Run();

    int FPending = 0;
    bool FPermissionDenied = false;
    std::deque<std::function<void(const std::vector<std::string>&)>> FWaiting;  // window's thread

    std::mutex FLock;
    std::deque<TResult> FResults;
    // Last: its thread ends before anything it uses goes.
    TWorker FWorker;
};

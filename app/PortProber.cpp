// The port prober's thread.
#include "PortProber.h"

#include "SerialPort.h"

TPortProber::TPortProber(QObject* Parent) : QObject(Parent) {}

// Probes asked for and not started are dropped with the worker.
TPortProber::~TPortProber() = default;

void TPortProber::Probe(std::function<void(const std::vector<std::string>& Names)> Done) {
    ++FPending;
    FWaiting.push_back(std::move(Done));
    FWorker.Post([this] { Run(); });
}

void TPortProber::DeliverNext() {
    TResult result;
    {
        std::lock_guard<std::mutex> lock(FLock);
        if (FResults.empty()) return;
        result = std::move(FResults.front());
        FResults.pop_front();
    }
    FPermissionDenied = result.PermissionDenied;
    auto done = std::move(FWaiting.front());
    FWaiting.pop_front();
    --FPending;
    if (done) done(result.Names);
}

void TPortProber::Run() {
    TSerialPortSet ports;
    EnumerateSerialPorts(true, ports);
    TResult result;
    result.PermissionDenied = LastEnumerationHadPermissionDenied();
    for (size_t n = 0; n < ports.size(); ++n)
        if (ports[n]) result.Names.push_back(SerialPortName(static_cast<uint8_t>(n)));
    {
        std::lock_guard<std::mutex> lock(FLock);
        FResults.push_back(std::move(result));
    }
    // As in the board session: the result crosses under FLock, the queued call only wakes.
    QMetaObject::invokeMethod(this, "DeliverNext", Qt::QueuedConnection);
}

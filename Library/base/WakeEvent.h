#pragma once
// A flag one thread raises to end another thread's wait at once: an eventfd that stays readable
// while raised, so that it can be watched in poll() beside a port's descriptor.
#include <atomic>

class TWakeEvent {
public:
    TWakeEvent();
    ~TWakeEvent();
    TWakeEvent(const TWakeEvent&) = delete;
    TWakeEvent& operator=(const TWakeEvent&) = delete;

    // Raises the flag; safe from any thread and from a signal handler.
    void Raise();
    // Lowers the flag.
    void Clear();
    // True while raised.
    bool Raised() const { return FRaised.load(); }
    // The descriptor to poll for POLLIN; -1 when the system had no eventfd to give.
    int Fd() const { return FFd; }

private:
    int FFd;
    std::atomic<bool> FRaised{false};
};

// True when WakeFd (a TWakeEvent's descriptor, or -1) is raised, without waiting.
bool WakeRaised(int WakeFd);

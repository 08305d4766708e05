#include "WakeEvent.h"

#include <poll.h>
#include <sys/eventfd.h>
#include <unistd.h>

#include <cstdint>

TWakeEvent::TWakeEvent() : FFd(eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC)) {}

TWakeEvent::~TWakeEvent() {
    if (FFd >= 0) close(FFd);
}

void TWakeEvent::Raise() {
    FRaised = true;
    const uint64_t One = 1;
    // A full counter (never reached) would still leave the descriptor readable: nothing to handle.
    if (FFd >= 0 && write(FFd, &One, sizeof One) < 0) return;
}

void TWakeEvent::Clear() {
    FRaised = false;
    uint64_t Count = 0;
    // Non-blocking: an eventfd that was never raised reads EAGAIN.
    if (FFd >= 0 && read(FFd, &Count, sizeof Count) < 0) return;
}

bool WakeRaised(int WakeFd) {
    if (WakeFd < 0) return false;
    pollfd Fd{WakeFd, POLLIN, 0};
    return poll(&Fd, 1, 0) > 0 && (Fd.revents & POLLIN) != 0;
}

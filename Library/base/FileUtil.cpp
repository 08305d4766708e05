#include "FileUtil.h"

#include <unistd.h>

#include <cerrno>

int WriteSyncAndClose(int Fd, const std::string& Text) {
    int Error = 0;
    for (size_t Done = 0; Done < Text.size() && Error == 0;) {
        const ssize_t N = write(Fd, Text.data() + Done, Text.size() - Done);
        if (N < 0 && errno == EINTR) continue;
        if (N <= 0)
            Error = N < 0 ? errno : EIO;  // a regular file that takes nothing is as good as broken
        else
            Done += static_cast<size_t>(N);
    }
    if (Error == 0 && fsync(Fd) != 0) Error = errno;
    if (close(Fd) != 0 && Error == 0) Error = errno;
    return Error;
}

// What a port server sends, over raw TCP or telnet with RFC 2217: the set-up ends, every read gives at
// most a bounded share of what came and never more than the peer sent, and the link ends up hung up
// once the peer has closed, whatever the bytes (floods, broken or endless option commands).
#include <sys/socket.h>
#include <unistd.h>

#include <cstddef>
#include <cstdint>
#include <string>

#include "FuzzSupport.h"
#include "SerialLink.h"

using velfuzz::Check;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* Data, size_t Size) {
    if (Size == 0) return 0;
    const std::string Input = velfuzz::AsString(Data, Size);
    const bool Rfc2217 = (Data[0] & 1) != 0;
    const std::string Stream = Input.substr(1);
    int Pair[2];
    if (socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0, Pair) != 0) return 0;
    // The whole stream waits in the socket, then the peer hangs up: nothing here can wait for more.
    for (size_t Done = 0; Done < Stream.size();) {
        const ssize_t N = write(Pair[1], Stream.data() + Done, Stream.size() - Done);
        if (N <= 0) break;  // larger than the socket holds: the rest is left out
        Done += static_cast<size_t>(N);
    }
    shutdown(Pair[1], SHUT_WR);
    std::string Error;
    const auto Link = AdoptNetworkSocket(Pair[0], Rfc2217, TLineSettings{}, Error);
    if (!Link) {
        Check(!Error.empty(), "a failed set-up without a reason", Input);
        close(Pair[1]);
        return 0;
    }
    size_t Received = 0;
    for (int Reads = 0; Reads < 1000; ++Reads) {
        std::string Bytes;
        const int Count = Link->Read(Bytes);
        Check(Count == static_cast<int>(Bytes.size()), "a count that is not the bytes'", Input);
        Check(Bytes.size() <= 64 * 1024, "a read beyond its share", Input);
        Received += Bytes.size();
        Check(Received <= Stream.size(), "more data than the peer sent", Input);
        if (Count == 0 && !Link->WaitForInput(0)) break;
    }
    Check(Link->HungUp(), "a closed peer that never reads as hung up", Input);
    close(Pair[1]);
    return 0;
}

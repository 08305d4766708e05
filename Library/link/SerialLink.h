#pragma once
// What lies behind a serial handle: a local tty or a network connection to a port server. The
// free functions of SerialPort.h pick the link of a handle; the rest of the program never sees one.
#include <memory>
#include <string>
#include <string_view>

enum TParity { paNone, paOdd, paEven, paMark, paSpace };
enum TStopBits { sbOne, sbOneAndHalf, sbTwo };
enum TFlowControl { fcNone, fcHardware, fcXonXoff };

struct TLineSettings {
    long long BaudRate = 9600;
    long long DataBits = 8;
    TParity Parity = paNone;
    TStopBits StopBits = sbOne;
    TFlowControl Flow = fcNone;
};

// One open line. Bytes in and out are raw bytes; failures are recorded with ReportSerialError.
class TSerialLink {
public:
    virtual ~TSerialLink() = default;
    // Discards what was received and not read yet (and, where the line allows, what was not sent).
    virtual void Purge() = 0;
    // Replaces Bytes with what was already received, never waiting; returns their count.
    virtual int Read(std::string& Bytes) = 0;
    // Sends every byte; true when all went out before the line stalled for too long.
    virtual bool Write(std::string_view Bytes) = 0;
    // WaitForSerialInput's contract: false on a hang-up or failure with nothing left to read.
    virtual bool WaitForInput(int TimeoutMs) = 0;
    // True once the other side went away.
    virtual bool HungUp() const = 0;
};

// Connects to a "socket://" or "rfc2217://" name and prepares the line as OpenSerialPort does for a tty.
// Handle is the connection's descriptor, unique while the link lives. Null on failure, with Error
// saying why in words a user can act on and errno set. WakeFd as for OpenSerialPort.
std::unique_ptr<TSerialLink> OpenNetworkLink(const std::string& PortName, const TLineSettings& Line,
                                             int& Handle, std::string& Error, int WakeFd = -1);
// The same for a stream socket already connected (Fd, which the link then owns and closes): for tests
// and fuzzing, where the peer's bytes come from a socket pair.
std::unique_ptr<TSerialLink> AdoptNetworkSocket(int Fd, bool Rfc2217, const TLineSettings& Line,
                                                std::string& Error);

#pragma once
// A simulated Velmorant board on a pseudo-terminal. It answers the board's command set from a
// believable state, runs the PLC program, and misbehaves on request. Runs in its own thread.
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "SimBoard.h"

namespace velsim {

// How the next replies go wrong.
enum class TFault {
    None,
    Silent,        // no reply at all
    Late,          // the reply after Delay (see SetFault)
    Pieces,        // the reply in several writes with pauses between them
    TwoLines,      // the reply followed at once by a second, unrelated line
    Garbage,       // random bytes with a CR at the end instead of the reply
    Question,      // "?" instead of the reply
    NoTerminator,  // the reply without its CR
};

class TSimulator {
public:
    // Board options: FirmwareVersion "1.05", ProgramLines 60, a fixed seed for the inputs.
    explicit TSimulator(TSimBoardOptions Options = {});
    ~TSimulator();  // stops the thread, closes the pty, removes a link it made
    TSimulator(const TSimulator&) = delete;
    TSimulator& operator=(const TSimulator&) = delete;

    // Opens the pseudo-terminal and starts serving; false (with errno) when no pty is available.
    bool Start();
    void Stop();
    // The device node of the pty's other side (/dev/pts/N): what the program opens.
    std::string DevicePath() const;
    // Creates <LinksFolder>/ports/<ComName> -> DevicePath(); LinksFolder defaults to SerialPortLinksFolder().
    bool LinkAs(const std::string& ComName, const std::string& LinksFolder = std::string());

    // Every command received, without its CR, in order (a lone CR shows as "").
    std::vector<std::string> Commands() const;
    void ClearCommands();
    // Waits (without spinning) until at least Count commands were received; false after TimeoutMs.
    bool WaitForCommands(size_t Count, int TimeoutMs) const;

    // The next Count replies (-1: all until changed) go wrong as Fault; Delay for Late/Pieces.
    void SetFault(TFault Fault, int Count = -1, std::chrono::milliseconds Delay = std::chrono::milliseconds(1500));
    // Only the reply to commands starting with Prefix goes wrong (empty: every command).
    void SetFaultFilter(const std::string& Prefix);
    // Sets the reply to commands that start with Prefix to Reply (e.g. "VER" -> "abc"); empty Reply removes.
    void OverrideReply(const std::string& Prefix, const std::string& Reply);
    // Closes the pty master at once, as a pulled USB cable does; the program sees a hang-up.
    void HangUp();
    // Hangs up when the Nth command (1-based, counted from now) arrives, before replying to it.
    void HangUpAtCommand(size_t N);
    // After a hang-up: a new pty (new DevicePath) with the same board state; re-links a link it made.
    bool Replug();

    // The board's state; lock with Lock() while touching it from a test.
    TSimBoard& Board() { return *FBoard; }
    std::unique_lock<std::mutex> Lock() const { return std::unique_lock<std::mutex>(FMutex); }

private:
    void Run();
    // ... implementation details belong to the simulator

    std::unique_ptr<TSimBoard> FBoard;
    mutable std::mutex FMutex;
    mutable std::condition_variable FCommandsChanged;
    std::thread FThread;
    // further members are the implementer's
};

}  // namespace velsim

#pragma once
// A simulated Velmorant board on a pseudo-terminal. It answers the board's command set from a
// believable state, runs the PLC program, and misbehaves on request. Runs in its own thread.
//
// The thread advances board time by the real time that passed (polling at most 10 ms at a time), so a
// running PLC and the drifting inputs move on by themselves. When the program closes its side, the
// simulator drops what it had not sent yet and waits for the next open: one simulator serves any
// number of sessions. Replies end in "\r\n".
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <cstdio>
#include <deque>
#include <map>
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
    // Stops serving and closes the pty; the board keeps its state.
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
    // Commands still take effect; commands without a reply (a lone CR) do not use up Count.
    void SetFault(TFault Fault, int Count = -1,
                  std::chrono::milliseconds Delay = std::chrono::milliseconds(1500));
    // Only the reply to commands starting with Prefix goes wrong (empty: every command).
    void SetFaultFilter(const std::string& Prefix);
    // Sets the reply to commands that start with Prefix to Reply (e.g. "VER" -> "abc"); empty Reply removes.
    // The command still takes effect; the longest matching prefix wins.
    void OverrideReply(const std::string& Prefix, const std::string& Reply);
    // Writes each command and its reply to File as they come, with the time: the board's log, which
    // shows whether a command ever came before the reply to the one before. Set before Start.
    void TraceTo(std::FILE* File) { FTrace = File; }
    // Closes the pty master at once, as a pulled USB cable does; the program sees a hang-up.
    void HangUp();
    // Hangs up when the Nth command (1-based, counted from now) arrives, before replying to it.
    void HangUpAtCommand(size_t N);
    // After a hang-up: a new pty (a new DevicePath) with the same board state; re-links a link it made.
    // Like a power cycle, it also takes the board out of its bootloader. Hangs up first if needed.
    bool Replug();

    // The board's state; lock with Lock() while touching it from a test.
    TSimBoard& Board() { return *FBoard; }
    std::unique_lock<std::mutex> Lock() const { return std::unique_lock<std::mutex>(FMutex); }

private:
    struct TPendingWrite {
        std::chrono::steady_clock::time_point Due;
        std::string Bytes;
    };

    void Run();
    bool OpenPty(int& Master, std::string& Path);
    void Wake();
    void EndSession();
    void HandleInput(const std::string& Bytes);
    void HandleCommand(const std::string& Command);
    void Trace(const std::string& Command, const std::string& Reply);
    void Queue(std::chrono::milliseconds After, std::string Bytes);
    void FlushDue();
    void HangUpNow();
    void CloseMaster();
    void RelinkAll();

    std::unique_ptr<TSimBoard> FBoard;
    mutable std::mutex FMutex;
    mutable std::condition_variable FCommandsChanged;
    std::condition_variable FMasterClosed;
    std::thread FThread;

    // Guarded by FMutex.
    int FMaster = -1;
    std::string FDevicePath;
    int FSpareMaster = -1;  // the pty the next replug uses
    std::string FSparePath;
    bool FRunning = false;
    bool FStopRequested = false;
    bool FHangUpRequested = false;
    std::vector<std::string> FCommands;
    std::string FPartial;  // bytes of a command whose CR has not come yet
    std::deque<TPendingWrite> FPending;
    TFault FFault = TFault::None;
    int FFaultCount = 0;
    std::chrono::milliseconds FFaultDelay{1500};
    std::string FFaultFilter;
    std::map<std::string, std::string> FOverrides;
    size_t FHangUpCountdown = 0;  // 0: off
    std::FILE* FTrace = nullptr;
    std::vector<std::string> FLinks;
    uint64_t FGarbageCounter = 0;
    std::chrono::microseconds FWireTime{0};  // of the reply being queued, at the board's line rate

    int FWakeRead = -1, FWakeWrite = -1;  // lets other threads interrupt the thread's poll
};

}  // namespace velsim

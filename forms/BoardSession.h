#pragma once
// The board session: the one TVelmorant lives on a worker thread, so that no exchange ever blocks the
// window. The window posts jobs; each runs on the worker in the order posted, one at a time, so the
// traffic is what one thread would send. Results come back as queued calls on the window's thread.
#include <QObject>
#include <QString>
#include <array>
#include <atomic>
#include <condition_variable>
#include <deque>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "Device_VL.h"
#include "TickReadings.h"

// The driver's cached state as the window shows it, copied after every job.
struct TBoardState {
    bool DevicePresent = false;
    std::string ComPortName;
    std::string Version;
    bool Changed = false;
    bool PLCEnabled = true;
    TPLCRunMode PLCRunMode = rmPaused;
    int UpdatePeriod = 0;
    std::array<uint8_t, TVelmorant::PortCountConst> Directions{};
    std::array<bool, TVelmorant::PortCountConst> Pullups{};
    std::array<int, TVelmorant::AnalogInputCount> ADCOffsets{};
    std::array<std::string, TVelmorant::PinCount> PinComments;
    std::vector<TProgramLine> ProgramLines;

    // The link beyond DevicePresent: the port went away and the session waits for LostPort to come
    // back; or the board stopped answering for two ticks in a row.
    bool Lost = false;
    std::string LostPort;
    bool NoResponse = false;
    // Where the changes not saved in the EEPROM were kept when the board was lost ("" when none).
    std::string UnsavedFile;

    // The state of Driver now (the link fields stay as they are).
    static TBoardState Of(const TVelmorant& Driver);
};

// What a job is, for stopping: a tick or long work ends at its next exchange when the user
// disconnects or closes; a user's single action always runs.
enum TJobKind : uint8_t { jkAction, jkTick, jkLong };

class TBoardSession : public QObject {
    Q_OBJECT
public:
    using TWork = std::function<void(TVelmorant&)>;
    // Work whose result decides whether what follows it runs.
    using TCheckedWork = std::function<bool(TVelmorant&)>;

    explicit TBoardSession(QObject* Parent = nullptr);
    // Ends the running job at its next exchange, drops the queued ones, then frees the driver.
    ~TBoardSession() override;

    // Runs Work on the worker after every job posted before it. Done then runs on this thread, with
    // State() as the job left it; not when the job was stopped or threw (the throw's text reaches
    // JobFailed). Long describes long work for the status bar, e.g. "Reading settings".
    void Post(TWork Work, std::function<void()> Done = {}, TJobKind Kind = jkAction);
    // One monitor tick: the twelve readings; false (nothing posted) while an earlier tick has not
    // ended, so that ticks never pile up behind a slow board.
    bool PostTick(std::function<void(const TTickReadings&)> Done);
    // Reads a tick's values on the worker; for jobs that end in a full display update.
    TTickReadings ReadTick(TVelmorant& Driver);
    // Ends the running tick or long job at its next exchange and drops queued ones; actions stay.
    void StopLongWork();
    // Where the changes of a lost board are kept (a folder ending in "/"); set before posting.
    void SetUnsavedFolder(const std::string& Folder) { FUnsavedFolder = Folder; }
    // Worker only, inside a job: the board was found again, or the user gave up waiting for it.
    void EndWaiting(bool KeepUnsavedFile);

    // Nothing is queued or running, and every result has been delivered.
    bool Idle() const { return FPending == 0; }
    // A long job is queued or running.
    bool LongWorkPending() const { return FLongPending > 0; }
    const TBoardState& State() const { return FState; }
    // The driver itself, for tests and only while Idle(): the worker touches it only inside jobs.
    TVelmorant& DriverWhileIdle() { return *FDriver; }

signals:
    // A driver error text, and whether a board was present when it came.
    void DeviceError(const QString& Text, bool DevicePresent);
    // A job ended by an exception; the text for the error box.
    void JobFailed(const QString& Text);
    // Progress of long work ("Reading program line 12 of 60"); empty once it ends.
    void Progress(const QString& Text);
    // Every posted job has run and been delivered.
    void BecameIdle();
    // LongWorkPending() changed.
    void LongWorkChanged(bool Pending);
    // DevicePresent, Lost or NoResponse changed with the last delivered job.
    void LinkChanged();
    // A job's result reached State().
    void Delivered();

private:
    struct TJob {
        TWork Work;
        std::function<void()> Done;
        TJobKind Kind = jkAction;
    };
    struct TStopped {};
    struct TResult {
        TJob Job;
        TBoardState State;
        bool Ran = false;
        std::string Failure;
    };

    void RunWorker();
    // Window thread: delivers the oldest result; queued once per result.
    Q_INVOKABLE void DeliverNext();
    void Deliver(const TJob& Job, TBoardState State, bool Ran, const std::string& Failure);
    void ExchangeStarting(const std::string& Command);
    void Forget(const TJob& Job);
    // Worker: a port that hung up means the board is gone; close it and wait for it.
    void CheckLink(TVelmorant& Driver);

    std::unique_ptr<TVelmorant> FDriver;
    TBoardState FState;
    int FPending = 0;
    int FLongPending = 0;
    bool FTickPending = false;

    std::mutex FLock;
    std::condition_variable FWake;
    std::deque<TJob> FQueue;
    std::deque<TResult> FResults;
    bool FQuit = false;
    TJobKind FRunningKind = jkAction;
    std::atomic<bool> FStopRunning{false};
    // Worker only: an error text arrived during the current read; the link's state.
    bool FReadFailed = false;
    bool FLost = false;
    std::string FLostPort;
    int FSilentTicks = 0;
    std::string FUnsavedFile;
    std::string FUnsavedFolder;
    std::thread FWorker;
};

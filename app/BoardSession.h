#pragma once
// The board session: the one owner of the board's state. The one TVelmorant lives on a worker
// thread, so that no exchange ever blocks the window. The window asks through typed commands and
// paints what the signals carry; it keeps no copy of its own. Commands run on the worker in the
// order asked, one at a time, so the traffic is what one thread would send.
#include <QObject>
#include <QString>
#include <algorithm>
#include <array>
#include <atomic>
#include <chrono>
#include <cstdint>
#include <deque>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "Capture.h"
#include "Device_VL.h"
#include "TickReadings.h"
#include "Worker.h"

// The board's state as the program knows it: the driver's cache, with every change the user has
// asked for applied from the moment it was asked, and the link's state.
struct TBoardState {
    bool DevicePresent = false;
    std::string ComPortName;
    std::string Version;
    bool Changed = false;
    uint8_t ChangedSettings = 0;  // which kinds, as TChangedSetting bits, where known
    bool PLCEnabled = true;
    TPLCRunMode PLCRunMode = rmPaused;
    int UpdatePeriod = 0;
    std::array<uint8_t, TVelmorant::PortCountConst> Directions{};
    std::array<bool, TVelmorant::PortCountConst> Pullups{};
    std::array<int, TVelmorant::AnalogInputCount> ADCOffsets{};
    std::array<std::string, TVelmorant::PinCount> PinComments;
    std::vector<TProgramLine> ProgramLines;
    // The last tick's readings; empty before the first and once the board is gone.
    TTickReadings Readings;

    // The link beyond DevicePresent: the port went away and the session waits for LostPort to come
    // back; or the board stopped answering for two ticks in a row.
    bool Lost = false;
    std::string LostPort;
    bool NoResponse = false;
    // Where the changes not saved in the EEPROM were kept when the board was lost ("" when none).
    std::string UnsavedFile;
    // Every setting was read from the board by the last retrieval of this connection, without an
    // error: a front end that decides by them (which pins are outputs) may trust them.
    bool SettingsKnown = false;

    // The state of Driver now (the link fields stay as they are).
    static TBoardState Of(const TVelmorant& Driver);
};

// What a job is, for stopping: a tick or long work ends at its next exchange when the user
// disconnects or closes; a user's single action always runs. A capture's step is stopped the same way.
enum TJobKind : uint8_t { jkAction, jkTick, jkLong, jkCapture };

// What a Connect found.
struct TConnectOutcome {
    std::string Found;  // the port a board answered on; "" when none did
    bool PermissionDenied = false;
};

// What a refresh read: whether it ran, and with which parts of the display it goes.
struct TRefresh {
    bool ShowSettings = true;
    bool ShowProgram = true;
    TTickReadings Readings;
};

// The name of the file that keeps a lost board's changes: safe for any port name, network ones too.
// Program lines as typed, by line number, where the text is in error and so nowhere else.
using TTypedLines = std::map<int, std::string>;

std::string KeptChangesFileName(const std::string& Folder, const std::string& PortName, TDateTime Time);

class QTimer;

class TBoardSession : public QObject {
    Q_OBJECT
public:
    explicit TBoardSession(QObject* Parent = nullptr);
    // Ends the running job at its next exchange, drops the queued ones, then frees the driver.
    ~TBoardSession() override;

    // --- Commands. Each runs on the worker after every one asked before it; its Done runs on this
    // thread with State() as the command left it, unless the command was stopped, threw (the text
    // reaches Failed) or belonged to a connection that has ended since.

    // Seeks a board on each name in turn; the first that answers is connected, its PLC paused.
    void Connect(std::vector<std::string> PortNames, std::function<void(const TConnectOutcome&)> Done);
    // Ends long work at its next exchange, closes the port and ends any waiting for a lost board.
    // The connection ends at once: results of work asked for before are dropped.
    void Disconnect(std::function<void()> Done = {});
    // While a lost board is awaited: tries its port once; Done(true) when it answered, else with a
    // network peer's reason worded for the user ("" for any other cause).
    void Reconnect(std::function<void(bool Found, const std::string& NetworkReason)> Done);
    // Awaits a board on Port as a lost one is awaited (State().Lost), for a front end that serves
    // one board whether or not it is there yet.
    void AwaitBoard(const std::string& Port, std::function<void()> Done = {});
    // Connecting pauses the board's PLC (the window's way: the user programs it); a front end that
    // only watches and switches pins leaves it as it runs. Set before any command.
    void SetPausesPLC(bool Pauses) { FPausesPLC = Pauses; }
    void SetPinState(int Pin, bool On);
    // A port's eight pins at once; the board leaves its inputs as they are.
    void SetPortState(int Port, int Value);
    // A front end's own change, sent as it is; Done(true) when the board took it. One it did not
    // take is taken back as the typed changes are.
    void Change(std::function<void(TVelmorant&)> Send, std::function<void(bool Taken)> Done);
    // Sets one pin's direction bit; the byte is formed on the board's side, after earlier changes.
    void SetDirection(int Port, int Pin, bool Input);
    void SetPullups(bool Port0, bool Port2);
    void SetADCOffset(int Input, int Value);
    void SetUpdatePeriod(int Period);
    void SetPLCEnabled(bool Enabled);
    void SetPLCRunMode(TPLCRunMode Mode);
    // Runs program line Line once; Done gets the next line, -1 when the board named none.
    void SingleStep(int Line, std::function<void(int NextLine)> Done);
    // Stores the line's code (its comment stays) and downloads it.
    void SetProgramLine(int Index, const TProgramLine& Line);
    // Comments live in the program and its files only: no traffic.
    void SetLineComment(int Index, const std::string& Comment);
    void SetPinComment(int Pin, const std::string& Comment);
    // Reads the settings and program (after "RECALL" when FromEEPROM), then the thermistor's offset
    // and a tick for a full display update. Done(true) after a good retrieval.
    void Retrieve(bool FromEEPROM, std::function<void(bool Retrieved)> Done = {});
    // Reads (the thermistor's offset when ShowSettings, then) a tick for a display update.
    void Refresh(bool ShowSettings, bool ShowProgram);
    // The board's settings differ from its EEPROM's although the program changed none (the start
    // kept what an earlier run left unsaved).
    void MarkNotInEEPROM();
    // "SAVE"; Done(true) when the board confirmed it.
    void SaveToEEPROM(std::function<void(bool Saved)> Done);
    // Sends a settings file's settings and program, then a full refresh; Done gets the number of
    // program lines sent (0 without a board).
    void RecallSettingsFile(const std::string& FileName, std::function<void(int LinesSent)> Done);
    // As RecallSettingsFile for the changes kept when the board was lost: what the file leaves out
    // (the port states) stays as the board has it, and nothing is sent for it.
    void RecallKeptChanges(const std::string& FileName, std::function<void(int LinesSent)> Done);
    void SaveSettingsFile(const std::string& FileName, std::function<void()> Done);
    // Sends the settings and program the session holds, as a settings file of them would, then a
    // full refresh; Done as for RecallSettingsFile.
    void SendSettings(std::function<void(int LinesSent)> Done);
    // Sends the board into its firmware-update mode, which closes the port.
    void UpdateFirmware(std::function<void()> Done);
    // Takes the pin and line comments kept in the autosave file at the last close; the settings and
    // program stay the driver's own and nothing is sent. Done(true) when the file held some, with the
    // typed text of the program lines that were in error then.
    void RestoreComments(const std::string& FileName,
                         std::function<void(bool Restored, const TTypedLines& Typed)> Done);
    // Writes the settings file kept between runs, with Typed: the text of program lines in error,
    // which neither the board nor the program holds. Never fails (it is a convenience).
    void Autosave(const std::string& FileName, TTypedLines Typed, std::function<void()> Done);
    // Whether the settings in a file differ from the board's; for kept changes.
    void DiffersFromFile(const std::string& FileName, std::function<void(bool Differs)> Done);
    // The changes kept for a lost board were offered: they are not offered again.
    void ForgetKeptChanges();
    // One monitor tick; false (nothing asked) while an earlier tick has not ended, so that ticks
    // never pile up behind a slow board.
    bool Tick();
    // Ticks every StatusTickMs while On and a board is present: every front end reads the board
    // through these ticks (TickRead), none keeps a timer of its own. A board that goes away ends
    // them; the owner turns them on again once it is back.
    void SetTicking(bool On);
    bool Ticking() const;
    // A command-line tool's whole command: Work runs on the worker with the driver to itself, as one
    // job; Done follows.
    void Exclusive(std::function<void(TVelmorant&)> Work, std::function<void()> Done);
    // A shared port's client command, sent as it is between the session's own jobs. Done gets the
    // board's reply, none when it gave none or no board is there; what the board took is in State()
    // (and StateChanged went out) before Done runs. A change the state cannot follow marks the
    // settings not known, so that front ends wait for the next whole read-back.
    void PassThrough(std::string Line, std::function<void(const std::optional<std::string>& Reply)> Done);
    // Takes the driver's state again without traffic (after a test changed the driver directly).
    void Resync();
    // Ticks read, and ticks not asked because the one before still waited on the board.
    uint64_t TicksRead() const { return FTicksRead; }
    uint64_t TicksSkipped() const { return FTicksSkipped; }
    // Ends the running tick or long job at its next exchange and drops queued ones; actions stay.
    void StopLongWork();
    // Starts a capture: Request's channels read back to back on the worker, with the commands asked
    // meanwhile run between two samples, until a limit or StopCapture. Ticks ask nothing until it
    // ends (Tick() is false), and Progress says so: a capture at the line's limit leaves no room for
    // them. False when a capture runs already, without a board, or for a request with a problem.
    bool StartCapture(const TCaptureRequest& Request);
    // Ends the capture at once, the exchange in progress too; CaptureEnded follows its last samples.
    void StopCapture();
    // From StartCapture until CaptureEnded.
    bool Capturing() const { return FCapturing; }

    // Where the changes of a lost board are kept (a folder ending in "/"); set before any command.
    void SetUnsavedFolder(const std::string& Folder) { FUnsavedFolder = Folder; }

    // Nothing is queued or running, and every result has been delivered.
    bool Idle() const { return FPending == 0; }
    // Commands asked and not yet delivered: a front end fed from outside asks no more while it is
    // high, so that its own bounded queue, not this one, holds a flood.
    int Pending() const { return FPending; }
    // A long job is queued or running.
    bool LongWorkPending() const { return FLongPending > 0; }
    const TBoardState& State() const { return FState; }
    // The driver itself, for tests and only while Idle(): the worker touches it only inside jobs.
    TVelmorant& DriverWhileIdle() { return *FDriver; }

signals:
    // A driver error text, whether a board was present when it came, and whether a tick's read
    // failed (each such text comes once, until a tick without errors; TickRead has them all).
    void DeviceError(const QString& Text, bool DevicePresent, bool InTick);
    // A command ended by an exception, or a change the board did not take; the text for the user.
    void Failed(const QString& Text);
    // Progress of long work ("Reading program line 12 of 60"); empty once it ends.
    void Progress(const QString& Text);
    // Every command asked for has run and been delivered.
    void BecameIdle();
    // LongWorkPending() changed.
    void LongWorkChanged(bool Pending);
    // The board's presence, loss or silence changed.
    void LinkChanged(const TBoardState& State);
    // State() changed: after every delivered command, and at once when the user asks for a change.
    void StateChanged(const TBoardState& State);
    // A change the board did not take was taken back: the settings as they stand again.
    void ChangeTakenBack(const TBoardState& State);
    // A tick read the board.
    void TickRead(const TTickReadings& Readings);
    // A refresh read the board: the display shows it, with the settings and program as asked.
    void Refreshed(const TRefresh& Refresh);
    // A capture's samples, in the order taken, a few at a time.
    void CaptureSamples(const std::vector<TCaptureSample>& Samples);
    // The capture ended, after its last samples were delivered; why.
    void CaptureEnded(TCaptureEnd End);

private:
    using TWork = std::function<void(TVelmorant&)>;
    // A change the user asked for, applied to a state: the session's at once, and every delivered
    // state until the command has run.
    using TOverlay = std::function<void(TBoardState&)>;
    struct TJob {
        TWork Work;
        std::function<void()> Done;
        TJobKind Kind = jkAction;
        uint64_t Connection = 0;
        uint64_t Sequence = 0;
        bool Change = false;  // a setting: taken back when the board does not take it
    };
    struct TStopped {};
    struct TResult {
        TJob Job;
        TBoardState State;
        bool Ran = false;
        bool TakenBack = false;
        std::string Failure;
        std::optional<TCaptureEnd> CaptureEnd;  // a capture's end, delivered as a job's result
    };

    // Change marks a setting, taken back when the board does not take it.
    void Post(TWork Work, std::function<void()> Done = {}, TJobKind Kind = jkAction, bool Change = false);
    // A user's change: Overlay applies it to the state now; Work sends it.
    void PostChange(TOverlay Overlay, TWork Work);
    // Long work: Send, then the offset and a tick for a full display update.
    void SendAndRefresh(TWork Send, std::function<void(int LinesSent)> Done);
    // Worker: reads a tick's values (and counts silent ticks).
    TTickReadings ReadTick(TVelmorant& Driver);
    // Worker: runs one job.
    void RunJob(TJob& Job);
    // Worker: a job of Kind or a capture's step begins; a job's under the worker's lock, so that
    // StopLongWork finds each one either queued or running.
    void Started(int Kind);
    // Window thread: delivers the oldest result; queued once per result.
    Q_INVOKABLE void DeliverNext();
    void Deliver(const TResult& Result);
    void ExchangeStarting(const std::string& Command);
    void Forget(TJobKind Kind);
    // Worker: a port that hung up means the board is gone; close it and wait for it.
    void CheckLink(TVelmorant& Driver);
    // Worker: the state to deliver after a job.
    TBoardState WorkerState() const;
    // Worker, while no job waits: one sample of the capture, its end going out as a result; false
    // when no capture runs.
    bool RunCaptureStep();
    // Window thread: hands the samples taken so far to CaptureSamples.
    Q_INVOKABLE void DeliverCapture();

    std::unique_ptr<TVelmorant> FDriver;
    TBoardState FState;
    int FPending = 0;
    int FLongPending = 0;
    bool FTickPending = false;
    uint64_t FTicksRead = 0, FTicksSkipped = 0;
    bool FPausesPLC = true;
    uint64_t FConnection = 0;
    uint64_t FSequence = 0;
    // Changes asked for and not yet delivered, oldest first, with the job that sends each.
    std::deque<std::pair<uint64_t, TOverlay>> FOverlays;

    std::mutex FLock;
    std::deque<TResult> FResults;
    TJobKind FRunningKind = jkAction;
    std::atomic<bool> FStopRunning{false};
    // Worker only: the running job tells the user of no driver error (the autosave at close).
    bool FQuietErrors = false;
    // Worker only: a tick's reads run (also the one that ends a refresh).
    bool FInTickRead = false;
    // Worker only: an error text arrived during the current read; the link's state.
    bool FReadFailed = false;
    bool FLost = false;
    bool FSettingsKnown = false;
    std::string FLostPort;
    int FSilentTicks = 0;
    std::string FUnsavedFile;
    std::string FUnsavedFolder;
    TTickReadings FLastReadings;
    TTickErrorFilter FTickErrors;
    // The board's own thermistor offset, read by the current job's refresh.
    std::optional<int> FBoardOffset;

    // The capture. Window thread: whether one runs, and what Progress says meanwhile.
    bool FCapturing = false;
    QString FCaptureNote;
    // Worker only: the capture, the connection it belongs to, the last hand-over of samples.
    std::unique_ptr<TCaptureRun> FCapture;
    uint64_t FCaptureConnection = 0;
    std::chrono::steady_clock::time_point FCaptureHandedOver;
    // Under FLock: a stop asked for, the samples not handed over yet.
    bool FCaptureStop = false;
    std::vector<TCaptureSample> FCaptureBatch;
    bool FCaptureDeliveryQueued = false;

    QTimer* FTickTimer = nullptr;
    // Last: its thread starts once everything it uses is built, and is joined before any of it goes.
    TWorker FWorker{[this] { return RunCaptureStep(); }, [this](int Kind) { Started(Kind); }};
};

Q_DECLARE_METATYPE(TBoardState)
Q_DECLARE_METATYPE(TTickReadings)
Q_DECLARE_METATYPE(TRefresh)
Q_DECLARE_METATYPE(TCaptureSample)
Q_DECLARE_METATYPE(std::vector<TCaptureSample>)
Q_DECLARE_METATYPE(TCaptureEnd)

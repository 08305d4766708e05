// The board session's worker: one queue, one thread, the one driver.
#include "BoardSession.h"

#include <QTimer>
#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <exception>

#include "DataLogger.h"
#include "IniFile.h"
#include "SerialPort.h"
#include "UnsavedOnBoard.h"

namespace {

// The autosave file's own section: program lines as typed where they were in error at the close.
const char* const SecTypedLines = "TypedLines";

// The number after a command's letters ("PLCRD12" gives 12), -1 without one.
int CommandNumber(const std::string& Command, size_t Start) {
    int value = -1;
    for (size_t i = Start; i < Command.size() && Command[i] >= '0' && Command[i] <= '9'; ++i)
        value = (value < 0 ? 0 : value * 10) + (Command[i] - '0');
    return value;
}

bool StartsWith(const std::string& Text, const char* Prefix) {
    return Text.rfind(Prefix, 0) == 0;
}

// What long work is doing, told by the command it sends next.
QString ProgressOf(const std::string& Command, int LineCount) {
    const auto lineText = [&](const char* Verb, size_t Start) {
        const int line = CommandNumber(Command, Start);
        return QString("%1 program line %2 of %3").arg(Verb).arg(line + 1).arg(LineCount);
    };
    if (StartsWith(Command, "PLCRD")) return lineText("Reading", 5);
    if (StartsWith(Command, "PLCWR")) return lineText("Writing", 5);
    if (Command == "SAVE") return "Saving the settings in the EEPROM";
    if (Command == "RECALL") return "Recalling the settings from the EEPROM";
    if (StartsWith(Command, "PRTRD") || StartsWith(Command, "ADC") || Command == "TEMP")
        return "Reading inputs";
    if (Command.find('?') != std::string::npos || StartsWith(Command, "DIRRD") || StartsWith(Command, "AORD"))
        return "Reading settings";
    return "Sending settings";
}

// Whether two caches hold different settings or program code; comments do not count, the board
// never has them.
bool SettingsDiffer(const TVelmorant::TCache& A, const TVelmorant::TCache& B) {
    if (A.ADCOffsets != B.ADCOffsets || A.PLCEnabled != B.PLCEnabled || A.PortDirection != B.PortDirection ||
        A.PullupsEnabled != B.PullupsEnabled || A.UpdatePeriod != B.UpdatePeriod ||
        A.ProgramLines.size() != B.ProgramLines.size())
        return true;
    for (size_t line = 0; line < A.ProgramLines.size(); ++line)
        if (!SameProgramCode(A.ProgramLines[line], B.ProgramLines[line])) return true;
    return false;
}

}  // namespace

std::string KeptChangesFileName(const std::string& Folder, const std::string& PortName, TDateTime Time) {
    // A network port's "//" and ":" would make folders or names some file systems refuse.
    std::string port;
    for (const char c : PortName) {
        const bool safe = (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') ||
                          c == '.' || c == '-' || c == '_';
        port += safe ? c : '_';
    }
    return TDataLogger::TimestampedName(Folder + "Unsaved changes " + port + ".velmor", Time);
}

TBoardState TBoardState::Of(const TVelmorant& Driver) {
    TBoardState s;
    s.DevicePresent = Driver.DevicePresent();
    s.ComPortName = Driver.ComPortName();
    s.Version = Driver.Version();
    s.Changed = Driver.Changed();
    s.ChangedSettings = Driver.ChangedSettings();
    s.PLCEnabled = Driver.PLCEnabled();
    s.PLCRunMode = Driver.PLCRunMode();
    s.UpdatePeriod = Driver.UpdatePeriod();
    for (int port = 0; port < TVelmorant::PortCountConst; ++port) {
        s.Directions[port] = Driver.GetPortDirection(port);
        s.Pullups[port] = Driver.GetPullupsEnabled(port);
    }
    for (int input = 0; input < TVelmorant::AnalogInputCount; ++input)
        s.ADCOffsets[input] = Driver.CachedADCOffset(input);
    for (int pin = 0; pin < TVelmorant::PinCount; ++pin) s.PinComments[pin] = Driver.GetPinComment(pin);
    s.ProgramLines.reserve(static_cast<size_t>(Driver.ProgramLineCount()));
    for (int line = 0; line < Driver.ProgramLineCount(); ++line)
        s.ProgramLines.push_back(Driver.GetProgramLine(line));
    return s;
}

TBoardSession::TBoardSession(QObject* Parent) : QObject(Parent), FDriver(std::make_unique<TVelmorant>()) {
    qRegisterMetaType<TBoardState>();
    qRegisterMetaType<TTickReadings>();
    qRegisterMetaType<TRefresh>();
    qRegisterMetaType<std::vector<TCaptureSample>>();
    qRegisterMetaType<TCaptureEnd>();
    // Both callbacks run on the worker, inside a job.
    FDriver->SetOnError([this](const TFailure& Failure) {
        FReadFailed = true;
        // A tick's errors are told once each, after the tick, not at every tick they come again; an
        // exchange ended by Disconnect or Close is no error of the board's.
        if (FRunningKind == jkTick || FRunningKind == jkCapture || FQuietErrors || FDriver->Interrupted())
            return;
        emit DeviceError(QString::fromStdString(Failure.Text), FDriver->DevicePresent(), FInTickRead);
    });
    FDriver->SetOnExchange([this](const std::string& Command) { ExchangeStarting(Command); });
    FState = TBoardState::Of(*FDriver);
    FTickTimer = new QTimer(this);
    FTickTimer->setObjectName("timerStatus");
    FTickTimer->setInterval(StatusTickMs);
    connect(FTickTimer, &QTimer::timeout, this, [this] {
        if (!FState.DevicePresent)
            FTickTimer->stop();
        else
            Tick();  // asks nothing while a tick still waits on a slow board
    });
}

TBoardSession::~TBoardSession() {
    // The queued jobs go before the running one is told to end, so that none starts after it.
    FWorker.Stop();
    {
        std::lock_guard<std::mutex> lock(FLock);
        FStopRunning = true;
        // A capture's next step, if one comes before the end, reads nothing.
        FCaptureStop = true;
        FDriver->Interrupt();
    }
    FWorker.Join();
    // The port closes here, after the last exchange.
    FDriver.reset();
}

// --- Commands

void TBoardSession::Connect(std::vector<std::string> PortNames,
                            std::function<void(const TConnectOutcome&)> Done) {
    auto outcome = std::make_shared<TConnectOutcome>();
    Post(
        [this, PortNames = std::move(PortNames), outcome](TVelmorant& V) {
            for (const std::string& name : PortNames) {
                emit Progress(QString::fromStdString("Checking for Velmorant on " + name));
                errno = 0;
                if (V.FindDevice(name)) {
                    outcome->Found = name;
                    FSettingsKnown = false;
                    FTickErrors.Reset();
                    if (FPausesPLC) V.SetPLCRunMode(rmPaused);
                    return;
                }
                if (errno == EACCES || errno == EPERM) outcome->PermissionDenied = true;
            }
        },
        [outcome, Done = std::move(Done)] {
            if (Done) Done(*outcome);
        },
        jkLong);
}

void TBoardSession::Disconnect(std::function<void()> Done) {
    // A retrieval or a tick on a silent board ends at its next exchange instead of finishing.
    StopLongWork();
    ++FConnection;
    Post(
        [this](TVelmorant& V) {
            V.Disconnect();
            FLost = false;
            FLostPort.clear();
            FSilentTicks = 0;
            FSettingsKnown = false;
            FUnsavedFile.clear();
            FLastReadings = TTickReadings{};
        },
        std::move(Done));
}

void TBoardSession::Reconnect(std::function<void(bool Found, const std::string& NetworkReason)> Done) {
    auto found = std::make_shared<bool>(false);
    auto reason = std::make_shared<std::string>();
    Post(
        [this, found, reason](TVelmorant& V) {
            if (!FLost) return;
            TakeLastSerialFailure();
            if (!V.FindDevice(FLostPort)) {
                const TFailure failure = TakeLastSerialFailure();
                if (failure.Kind == TFailureKind::Network) *reason = failure.Text;
                return;
            }
            *found = true;
            FSettingsKnown = false;
            FLost = false;
            FLostPort.clear();
            FSilentTicks = 0;
            FTickErrors.Reset();
            if (FPausesPLC) V.SetPLCRunMode(rmPaused);
        },
        [found, reason, Done = std::move(Done)] { Done(*found, *reason); }, jkLong);
}

void TBoardSession::AwaitBoard(const std::string& Port, std::function<void()> Done) {
    Post(
        [this, Port](TVelmorant& V) {
            V.Disconnect();
            FLost = true;
            FSettingsKnown = false;
            FLostPort = Port;
            FSilentTicks = 0;
        },
        std::move(Done));
}

void TBoardSession::SetPinState(int Pin, bool On) {
    PostChange({}, [Pin, On](TVelmorant& V) { V.SetPinState(Pin, On); });
}

void TBoardSession::SetPortState(int Port, int Value) {
    PostChange({}, [Port, Value](TVelmorant& V) { V.SetPortState(Port, Value); });
}

void TBoardSession::Change(std::function<void(TVelmorant&)> Send, std::function<void(bool Taken)> Done) {
    auto taken = std::make_shared<bool>(false);
    Post(
        [this, taken, Send = std::move(Send)](TVelmorant& V) {
            // Done always hears how it went: a front end may hold a peer's answer until then.
            try {
                Send(V);
            } catch (const std::exception& e) {
                emit Failed(QString::fromStdString(e.what()));
                return;
            }
            *taken = !FReadFailed && V.DevicePresent() && !V.PortHungUp();
        },
        [taken, Done = std::move(Done)] { Done(*taken); }, jkAction, true);
}

void TBoardSession::PassThrough(std::string Line,
                                std::function<void(const std::optional<std::string>& Reply)> Done) {
    auto reply = std::make_shared<std::optional<std::string>>();
    Post(
        [this, reply, Line = std::move(Line)](TVelmorant& V) {
            std::string text;
            const TVelmorant::TPassed passed = V.PassCommand(Line, text);
            // A RECALL reads every setting back: one that failed leaves them not known.
            if (passed.SettingsUnknown || FReadFailed) FSettingsKnown = false;
            if (passed.Answered) *reply = std::move(text);
        },
        [reply, Done = std::move(Done)] { Done(*reply); });
}

void TBoardSession::SetDirection(int Port, int Pin, bool Input) {
    const auto apply = [Port, Pin, Input](uint8_t& Byte) {
        const auto mask = static_cast<uint8_t>(1u << Pin);
        Byte = Input ? static_cast<uint8_t>(Byte | mask) : static_cast<uint8_t>(Byte & ~mask);
    };
    // The whole byte goes out, also when the bit is as it was.
    PostChange([Port, apply](TBoardState& S) { apply(S.Directions[Port]); },
               [Port, apply](TVelmorant& V) {
                   uint8_t direction = V.GetPortDirection(Port);
                   apply(direction);
                   V.SetPortDirection(Port, direction);
               });
}

void TBoardSession::SetPullups(bool Port0, bool Port2) {
    PostChange(
        [Port0, Port2](TBoardState& S) {
            S.Pullups[0] = Port0;
            S.Pullups[2] = Port2;
        },
        [Port0, Port2](TVelmorant& V) {
            V.SetPullupsEnabled(0, Port0);
            V.SetPullupsEnabled(2, Port2);
        });
}

void TBoardSession::SetADCOffset(int Input, int Value) {
    PostChange([Input, Value](TBoardState& S) { S.ADCOffsets[Input] = std::clamp(Value, -128, 128); },
               [Input, Value](TVelmorant& V) { V.SetADCOffset(Input, Value); });
}

void TBoardSession::SetUpdatePeriod(int Period) {
    PostChange([Period](TBoardState& S) { S.UpdatePeriod = Period; },
               [Period](TVelmorant& V) { V.SetUpdatePeriod(Period); });
}

void TBoardSession::SetPLCEnabled(bool Enabled) {
    PostChange([Enabled](TBoardState& S) { S.PLCEnabled = Enabled; },
               [Enabled](TVelmorant& V) { V.SetPLCEnabled(Enabled); });
}

void TBoardSession::SetPLCRunMode(TPLCRunMode Mode) {
    PostChange([Mode](TBoardState& S) { S.PLCRunMode = Mode; },
               [Mode](TVelmorant& V) { V.SetPLCRunMode(Mode); });
}

void TBoardSession::SingleStep(int Line, std::function<void(int NextLine)> Done) {
    auto next = std::make_shared<int>(-1);
    Post([Line, next](TVelmorant& V) { V.SingleStep(Line, *next); },
         [next, Done = std::move(Done)] { Done(*next); });
}

void TBoardSession::SetProgramLine(int Index, const TProgramLine& Line) {
    // The comment is the program's own; a comment edit queued before this one must stay.
    const auto store = [Index, Line](TProgramLine& Stored) {
        std::string comment = Stored.Comment;
        Stored = Line;
        Stored.Comment = std::move(comment);
    };
    FOverlays.emplace_back(FSequence + 1, [Index, store](TBoardState& S) {
        if (Index >= 0 && Index < static_cast<int>(S.ProgramLines.size()))
            store(S.ProgramLines[size_t(Index)]);
    });
    FOverlays.back().second(FState);
    Post([Index, store](TVelmorant& V) {
        TProgramLine line = V.GetProgramLine(Index);
        store(line);
        V.SetProgramLine(Index, line);
        V.DownloadProgramLine(Index);
    });
    emit StateChanged(FState);
}

void TBoardSession::SetLineComment(int Index, const std::string& Comment) {
    PostChange(
        [Index, Comment](TBoardState& S) {
            if (Index >= 0 && Index < static_cast<int>(S.ProgramLines.size()))
                S.ProgramLines[size_t(Index)].Comment = Comment;
        },
        [Index, Comment](TVelmorant& V) {
            TProgramLine line = V.GetProgramLine(Index);
            line.Comment = Comment;
            V.SetProgramLine(Index, line);
        });
}

void TBoardSession::SetPinComment(int Pin, const std::string& Comment) {
    PostChange([Pin, Comment](TBoardState& S) { S.PinComments[size_t(Pin)] = Comment; },
               [Pin, Comment](TVelmorant& V) { V.SetPinComment(Pin, Comment); });
}

void TBoardSession::Retrieve(bool FromEEPROM, std::function<void(bool Retrieved)> Done) {
    auto retrieved = std::make_shared<bool>(false);
    auto refresh = std::make_shared<TRefresh>();
    Post(
        [this, FromEEPROM, retrieved, refresh](TVelmorant& V) {
            // A retrieval cut short would leave the cache half board, half old: the old stays whole.
            const TVelmorant::TCache before = V.Cache();
            try {
                *retrieved = V.RetrieveSettings(FromEEPROM);
                if (*retrieved && V.RecalledFromEEPROM()) ForgetUnsavedOnBoard(V.ComPortName());
            } catch (...) {
                V.RestoreCache(before);
                throw;
            }
            // An interrupted exchange fails rather than stops: the retrieval may have run on to its end.
            if (FStopRunning || !*retrieved) {
                V.RestoreCache(before);
                *retrieved = false;
                return;
            }
            FSettingsKnown = !FReadFailed;
            // The board's own thermistor offset is asked for first; the cache keeps the one last set.
            const int offset = V.ReadADCOffset(4);
            refresh->Readings = ReadTick(V);
            FBoardOffset = offset;
        },
        [this, retrieved, refresh, Done = std::move(Done)] {
            // A failed retrieval leaves the panels as they were; the full update belongs to a good one.
            if (*retrieved) emit Refreshed(*refresh);
            if (Done) Done(*retrieved);
        },
        jkLong);
}

void TBoardSession::Refresh(bool ShowSettings, bool ShowProgram) {
    auto refresh = std::make_shared<TRefresh>(TRefresh{ShowSettings, ShowProgram, {}});
    Post(
        [this, refresh](TVelmorant& V) {
            const int offset = refresh->ShowSettings ? V.ReadADCOffset(4) : 0;
            refresh->Readings = ReadTick(V);
            if (refresh->ShowSettings) FBoardOffset = offset;
        },
        [this, refresh] { emit Refreshed(*refresh); });
}

void TBoardSession::SaveToEEPROM(std::function<void(bool Saved)> Done) {
    auto saved = std::make_shared<bool>(false);
    Post(
        [saved](TVelmorant& V) {
            *saved = V.SaveSettingsInEEPROM();
            if (*saved) ForgetUnsavedOnBoard(V.ComPortName());
        },
        [saved, Done = std::move(Done)] { Done(*saved); }, jkLong);
}

void TBoardSession::MarkNotInEEPROM() {
    PostChange([](TBoardState& State) { State.Changed = true; }, [](TVelmorant& V) { V.SetChanged(true); });
}

void TBoardSession::RecallSettingsFile(const std::string& FileName, std::function<void(int LinesSent)> Done) {
    SendAndRefresh([FileName](TVelmorant& V) { V.RecallSettingsFromFile(FileName, true); }, std::move(Done));
}

void TBoardSession::RecallKeptChanges(const std::string& FileName, std::function<void(int LinesSent)> Done) {
    SendAndRefresh([FileName](TVelmorant& V) { V.RecallSettingsFromFile(FileName, true, true); },
                   std::move(Done));
}

void TBoardSession::SendSettings(std::function<void(int LinesSent)> Done) {
    SendAndRefresh(
        [](TVelmorant& V) {
            V.SendSettings(true);
            // The board's EEPROM still holds what it had before: a power cycle would undo the send.
            if (V.DevicePresent()) V.SetChanged(true);
        },
        std::move(Done));
}

void TBoardSession::SendAndRefresh(TWork Send, std::function<void(int LinesSent)> Done) {
    auto sent = std::make_shared<int>(0);
    auto refresh = std::make_shared<TRefresh>();
    // An error here leaves the panels as they were; what was applied stays applied.
    Post(
        [this, Send = std::move(Send), sent, refresh](TVelmorant& V) {
            Send(V);
            *sent = V.DevicePresent() ? V.ProgramLineCount() : 0;
            const int offset = V.ReadADCOffset(4);
            refresh->Readings = ReadTick(V);
            FBoardOffset = offset;
        },
        [this, sent, refresh, Done = std::move(Done)] {
            emit Refreshed(*refresh);
            if (Done) Done(*sent);
        },
        jkLong);
}

void TBoardSession::SaveSettingsFile(const std::string& FileName, std::function<void()> Done) {
    Post([FileName](TVelmorant& V) { V.SaveSettingsInFile(FileName, true); }, std::move(Done));
}

void TBoardSession::UpdateFirmware(std::function<void()> Done) {
    StopLongWork();
    Post([](TVelmorant& V) { V.EnterBootloadMode(); }, std::move(Done));
}

void TBoardSession::RestoreComments(const std::string& FileName,
                                    std::function<void(bool Restored, const TTypedLines& Typed)> Done) {
    auto restored = std::make_shared<bool>(false);
    auto typed = std::make_shared<TTypedLines>();
    Post(
        [FileName, restored, typed](TVelmorant& V) {
            *restored = V.RecallCommentsFromFile(FileName);
            if (!*restored) return;
            const TIniFile ini(FileName);
            for (int line = 0; line < V.ProgramLineCount(); ++line) {
                const std::string text = ini.ReadString(SecTypedLines, "Line" + std::to_string(line), "");
                if (!text.empty()) (*typed)[line] = text;
            }
        },
        [restored, typed, Done = std::move(Done)] {
            if (Done) Done(*restored, *typed);
        });
}

void TBoardSession::Autosave(const std::string& FileName, TTypedLines Typed, std::function<void()> Done) {
    Post(
        [this, FileName, Typed = std::move(Typed)](TVelmorant& V) {
            // The autosave is a convenience: neither a folder that cannot be written nor a board that
            // does not answer stops the close or reaches the user.
            FQuietErrors = true;
            try {
                TIniFile ini(FileName);
                V.SaveSettingsInFile(ini, true);
                // Only this close's typed lines: an older close's would come back over newer text.
                ini.EraseSection(SecTypedLines);
                for (const auto& [line, text] : Typed)
                    ini.WriteString(SecTypedLines, "Line" + std::to_string(line), text);
            } catch (const std::exception&) {
            }
            FQuietErrors = false;
        },
        std::move(Done));
}

void TBoardSession::DiffersFromFile(const std::string& FileName, std::function<void(bool Differs)> Done) {
    auto differs = std::make_shared<bool>(true);
    Post(
        [FileName, differs](TVelmorant& V) {
            // A driver without a port reads the file into its cache and sends nothing that arrives.
            TVelmorant file;
            try {
                file.RecallSettingsFromFile(FileName, true);
            } catch (const std::exception&) {
                return;  // offered as it is: the recall then says what is wrong with it
            }
            *differs = SettingsDiffer(file.Cache(), V.Cache());
        },
        [differs, Done = std::move(Done)] { Done(*differs); });
}

void TBoardSession::ForgetKeptChanges() {
    Post([this](TVelmorant&) { FUnsavedFile.clear(); });
}

bool TBoardSession::Tick() {
    if (FTickPending) ++FTicksSkipped;
    if (FTickPending || FCapturing) return false;
    auto readings = std::make_shared<TTickReadings>();
    Post(
        [this, readings](TVelmorant& V) {
            *readings = ReadTick(V);
            // A tick cut short by Disconnect or Close failed through no fault of the board's; one cut
            // short by a hang-up has the loss to tell, not its reads.
            if (FStopRunning || V.Interrupted() || V.PortHungUp()) return;
            // An error comes back into the status bar after a tick without one.
            if (readings->Errors.empty()) FTickErrors.Reset();
            for (const std::string& text : FTickErrors.NewErrors(*readings))
                emit DeviceError(QString::fromStdString(text), V.DevicePresent(), true);
        },
        [this, readings] {
            // A tick that found no board read nothing.
            if (readings->Time == 0) return;
            ++FTicksRead;
            emit TickRead(*readings);
        },
        jkTick);
    return true;
}

void TBoardSession::SetTicking(bool On) {
    // Restarting a running timer would put its next tick off.
    if (!On)
        FTickTimer->stop();
    else if (!FTickTimer->isActive())
        FTickTimer->start();
}

bool TBoardSession::Ticking() const {
    return FTickTimer->isActive();
}

void TBoardSession::Exclusive(std::function<void(TVelmorant&)> Work, std::function<void()> Done) {
    Post(std::move(Work), std::move(Done));
}

void TBoardSession::Resync() {
    Post([](TVelmorant&) {});
}

// --- The queue

void TBoardSession::Post(TWork Work, std::function<void()> Done, TJobKind Kind, bool Change) {
    ++FPending;
    if (Kind == jkLong && FLongPending++ == 0) emit LongWorkChanged(true);
    if (Kind == jkTick) FTickPending = true;
    FWorker.Post([this, Job = TJob{std::move(Work), std::move(Done), Kind, FConnection, ++FSequence,
                                   Change}]() mutable { RunJob(Job); },
                 Kind);
}

void TBoardSession::PostChange(TOverlay Overlay, TWork Work) {
    if (Overlay) {
        Overlay(FState);
        FOverlays.emplace_back(FSequence + 1, std::move(Overlay));
    }
    Post(std::move(Work), {}, jkAction, true);
    emit StateChanged(FState);
}

TTickReadings TBoardSession::ReadTick(TVelmorant& Driver) {
    struct TFlag {
        bool& F;
        explicit TFlag(bool& Flag) : F(Flag) { F = true; }
        ~TFlag() { F = false; }
    } inTick(FInTickRead);
    TTickReadings r = ::ReadTick(Driver);
    if (r.Empty())
        ++FSilentTicks;
    else
        FSilentTicks = 0;
    if (Driver.DevicePresent()) FLastReadings = r;
    return r;
}

void TBoardSession::StopLongWork() {
    // A job no longer queued is marked running already (Started): it is stopped below.
    const std::vector<int> dropped = FWorker.Drop([](int Kind) { return Kind != jkAction; });
    {
        std::lock_guard<std::mutex> lock(FLock);
        // Work that is stopped ends the capture too: the connection ends, or the window closes.
        if (FCapturing) FCaptureStop = true;
        if (FRunningKind != jkAction) {
            // Ends the exchange in progress at once, also one a peer keeps open by what it sends.
            FStopRunning = true;
            FDriver->Interrupt();
        }
    }
    for (const int kind : dropped) Forget(static_cast<TJobKind>(kind));
    if (Idle()) emit BecameIdle();
}

void TBoardSession::Forget(TJobKind Kind) {
    --FPending;
    if (Kind == jkTick) FTickPending = false;
    if (Kind == jkLong && --FLongPending == 0) {
        emit Progress(FCapturing ? FCaptureNote : QString());
        emit LongWorkChanged(false);
    }
}

void TBoardSession::CheckLink(TVelmorant& Driver) {
    if (!Driver.DevicePresent() || !Driver.PortHungUp()) return;
    FLost = true;
    FSettingsKnown = false;
    FLostPort = Driver.ComPortName();
    FSilentTicks = 0;
    FLastReadings = TTickReadings{};
    Driver.Disconnect();
    // The board reloads its EEPROM when it comes back: what was changed since is kept in a file.
    if (Driver.Changed() && !FUnsavedFolder.empty()) {
        const std::string file = KeptChangesFileName(FUnsavedFolder, FLostPort, Now());
        try {
            Driver.SaveSettingsWithoutStates(file);
            FUnsavedFile = file;
        } catch (const std::exception& e) {
            emit Failed(QString::fromStdString(e.what()));
        }
    }
}

void TBoardSession::ExchangeStarting(const std::string& Command) {
    if (FStopRunning) throw TStopped{};
    if (FRunningKind == jkLong) emit Progress(ProgressOf(Command, FDriver->ProgramLineCount()));
}

void TBoardSession::Started(int Kind) {
    std::lock_guard<std::mutex> lock(FLock);
    FRunningKind = static_cast<TJobKind>(Kind);
    if (Kind == jkCapture && FCaptureStop) FCapture->Stop();
    FStopRunning = false;
    // An interruption was meant for the job before; under FLock, so none meant for this one is lost.
    FDriver->ClearInterrupt();
}

void TBoardSession::RunJob(TJob& Job) {
    bool ran = false, takenBack = false;
    std::string failure;
    const TVelmorant::TCache before = Job.Change ? FDriver->Cache() : TVelmorant::TCache{};
    FReadFailed = false;
    FBoardOffset.reset();
    try {
        Job.Work(*FDriver);
        // Work that was stopped by an interruption may end without noticing.
        ran = !FStopRunning;
    } catch (const TStopped&) {
    } catch (const std::exception& e) {
        failure = e.what();
    }
    // A change the board did not take is not part of its state; one cut off by a lost board
    // stays, to be kept with the board's other unsaved changes.
    if (Job.Change && FReadFailed && FDriver->DevicePresent() && !FDriver->PortHungUp()) {
        FDriver->RestoreCache(before);
        takenBack = true;
    }
    CheckLink(*FDriver);
    TBoardState state = WorkerState();
    {
        std::lock_guard<std::mutex> lock(FLock);
        FRunningKind = jkAction;
        FResults.push_back(TResult{std::move(Job), std::move(state), ran, takenBack, std::move(failure), {}});
    }
    // The session lives on the window's thread; a call queued on it runs there, and is dropped
    // with the session if the window goes first. The result crosses under FLock rather than inside
    // the queued call: Debian's Qt locks its event queue where ThreadSanitizer cannot see it.
    QMetaObject::invokeMethod(this, "DeliverNext", Qt::QueuedConnection);
}

TBoardState TBoardSession::WorkerState() const {
    TBoardState state = TBoardState::Of(*FDriver);
    if (FBoardOffset) state.ADCOffsets[4] = *FBoardOffset;
    state.Readings = FLastReadings;
    state.Lost = FLost;
    state.LostPort = FLostPort;
    state.NoResponse = FDriver->DevicePresent() && FSilentTicks >= 2;
    state.UnsavedFile = FUnsavedFile;
    state.SettingsKnown = FSettingsKnown && FDriver->DevicePresent();
    return state;
}

void TBoardSession::DeliverNext() {
    TResult result;
    {
        std::lock_guard<std::mutex> lock(FLock);
        if (FResults.empty()) return;
        result = std::move(FResults.front());
        FResults.pop_front();
    }
    Deliver(result);
}

void TBoardSession::Deliver(const TResult& Result) {
    const TJob& job = Result.Job;
    while (!FOverlays.empty() && FOverlays.front().first <= job.Sequence) FOverlays.pop_front();
    // A result of a connection the user has ended since is dropped: the Disconnect's own result,
    // queued after it, tells how things stand.
    const bool current = job.Connection == FConnection;
    if (current) {
        const bool linkChanged = Result.State.DevicePresent != FState.DevicePresent ||
                                 Result.State.Lost != FState.Lost ||
                                 Result.State.NoResponse != FState.NoResponse;
        FState = Result.State;
        // The user's changes still on their way are part of the state: no result paints over them.
        for (const auto& overlay : FOverlays) overlay.second(FState);
        emit StateChanged(FState);
        if (linkChanged) emit LinkChanged(FState);
        if (Result.TakenBack) emit ChangeTakenBack(FState);
    }
    Forget(job.Kind);
    if (current && Result.Ran && job.Done) job.Done();
    if (!Result.Failure.empty()) emit Failed(QString::fromStdString(Result.Failure));
    if (Result.CaptureEnd) {
        FCapturing = false;
        emit Progress(QString());
        emit CaptureEnded(*Result.CaptureEnd);
    }
    if (Idle()) emit BecameIdle();
}

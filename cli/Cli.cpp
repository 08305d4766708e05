// velmorant-cli: finding the board, and the commands that are one exchange or one driver call.
#include "Cli.h"

#include <unistd.h>

#include <QEventLoop>
#include <cerrno>
#include <charconv>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <exception>
#include <filesystem>
#include <optional>
#include <system_error>

#include "BoardSession.h"
#include "CliBoardLoop.h"
#include "CliModbus.h"
#include "CliMqtt.h"
#include "CliSession.h"
#include "CliSharedPort.h"
#include "Errors.h"
#include "GeneralLib.h"
#include "NetPort.h"
#include "SerialPort.h"
#include "UnsavedOnBoard.h"

namespace velcli {

namespace {

const char* const NotFoundText = "Velmorant not found.";
const char* const RunUpdaterText =
    "Now run the HIDBootloader program to update the firmware on the Velmorant.";

bool IsBusyErrno(int Error) {
    return Error == EBUSY || Error == EWOULDBLOCK || Error == EAGAIN;
}

// The device node a COM name leads to: its link's target, or the node of the default table.
std::string DeviceOf(const std::string& Name) {
    const std::string Path = ResolveSerialPortPath(Name);
    std::error_code Error;
    const std::filesystem::path Target = std::filesystem::read_symlink(Path, Error);
    if (Error) return Path;
    return (std::filesystem::path(Path).parent_path() / Target).lexically_normal().string();
}

// Why a port named by the user gave no board, in the program's own words. Error is the errno of a
// failed open; Record the serial layer's last failure.
std::string Unreachable(bool Opened, int Error, const TFailure& Record) {
    // A network peer's reason is worded for the user; a failed system call only says which call.
    if (Record.Kind == TFailureKind::Network && !Record.Text.empty()) return Record.Text;
    if (Opened) return "no answer from a Velmorant (the port opened, but nothing answered as the board does)";
    if (IsBusyErrno(Error)) return "in use by another program (the Velmorant window?); nothing was sent";
    if (Error == EACCES || Error == EPERM)
        return "permission denied: install the udev rule that comes with the program (see its README), "
               "or add your user to the \"dialout\" group and log in again";
    if (Error == ENOENT || Error == ENODEV || Error == ENXIO)
        return "no such device; is the board plugged in? 'velmorant-cli ports' lists the ports there are";
    if (Error == ENOTTY || Error == EINVAL) return "not a serial port";
    return std::string("cannot be opened: ") + std::strerror(Error);
}

// Identifies the board on Name. On failure says why, naming the port as Label, unless Quiet.
bool TryPort(TSession& S, const std::string& Name, const std::string& Label, bool Quiet) {
    const std::string Before = S.Device().ComPortName();
    TakeLastSerialFailure();  // an earlier port's record is no reason for this one
    errno = 0;
    if (S.Device().FindDevice(Name)) return true;
    const int Error = errno;
    const TFailure Record = TakeLastSerialFailure();
    // The driver takes the name only once the port opened; a port that opened was not held elsewhere.
    const bool Opened = S.Device().ComPortName() == Name && Before != Name;
    if (!Quiet) S.Error(Label + ": " + Unreachable(Opened, Error, Record));
    return false;
}

bool Connect(TSession& S) {
    const TCliRequest& R = S.Request;
    if (!R.Device.empty()) return TryPort(S, R.Device, R.Device, false);
    if (IsNetworkPortName(R.Port)) return TryPort(S, R.Port, R.Port, false);
    if (!R.Port.empty()) return TryPort(S, R.Port, R.Port + " (" + DeviceOf(R.Port) + ")", false);

    TSerialPortSet Free, All;
    EnumerateSerialPorts(false, Free);
    const bool Denied = LastEnumerationHadPermissionDenied();
    const auto listed = [](std::string& List, const std::string& Item) {
        List += (List.empty() ? "" : ", ") + Item;
    };
    std::string Silent, Busy;
    for (size_t N = 0; N < Free.size(); ++N) {
        if (!Free[N]) continue;
        const std::string Name = SerialPortName(static_cast<uint8_t>(N));
        if (TryPort(S, Name, "", true)) return true;
        listed(Silent, Name + " (" + DeviceOf(Name) + ")");
    }
    EnumerateSerialPorts(true, All);
    for (size_t N = 0; N < All.size(); ++N)
        if (All[N] && !Free[N]) listed(Busy, SerialPortName(static_cast<uint8_t>(N)));
    // "Not found" alone leaves the user guessing whether any port was there to try.
    std::string Text = NotFoundText;
    if (!Silent.empty()) Text += " No answer as a Velmorant on " + Silent + ".";
    if (!Busy.empty()) Text += " In use by another program or not permitted: " + Busy + ".";
    if (Silent.empty() && Busy.empty()) Text += " No serial port is present; is the board plugged in?";
    if (Denied) Text += std::string(" ") + SerialPermissionAdvice;
    S.Error(Text);
    return false;
}

int RunPorts(TSession& S) {
    TSerialPortSet Free, All;
    EnumerateSerialPorts(false, Free);
    EnumerateSerialPorts(true, All);
    std::string Json;
    for (size_t N = 0; N < All.size(); ++N) {
        if (!All[N]) continue;
        const std::string Name = SerialPortName(static_cast<uint8_t>(N));
        std::error_code Error;
        std::string Path = ResolveSerialPortPath(Name);
        if (const auto Target = std::filesystem::weakly_canonical(Path, Error); !Error)
            Path = Target.string();
        if (S.Request.Json) {
            Json += std::string(Json.empty() ? "" : ",") + "{\"port\":" + JsonString(Name) +
                    ",\"device\":" + JsonString(Path) + ",\"in_use\":" + (Free[N] ? "false" : "true") + "}";
        } else {
            S.Out << Name << '\t' << Path << (Free[N] ? "" : "\tin use") << '\n';
        }
    }
    if (S.Request.Json) S.Out << '[' << Json << "]\n";
    if (LastEnumerationHadPermissionDenied()) S.Error(SerialPermissionAdvice);
    return ecSuccess;
}

int RunInfo(TSession& S) {
    const TVelmorant& D = S.Device();
    if (S.Request.Json)
        S.Out << "{\"port\":" << JsonString(S.PortLabel()) << ",\"firmware\":" << JsonString(D.Version())
              << ",\"program_lines\":" << D.ReportedProgramLineCount() << "}\n";
    else
        S.Out << "Port: " << S.PortLabel() << "\nFirmware: " << D.Version()
              << "\nProgram lines: " << D.ReportedProgramLineCount() << '\n';
    return ecSuccess;
}

// A reply read as a signed decimal number, as the driver reads every number from the board.
std::optional<int> DecimalReply(const std::string& Reply) {
    const char* Begin = Reply.data() + (!Reply.empty() && Reply[0] == '+' ? 1 : 0);
    const char* End = Reply.data() + Reply.size();
    int Value = 0;
    const auto Read = std::from_chars(Begin, End, Value);
    if (Begin == End || Read.ec != std::errc() || Read.ptr != End) return std::nullopt;
    return Value;
}

// The settings the driver only caches are asked of the board with their query commands.
std::optional<int> Query(TSession& S, const std::string& Command, const char* ErrorText, int Min = INT_MIN,
                         int Max = INT_MAX) {
    std::string Reply;
    if (!S.Device().SendCommandToDevice(Command, Reply)) {
        S.Error(ErrorText);
        return std::nullopt;
    }
    // A reply that is no such value is a failed read, never a number to print.
    const auto Value = DecimalReply(Reply);
    if (Value && *Value >= Min && *Value <= Max) return Value;
    S.Error("The board answered \"" + Reply + "\" to " + Command + ".");
    return std::nullopt;
}

void PrintQuantity(TSession& S, int Value) {
    const TCliRequest& R = S.Request;
    if (!R.Json) {
        S.Out << Value << '\n';
        return;
    }
    S.Out << "{\"quantity\":" << JsonString(QuantityName(R.What));
    if (R.What != qtPeriod) S.Out << ",\"index\":" << R.Index;
    S.Out << ",\"value\":" << Value << "}\n";
}

int RunGet(TSession& S) {
    TVelmorant& D = S.Device();
    const int I = S.Request.Index;
    std::optional<int> Value;
    switch (S.Request.What) {
        case qtPin:
            Value = D.ReadPinStateOrFalse(I) ? 1 : 0;
            break;
        case qtPort:
            Value = D.ReadPortStateOrZero(I);
            break;
        case qtOffset:
            Value = D.ReadADCOffset(I);
            break;
        case qtDirection:
            Value = Query(S, "DIRRD" + std::to_string(I), "Error getting port direction", 0, 255);
            break;
        case qtPullup:
            Value = Query(S, "PU" + std::to_string(I) + "?", "Error getting pullups");
            if (Value) Value = *Value != 0 ? 1 : 0;
            break;
        case qtPeriod:
            Value = Query(S, "UR?", "Error getting update rate");
            break;
    }
    if (!Value || S.ErrorCount > 0) return ecFailed;
    PrintQuantity(S, *Value);
    return ecSuccess;
}

int RunSet(TSession& S) {
    TVelmorant& D = S.Device();
    const int I = S.Request.Index, V = S.Request.Value;
    switch (S.Request.What) {
        case qtPin:
            // An input pin has no level to set; the window and the bridge refuse it as well. The
            // program's variables (24 on) have no direction.
            if (I < 24) {
                const int Port = I / 8;
                const auto Direction =
                    Query(S, "DIRRD" + std::to_string(Port), "Error getting port direction", 0, 255);
                if (!Direction) return ecFailed;
                if ((*Direction >> (I % 8) & 1) != 0) {
                    S.Error("pin " + std::to_string(I) + " is an input (port " + std::to_string(Port) +
                            " direction " + std::to_string(*Direction) + "); nothing was sent");
                    return ecFailed;
                }
            }
            D.SetPinState(I, V != 0);
            break;
        case qtPort:
            D.SetPortState(I, V);
            break;
        case qtDirection:
            D.SetPortDirection(I, static_cast<uint8_t>(V));
            break;
        case qtPullup:
            D.SetPullupsEnabled(I, V != 0);
            break;
        case qtOffset:
            D.SetADCOffset(I, V);
            break;
        case qtPeriod:
            D.SetUpdatePeriod(V);
            break;
    }
    if (S.ErrorCount > 0) return ecFailed;
    if (S.Request.Json) PrintQuantity(S, V);
    return ecSuccess;
}

int RunStep(TSession& S) {
    const int Line = S.Request.Index;
    if (Line >= S.Device().ReportedProgramLineCount()) {
        S.Error("line " + std::to_string(Line) + " is outside 0.." +
                std::to_string(S.Device().ReportedProgramLineCount() - 1) + ", the board's program");
        return ecUsage;
    }
    // -1 has the board execute the line its program counter points at.
    int Next = -1;
    if (!S.Device().SingleStep(Line, Next)) {
        S.Error("Error stepping PLC program");
        return ecFailed;
    }
    if (S.Request.Json)
        S.Out << "{\"next_line\":" << Next << "}\n";
    else
        S.Out << Next << '\n';
    return ecSuccess;
}

int RunBootloader(TSession& S) {
    S.Device().EnterBootloadMode();
    // Where the window looks for the updater.
    const std::string Folder = GetSpecialFolderPath(sfProgramFiles) + "Tarnwick/Velmorant/Firmware/";
    std::error_code Error;
    const bool Found = std::filesystem::is_regular_file(Folder + "HIDBootloader", Error);
    if (S.Request.Json) {
        S.Out << "{\"updater\":" << (Found ? JsonString(Folder + "HIDBootloader") : "null") << "}\n";
    } else {
        S.Out << "The Velmorant is now in update mode. " << RunUpdaterText << '\n';
        if (Found) S.Out << "It is " << Folder << "HIDBootloader\n";
    }
    return ecSuccess;
}

int RunBoardCommand(TSession& S) {
    TVelmorant& D = S.Device();
    switch (S.Request.Kind) {
        case ckInfo:
            return RunInfo(S);
        case ckRead:
            return RunRead(S);
        case ckGet:
            return RunGet(S);
        case ckSet:
            return RunSet(S);
        case ckWatch:
            return RunWatch(S);
        case ckCapture:
            return RunCapture(S);
        case ckPlcRun:
            D.SetPLCRunMode(rmRun);
            break;
        case ckPlcStop:
            D.SetPLCRunMode(rmPaused);
            break;
        case ckPlcStep:
            return RunStep(S);
        case ckPlcEnable:
        case ckPlcDisable:
            D.SetPLCEnabled(S.Request.Kind == ckPlcEnable);
            break;
        case ckEepromSave:
            D.SaveSettingsInEEPROM();
            break;
        case ckEepromRecall: {
            std::string Reply;
            if (!D.SendCommandToDevice("RECALL", Reply)) S.Error("Error recalling settings");
            break;
        }
        case ckBootloader:
            return RunBootloader(S);
        default:
            return RunFileCommand(S);
    }
    if (S.ErrorCount > 0) return ecFailed;
    if (S.Request.Json) S.Out << "{\"ok\":true}\n";
    return ecSuccess;
}

// The settings a command changes on the board and not in its EEPROM; 0 for one that changes none.
uint8_t SettingsChangedBy(const TCliRequest& R) {
    switch (R.Kind) {
        case ckSet:
            switch (R.What) {
                case qtDirection:
                    return csDirections;
                case qtPullup:
                    return csPullups;
                case qtOffset:
                    return csOffsets;
                case qtPeriod:
                    return csPeriod;
                default:
                    return 0;  // pins and ports are no settings the EEPROM keeps
            }
        case ckPlcEnable:
        case ckPlcDisable:
            return csPLCMode;
        case ckProgramDownload:
            return csProgram | csPeriod;
        case ckSettingsRecall:
            return csDirections | csPullups | csPeriod | csProgram;
        default:
            return 0;
    }
}

}  // namespace

TSession::TSession(const TCliRequest& R, std::ostream& O, std::ostream& E) : Request(R), Out(O), Err(E) {}

int RunOnBoard(TSession& S, const std::function<int()>& Body) {
    // watch and capture end on Ctrl+C between readings: the signals are blocked before the session's
    // thread starts, so that none of its threads takes them; the command waits for them itself.
    std::optional<TStopSignals> Stop;
    if (S.Request.Kind == ckWatch || S.Request.Kind == ckCapture) Stop.emplace();
    TCoreApplication App;
    TBoardSession Board;
    QEventLoop Loop;
    bool Ended = false;
    int Code = ecFailed;
    std::exception_ptr Thrown;
    Board.Exclusive(
        [&](TVelmorant& D) {
            const TFailureProc Saved = D.OnError();
            D.SetOnError([&S](const TFailure& Failure) {
                ++S.ErrorCount;
                if (!S.QuietErrors) S.Error(Failure.Text);
            });
            S.Board = &D;
            try {
                Code = Body();
            } catch (...) {
                Thrown = std::current_exception();
            }
            S.Board = nullptr;
            D.SetOnError(Saved);
        },
        [&] {
            Ended = true;
            Loop.quit();
        });
    if (!Ended) Loop.exec();
    if (Thrown) std::rethrow_exception(Thrown);
    return Code;
}

void TSession::Error(const std::string& Text) const {
    Err << "velmorant-cli: " << Text << '\n';
}

std::string TSession::PortLabel() const {
    return Request.Device.empty() ? Device().ComPortName() : Request.Device;
}

std::string JsonString(const std::string& Text) {
    std::string Result = "\"";
    for (const char C : Text) {
        if (C == '"' || C == '\\') {
            Result += '\\';
            Result += C;
        } else if (static_cast<unsigned char>(C) < 0x20) {
            char Escaped[8];
            std::snprintf(Escaped, sizeof Escaped, "\\u%04x", C);
            Result += Escaped;
        } else {
            Result += C;
        }
    }
    return Result + "\"";
}

std::string JsonValue(const std::optional<int>& Value) {
    return Value ? std::to_string(*Value) : "null";
}

int RunCli(const std::vector<std::string>& Args, std::ostream& Out, std::ostream& Err) {
    TCliRequest Request;
    try {
        Request = ParseArguments(Args);
    } catch (const EUsageError& E) {
        Err << "velmorant-cli: " << E.what() << "\nTry 'velmorant-cli --help' for more information.\n";
        return ecUsage;
    }
    if (Request.Help) {
        Out << HelpText();
        return ecSuccess;
    }
    if (Request.Version) {
        Out << "velmorant-cli (Velmorant) " << VELMORANT_VERSION
            << "\nLicense GPLv3+: GNU GPL version 3 or later <https://gnu.org/licenses/gpl.html>.\nThis is "
               "free software: you are free to change and redistribute it.\nThere is NO WARRANTY, to the "
               "extent permitted by law.\n";
        return ecSuccess;
    }

    TSession S(Request, Out, Err);
    // The serial layer's raw records stay off the user's screen: every failure is told in our words.
    struct TQuietSerialLayer {
        TQuietSerialLayer() { SetSerialErrorEcho(false); }
        ~TQuietSerialLayer() { SetSerialErrorEcho(true); }
    } Quiet;
    try {
        if (Request.Kind == ckPorts) return RunPorts(S);
        for (const std::string& Note : CheckFileToSend(Request)) S.Error(Note);
        OpenOutputFiles(S);
        if (Request.Kind == ckMqtt || Request.Kind == ckModbus || Request.Kind == ckServe) {
            // The bridge and the server wait for their board rather than failing when it is not there yet.
            const std::string Port = Request.Device.empty() ? Request.Port : Request.Device;
            if (Request.Kind == ckMqtt) return RunMqtt(S, Port);
            if (Request.Kind == ckModbus) return RunModbus(S, Port);
            std::vector<TFrontEndMaker> Ends;
            if (!Request.Share.empty()) Ends.push_back(SharedPort(S));
            if (Request.Mqtt.Given) Ends.push_back(MqttBridge(S, MqttPassword(S)));
            if (Request.Modbus.Serve) Ends.push_back(ModbusServer(S));
            return ServeBoard(S, Port, Ends);
        }
        return RunOnBoard(S, [&] {
            if (!Connect(S)) {
                if (S.CsvCreated) {
                    S.Csv.close();
                    std::error_code Ignored;
                    std::filesystem::remove(Request.CsvFile, Ignored);
                }
                return static_cast<int>(ecFailed);
            }
            const int Code = RunBoardCommand(S);
            // The window's next start recalls the EEPROM: it asks first where a change made here is not
            // in it. A node named by --device is no port of the window's, and the user's settings stay
            // untouched.
            const std::string Port = S.Device().ComPortName();
            const bool WindowsPort = Request.Device.empty();
            if (const uint8_t Changed = SettingsChangedBy(Request); Changed != 0 && WindowsPort)
                RecordUnsavedOnBoard(Port, Changed);
            else if (WindowsPort && (Request.Kind == ckEepromSave || Request.Kind == ckEepromRecall) &&
                     Code == ecSuccess)
                ForgetUnsavedOnBoard(Port);
            S.Device().Disconnect();
            return Code;
        });
    } catch (const EVelmorantError& E) {
        S.Error(E.what());
        return ecFailed;
    }
}

}  // namespace velcli

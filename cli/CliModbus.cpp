// modbus: the server. The board session owns the board; the main thread owns every client, each
// framed by us so that a slow or hostile one never holds the others.
#include "CliModbus.h"

#include <modbus/modbus.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <QEventLoop>
#include <QSocketNotifier>
#include <algorithm>
#include <cerrno>
#include <cstring>
#include <list>
#include <memory>
#include <set>

#include "BoardSession.h"
#include "CliBoardLoop.h"
#include "CliModbusMap.h"
#include "CliSession.h"
#include "Errors.h"
#include "LinkSupervisor.h"

namespace velcli {

namespace {

// Enough for a SCADA, a PLC and a few dashboards; a client beyond it is turned away at once.
constexpr size_t MaxClients = 16;
// A client's unanswered bytes: a few frames. One that sends more than it reads waits for its answers.
constexpr size_t ClientBuffer = 4 * ModbusMaxFrame;
// The first writes are logged; a client that writes as it polls would drown the log.
constexpr int MaxWritesSaid = 20;

struct TClient {
    uint64_t Id = 0;
    int Fd = -1;
    std::string Peer;
    std::vector<uint8_t> In;
    std::unique_ptr<QSocketNotifier> Readable;
    // A write on its way to the board: the client's next frames wait for its answer.
    bool Waiting = false;
};

// The settings registers as the session has them; all unknown until every one was read.
std::array<std::optional<int>, modbus_map::HoldingRegisters - modbus_map::FirstDirection> SettingsOf(
    const TBoardState& State) {
    using namespace modbus_map;
    std::array<std::optional<int>, HoldingRegisters - FirstDirection> Settings;
    if (!State.SettingsKnown) return Settings;
    const auto In = [](int Value, int Min, int Max) -> std::optional<int> {
        if (Value < Min || Value > Max) return std::nullopt;
        return Value;
    };
    for (int Port = 0; Port < 3; ++Port) Settings[Port] = State.Directions[Port];
    Settings[FirstPullup - FirstDirection] = State.Pullups[0] ? 1 : 0;
    Settings[FirstPullup + 1 - FirstDirection] = State.Pullups[2] ? 1 : 0;
    for (int Input = 0; Input < TVelmorant::AnalogInputCount; ++Input)
        Settings[FirstOffset - FirstDirection + Input] = In(State.ADCOffsets[Input], -128, 128);
    Settings[Period - FirstDirection] = In(State.UpdatePeriod, 0, 15);
    Settings[RunMode - FirstDirection] = In(static_cast<int>(State.PLCRunMode), 0, 2);
    return Settings;
}

// The server on the board session: the session ticks and owns the board's state, its supervisor
// finds the board (again); requests are answered from the image, writes once the board took them.
class TModbusServer : public TFrontEnd {
public:
    TModbusServer(TSession& S, TBoardHost& Host) : FS(S), FHost(Host), FO(S.Request.Modbus) {
        Host.Tick.push_back([this](const TTickReadings& R) {
            FImage.TakeTick(R);
            OnAvailability();
        });
        Host.Found.push_back([this] { FImage.Settings = SettingsOf(FHost.State()); });
        Host.Availability.push_back([this] { OnAvailability(); });
        // The settings registers follow the session's state, whoever changed it.
        QObject::connect(&Host.Session(), &TBoardSession::StateChanged, &FContext,
                         [this](const TBoardState& State) { FImage.Settings = SettingsOf(State); });
    }

    ~TModbusServer() {
        FClients.clear();
        FListener.reset();
        if (FMapping) modbus_mapping_free(FMapping);
        if (FModbus) modbus_free(FModbus);
    }

    bool Start() override {
        std::string Host, Port;
        SplitHostPort(FO.Listen, Host, Port);
        FModbus = modbus_new_tcp_pi(Host.c_str(), Port.c_str());
        FMapping =
            modbus_mapping_new_start_address(0, modbus_map::Pins, 0, modbus_map::Pins, 0,
                                             modbus_map::HoldingRegisters, 0, modbus_map::InputRegisters);
        if (!FModbus || !FMapping) {
            FS.Error(std::string("cannot set up the Modbus server: ") + std::strerror(errno));
            return false;
        }
        const int Listen = modbus_tcp_pi_listen(FModbus, static_cast<int>(MaxClients));
        if (Listen < 0) {
            FS.Error("cannot listen on " + FO.Listen + ": " + std::strerror(errno));
            return false;
        }
        FListener = std::make_unique<TListener>(
            FHost, Listen, [this](int Fd, const sockaddr_storage& Address) { Admit(Fd, Address); });
        FS.Error("serving " + FHost.Label() + " as Modbus TCP on " + SocketAddressText(FListener->Bound()) +
                 (FO.AllowWrites ? " (writes allowed)" : " (read only)"));
        return true;
    }

    void Finish() override {}
    std::string Summary() const override { return std::to_string(FRequests) + " requests served"; }

private:
    void Say(const std::string& Text) { FHost.Say(Text); }

    // A board that is gone or silent is no source of values: its last ones are not made up again.
    void OnAvailability() {
        FImage.Online = FHost.Online();
        if (!FImage.Online) FImage.TakeTick({});
    }

    void Admit(int Fd, const sockaddr_storage& Address) {
        if (FClients.size() >= MaxClients) {
            ::close(Fd);
            if (!FFullSaid)
                Say("turned a Modbus client away: " + std::to_string(MaxClients) + " are connected");
            FFullSaid = true;
            return;
        }
        FFullSaid = false;
        TClient& C = FClients.emplace_back();
        C.Id = ++FLastId;
        C.Fd = Fd;
        C.Peer = SocketAddressText(Address);
        C.Readable = std::make_unique<QSocketNotifier>(Fd, QSocketNotifier::Read);
        QObject::connect(C.Readable.get(), &QSocketNotifier::activated, &FContext,
                         [this, Id = C.Id] { Readable(Id); });
    }

    std::list<TClient>::iterator Find(uint64_t Id) {
        return std::find_if(FClients.begin(), FClients.end(), [Id](const TClient& C) { return C.Id == Id; });
    }

    void Readable(uint64_t Id) {
        const auto It = Find(Id);
        if (It == FClients.end()) return;
        if (!Receive(*It) || !ServeBuffered(*It)) Drop(It);
    }

    // Reads what the client sent; false when it is gone or its stream is no Modbus TCP.
    bool Receive(TClient& C) {
        if (C.In.size() >= ClientBuffer) return true;  // its frames are answered first
        uint8_t Bytes[ClientBuffer];
        const ssize_t Got = ::recv(C.Fd, Bytes, ClientBuffer - C.In.size(), 0);
        if (Got == 0 || (Got < 0 && errno != EAGAIN && errno != EINTR)) return false;
        if (Got > 0) C.In.insert(C.In.end(), Bytes, Bytes + Got);
        return ModbusFrameLength(C.In.data(), C.In.size()) >= 0;
    }

    // Answers the client's complete frames in order, up to a write that waits for the board; false
    // when the client is to go. A full buffer is not read until its frames are answered.
    bool ServeBuffered(TClient& C) {
        while (!C.Waiting) {
            const long Length = ModbusFrameLength(C.In.data(), C.In.size());
            if (Length < 0) return false;
            if (Length == 0) break;
            std::vector<uint8_t> Frame(C.In.begin(), C.In.begin() + Length);
            C.In.erase(C.In.begin(), C.In.begin() + Length);
            if (!ServeOne(C, std::move(Frame))) return false;
        }
        C.Readable->setEnabled(!C.Waiting && C.In.size() < ClientBuffer);
        return true;
    }

    bool ServeOne(TClient& C, std::vector<uint8_t> Frame) {
        ++FRequests;
        // libmodbus reads a request as far as its function says: the rest of the buffer is zeros.
        const size_t Length = Frame.size();
        Frame.resize(ModbusMaxFrame + 8, 0);
        TModbusDecision D = DecideModbusRequest(Frame.data(), Length, FImage, FO.AllowWrites, FO.Unit);
        if (D.Exception == mxNone && !D.Writes.empty()) {
            C.Waiting = true;
            Write(C.Id, std::move(Frame), Length, std::move(D.Writes), 0);
            return true;
        }
        return Reply(C, Frame.data(), Length, D.Exception);
    }

    // A client that does not read its answers is let go rather than waited for.
    bool Reply(TClient& C, uint8_t* Frame, size_t Length, TModbusException Exception) {
        modbus_set_socket(FModbus, C.Fd);
        if (Exception != mxNone) return modbus_reply_exception(FModbus, Frame, Exception) >= 0;
        Fill();
        return modbus_reply(FModbus, Frame, static_cast<int>(Length), FMapping) >= 0;
    }

    // Sends the writes in order, each once the board took the one before; the client's answer
    // follows the last, or the first the board did not take.
    void Write(uint64_t Id, std::vector<uint8_t> Frame, size_t Length, std::vector<TModbusWrite> Writes,
               size_t Next) {
        const TModbusWrite W = Writes[Next];
        FHost.Session().Change(
            [W](TVelmorant& D) {
                switch (W.Kind) {
                    case TModbusWrite::Pin:
                        D.SetPinState(W.Index, W.Value != 0);
                        break;
                    case TModbusWrite::Port:
                        D.SetPortState(W.Index, W.Value);
                        break;
                    case TModbusWrite::Direction:
                        D.SetPortDirection(W.Index, static_cast<uint8_t>(W.Value));
                        break;
                    case TModbusWrite::Pullup:
                        D.SetPullupsEnabled(W.Index, W.Value != 0);
                        break;
                    case TModbusWrite::Offset:
                        D.SetADCOffset(W.Index, W.Value);
                        break;
                    case TModbusWrite::Period:
                        D.SetUpdatePeriod(W.Value);
                        break;
                    case TModbusWrite::RunMode:
                        D.SetPLCRunMode(static_cast<TPLCRunMode>(W.Value));
                        break;
                }
            },
            [this, Id, Frame = std::move(Frame), Length, Writes = std::move(Writes),
             Next](bool Taken) mutable {
                const auto It = Find(Id);
                if (Taken) {
                    FHost.WriteTaken();
                    ApplyModbusWrite(FImage, Writes[Next]);
                    if (FSaidWrites < MaxWritesSaid && It != FClients.end()) {
                        ++FSaidWrites;
                        Say(It->Peer + " set " + DescribeModbusWrite(Writes[Next]));
                    }
                    if (Next + 1 < Writes.size())
                        return Write(Id, std::move(Frame), Length, std::move(Writes), Next + 1);
                }
                if (It == FClients.end()) return;  // gone meanwhile: nothing to answer
                It->Waiting = false;
                if (!Reply(*It, Frame.data(), Length, Taken ? mxNone : mxTargetFailed) || !ServeBuffered(*It))
                    Drop(It);
            });
    }

    // The mapping libmodbus answers from, as the image has it; DecideModbusRequest made sure every
    // value a read touches is known.
    void Fill() {
        using namespace modbus_map;
        for (int Pin = 0; Pin < Pins; ++Pin)
            FMapping->tab_bits[Pin] = FMapping->tab_input_bits[Pin] = FImage.Pin(Pin).value_or(false);
        for (int A = 0; A < HoldingRegisters; ++A) FMapping->tab_registers[A] = FImage.Holding(A).value_or(0);
        for (int A = 0; A < InputRegisters; ++A)
            FMapping->tab_input_registers[A] = FImage.Input(A).value_or(0);
    }

    void Drop(std::list<TClient>::iterator It) {
        It->Readable.reset();
        ::close(It->Fd);
        FClients.erase(It);
    }

    TSession& FS;
    TBoardHost& FHost;
    const TModbusOptions& FO;
    QObject FContext;  // what the sockets' and the session's handlers run under
    modbus_t* FModbus = nullptr;
    modbus_mapping_t* FMapping = nullptr;
    std::list<TClient> FClients;
    std::unique_ptr<TListener> FListener;
    uint64_t FLastId = 0;
    bool FFullSaid = false;
    TModbusImage FImage;
    uint64_t FRequests = 0;
    int FSaidWrites = 0;
};

}  // namespace

bool ParseModbusOption(TModbusOptions& O, const std::string& Arg, const std::function<std::string()>& Value) {
    if (Arg == "--listen" || Arg == "--modbus") {
        std::string Address = Value();
        // A port alone is on this machine only: another host is the user's choice.
        if (Address.find(':') == std::string::npos) Address = "127.0.0.1:" + Address;
        const size_t Colon = Address.rfind(':');
        int32_t Port = -1;
        if (Colon == 0 || !TryStrToInt(Address.substr(Colon + 1), Port) || Port < 0 || Port > 65535)
            throw EUsageError("listen address '" + Address + "' is not HOST:PORT (port 0..65535)");
        if (Arg == "--modbus") {
            O.Serve = true;
            O.Listen = Address;
            return true;
        }
        O.ListenGiven = Address;
    } else if (Arg == "--unit") {
        int32_t Unit = -1;
        const std::string Text = Value();
        if (!TryStrToInt(Text, Unit) || Unit < 0 || Unit > 255)
            throw EUsageError("unit '" + Text + "' is not a number from 0 to 255");
        O.Unit = Unit;
        O.UnitGiven = true;
    } else {
        return false;
    }
    O.Given = true;
    return true;
}

void CheckModbusRequest(TCliRequest& R) {
    if (R.Kind == ckServe) {
        R.Share = R.Modbus.ListenGiven;
        if (R.Modbus.UnitGiven && !R.Modbus.Serve)
            throw EUsageError("--unit belongs to the Modbus server: give serve --modbus HOST:PORT");
        if (!R.Modbus.Serve && !R.Mqtt.Given && R.Share.empty())
            throw EUsageError(
                "serve needs a front end: --listen HOST:PORT for the shared port, --broker "
                "HOST[:PORT] for MQTT, --modbus HOST:PORT for Modbus");
    } else if (R.Modbus.Serve) {
        throw EUsageError("--modbus belongs to serve; modbus takes --listen");
    } else if (!R.Modbus.ListenGiven.empty()) {
        R.Modbus.Listen = R.Modbus.ListenGiven;
    }
    if (R.Kind != ckModbus && R.Kind != ckServe) {
        if (R.Modbus.Given) throw EUsageError("--listen and --unit belong to modbus and serve");
        return;
    }
    if (R.Port.empty() && R.Device.empty())
        throw EUsageError(std::string(R.Kind == ckServe ? "serve" : "modbus") +
                          " needs --port or --device: the server stays with one board");
}

TFrontEndMaker ModbusServer(TSession& S) {
    return [&S](TBoardHost& Host, QEventLoop&) { return std::make_unique<TModbusServer>(S, Host); };
}

int RunModbus(TSession& S, const std::string& PortName) {
    return ServeBoard(S, PortName, {ModbusServer(S)});
}

}  // namespace velcli

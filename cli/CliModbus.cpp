// modbus: the server's loop. The main thread owns the board and every client; requests are served
// between the ticks, each client framed by us so that a slow or hostile one never holds the others.
#include "CliModbus.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <modbus/modbus.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <memory>

#include "CliBoardLoop.h"
#include "CliModbusMap.h"
#include "CliSession.h"
#include "Errors.h"

namespace velcli {

namespace {

// Enough for a SCADA, a PLC and a few dashboards; a client beyond it is turned away at once.
constexpr size_t MaxClients = 16;
// A client's unanswered bytes: a few frames. One that sends more than it reads waits for its answers.
constexpr size_t ClientBuffer = 4 * ModbusMaxFrame;
// The first writes are logged; a client that writes as it polls would drown the log.
constexpr int MaxWritesSaid = 20;

struct TClient {
    int Fd = -1;
    std::string Peer;
    std::vector<uint8_t> In;
};

std::string PeerName(const sockaddr_storage& A) {
    char Host[INET6_ADDRSTRLEN] = "?";
    int Port = 0;
    if (A.ss_family == AF_INET) {
        const auto* V4 = reinterpret_cast<const sockaddr_in*>(&A);
        inet_ntop(AF_INET, &V4->sin_addr, Host, sizeof Host);
        Port = ntohs(V4->sin_port);
    } else if (A.ss_family == AF_INET6) {
        const auto* V6 = reinterpret_cast<const sockaddr_in6*>(&A);
        inet_ntop(AF_INET6, &V6->sin6_addr, Host, sizeof Host);
        return std::string("[").append(Host).append("]:").append(std::to_string(ntohs(V6->sin6_port)));
    }
    return std::string(Host) + ":" + std::to_string(Port);
}

class TModbusServer : public TBoardLoop {
public:
    TModbusServer(TSession& S, const std::string& PortName, const std::string& PortLabel, int SignalFd)
        : TBoardLoop(S, PortName, PortLabel, SignalFd), FO(S.Request.Modbus) {}

    ~TModbusServer() override {
        for (TClient& C : FClients) ::close(C.Fd);
        if (FListen >= 0) ::close(FListen);
        if (FMapping) modbus_mapping_free(FMapping);
        if (FContext) modbus_free(FContext);
    }

    int Run() {
        std::string Host, Port;
        SplitListen(FO.Listen, Host, Port);
        FContext = modbus_new_tcp_pi(Host.c_str(), Port.c_str());
        FMapping =
            modbus_mapping_new_start_address(0, modbus_map::Pins, 0, modbus_map::Pins, 0,
                                             modbus_map::HoldingRegisters, 0, modbus_map::InputRegisters);
        if (!FContext || !FMapping) {
            FS.Error(std::string("cannot set up the Modbus server: ") + std::strerror(errno));
            return ecFailed;
        }
        FListen = modbus_tcp_pi_listen(FContext, static_cast<int>(MaxClients));
        if (FListen < 0) {
            FS.Error("cannot listen on " + FO.Listen + ": " + std::strerror(errno));
            return ecFailed;
        }
        ::fcntl(FListen, F_SETFL, ::fcntl(FListen, F_GETFL) | O_NONBLOCK);
        sockaddr_storage Bound{};
        socklen_t Size = sizeof Bound;
        ::getsockname(FListen, reinterpret_cast<sockaddr*>(&Bound), &Size);
        FS.Error("serving " + FLabel + " as Modbus TCP on " + PeerName(Bound) +
                 (FO.AllowWrites ? " (writes allowed)" : " (read only)"));
        RunTicks();
        FS.Device.Disconnect();
        FS.Error("stopped after " + std::to_string(FTicks) + " ticks, " + std::to_string(FLateTicks) +
                 " late; " + std::to_string(FRequests) + " requests served");
        return ecSuccess;
    }

private:
    static void SplitListen(const std::string& Text, std::string& Host, std::string& Port) {
        const size_t Colon = Text.rfind(':');
        Host = Text.substr(0, Colon);
        Port = Text.substr(Colon + 1);
        if (Host.size() >= 2 && Host.front() == '[' && Host.back() == ']')
            Host = Host.substr(1, Host.size() - 2);
    }

    void OnConnected() override {
        // The settings the map shows besides the tick; the driver reports a failed read.
        const auto Ask = [this](const std::string& Command, int Min, int Max) -> std::optional<int> {
            std::string Reply;
            int32_t Value = 0;
            if (!FS.Device.SendCommandToDevice(Command, Reply) || !TryStrToInt(Reply, Value) || Value < Min ||
                Value > Max)
                return std::nullopt;
            return Value;
        };
        auto& Settings = FImage.Settings;
        Settings.fill(std::nullopt);
        for (int Port = 0; Port < 3; ++Port)
            if (FDirections[Port]) Settings[Port] = *FDirections[Port];
        Settings[3] = Ask("PU0?", 0, 1);
        Settings[4] = Ask("PU2?", 0, 1);
        for (int Input = 0; Input < TVelmorant::AnalogInputCount; ++Input)
            Settings[modbus_map::FirstOffset - modbus_map::FirstDirection + Input] =
                Ask("AORD" + std::to_string(Input), -128, 128);
        Settings[modbus_map::Period - modbus_map::FirstDirection] = Ask("UR?", 0, 15);
        Settings[modbus_map::RunMode - modbus_map::FirstDirection] = Ask("PLCRM?", 0, 2);
        CheckLost();
        OnAvailability();
    }

    // A board that is gone or silent is no source of values: its last ones are not made up again.
    void OnAvailability() override {
        FImage.Online = Online();
        if (!FImage.Online) FImage.TakeTick({});
    }

    void OnReadings(const TTickReadings& R) override { FImage.TakeTick(R); }

    // Serves until Due: frames already buffered first, one per client in turn, then what comes.
    void Serve(TClock::time_point Due) override {
        while (!FStop) {
            bool More = false;
            for (size_t I = 0; I < FClients.size() && TClock::now() < Due;) {
                const bool Kept = ServeOne(FClients[I], More);
                if (Kept)
                    ++I;
                else
                    Drop(I);
            }
            const auto Left = std::chrono::ceil<std::chrono::milliseconds>(Due - TClock::now()).count();
            if (Left <= 0) return;
            std::vector<pollfd> P = {{FSignalFd, POLLIN, 0}, {FListen, POLLIN, 0}};
            for (const TClient& C : FClients)
                P.push_back({C.Fd, static_cast<short>(C.In.size() < ClientBuffer ? POLLIN : 0), 0});
            const int Timeout = More ? 0 : static_cast<int>(std::min<long long>(Left, 60000));
            if (::poll(P.data(), P.size(), Timeout) < 0 && errno != EINTR) return;
            TakeSignal(P[0].revents);
            if (FStop) return;
            if (P[1].revents & POLLIN) Accept();
            // Newly accepted clients are polled next round; the indexes here are those polled.
            for (size_t I = P.size() - 2; I-- > 0;)
                if (P[I + 2].revents != 0 && !Receive(FClients[I])) Drop(I);
        }
    }

    void Accept() {
        for (;;) {
            sockaddr_storage Address{};
            socklen_t Size = sizeof Address;
            const int Fd = ::accept4(FListen, reinterpret_cast<sockaddr*>(&Address), &Size,
                                     SOCK_NONBLOCK | SOCK_CLOEXEC);
            if (Fd < 0) return;
            if (FClients.size() >= MaxClients) {
                ::close(Fd);
                if (!FFullSaid)
                    Say("turned a Modbus client away: " + std::to_string(MaxClients) + " are connected");
                FFullSaid = true;
                continue;
            }
            FFullSaid = false;
            FClients.push_back({Fd, PeerName(Address), {}});
        }
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

    // Answers the client's first complete frame, if any; More tells whether another one waits.
    bool ServeOne(TClient& C, bool& More) {
        const long Length = ModbusFrameLength(C.In.data(), C.In.size());
        if (Length < 0) return false;
        if (Length == 0) return true;
        // libmodbus reads a request as far as its function says: the rest of the buffer is zeros.
        uint8_t Frame[ModbusMaxFrame + 8] = {};
        std::copy_n(C.In.begin(), Length, Frame);
        C.In.erase(C.In.begin(), C.In.begin() + Length);
        More = More || ModbusFrameLength(C.In.data(), C.In.size()) > 0;
        ++FRequests;
        modbus_set_socket(FContext, C.Fd);
        TModbusDecision D = DecideModbusRequest(Frame, Length, FImage, FO.AllowWrites, FO.Unit);
        if (D.Exception == mxNone && !D.Writes.empty()) D.Exception = Write(D.Writes, C);
        if (D.Exception != mxNone) return modbus_reply_exception(FContext, Frame, D.Exception) >= 0;
        Fill();
        // A client that does not read its answers is let go rather than waited for.
        return modbus_reply(FContext, Frame, static_cast<int>(Length), FMapping) >= 0;
    }

    // Sends the writes in order; the board's reply to each decides.
    TModbusException Write(const std::vector<TModbusWrite>& Writes, const TClient& C) {
        for (const TModbusWrite& W : Writes) {
            auto& D = FS.Device;
            const bool Done = Succeeded([&] {
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
            });
            if (CheckLost() || !Done) return mxTargetFailed;
            ApplyModbusWrite(FImage, W);
            if (W.Kind == TModbusWrite::Direction) FDirections[W.Index] = static_cast<uint8_t>(W.Value);
            if (FSaidWrites < MaxWritesSaid) {
                ++FSaidWrites;
                Say(C.Peer + " set " + DescribeModbusWrite(W));
            }
        }
        return mxNone;
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

    void Drop(size_t I) {
        ::close(FClients[I].Fd);
        FClients.erase(FClients.begin() + static_cast<long>(I));
    }

    const TModbusOptions& FO;
    modbus_t* FContext = nullptr;
    modbus_mapping_t* FMapping = nullptr;
    int FListen = -1;
    std::vector<TClient> FClients;
    bool FFullSaid = false;
    TModbusImage FImage;
    uint64_t FRequests = 0;
    int FSaidWrites = 0;
};

}  // namespace

bool ParseModbusOption(TModbusOptions& O, const std::string& Arg, const std::function<std::string()>& Value) {
    if (Arg == "--listen") {
        O.Listen = Value();
        const size_t Colon = O.Listen.rfind(':');
        int32_t Port = -1;
        if (Colon == std::string::npos || Colon == 0 || !TryStrToInt(O.Listen.substr(Colon + 1), Port) ||
            Port < 0 || Port > 65535)
            throw EUsageError("listen address '" + O.Listen + "' is not HOST:PORT (port 0..65535)");
    } else if (Arg == "--unit") {
        int32_t Unit = -1;
        const std::string Text = Value();
        if (!TryStrToInt(Text, Unit) || Unit < 0 || Unit > 255)
            throw EUsageError("unit '" + Text + "' is not a number from 0 to 255");
        O.Unit = Unit;
    } else {
        return false;
    }
    O.Given = true;
    return true;
}

void CheckModbusRequest(const TCliRequest& R) {
    if (R.Kind != ckModbus) {
        if (R.Modbus.Given) throw EUsageError("--listen and --unit belong to modbus");
        return;
    }
    if (R.Port.empty() && R.Device.empty())
        throw EUsageError("modbus needs --port or --device: the server stays with one board");
}

int RunModbus(TSession& S, const std::string& PortName) {
    const std::string Label = S.Request.Device.empty() ? S.Request.Port : S.Request.Device;
    return RunUntilStopped(S, [&](int SignalFd) {
        TModbusServer Server(S, PortName, Label, SignalFd);
        return Server.Run();
    });
}

}  // namespace velcli

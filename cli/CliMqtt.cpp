// mqtt: the bridge's loop. The main thread owns the board and every value published; libmosquitto's
// own thread keeps the broker's connection (keep-alive, reconnects) and only hands over what arrives,
// through a queue and an eventfd that wakes the main thread's poll.
#include "CliMqtt.h"

#include <fcntl.h>
#include <mosquitto.h>
#include <poll.h>
#include <signal.h>
#include <sys/eventfd.h>
#include <sys/signalfd.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstring>
#include <deque>
#include <fstream>
#include <map>
#include <mutex>
#include <set>
#include <utility>

#include "CliSession.h"
#include "Errors.h"
#include "NetPort.h"
#include "SerialPort.h"

namespace velcli {

namespace {

using TClock = std::chrono::steady_clock;
constexpr auto TickPeriod = std::chrono::milliseconds(500);
// Retained values are published again after this even when unchanged, so that a reader can tell a
// steady value from a bridge that stopped.
constexpr auto RefreshPeriod = std::chrono::seconds(60);
// A look at the port's node costs nothing; a replugged board is back within a second.
constexpr auto BoardRetryPeriod = std::chrono::seconds(1);
constexpr int KeepAliveSecs = 30;
// Readings come again every tick, so a lost one costs nothing; what is said once must arrive.
constexpr int ValueQos = 0, EventQos = 1;

struct TIncoming {
    std::string Topic, Payload;
};

// The broker's client. Callbacks run on libmosquitto's thread and touch only what FLock guards.
class TBroker {
public:
    explicit TBroker(int WakeFd) : FWakeFd(WakeFd) {}
    ~TBroker() {
        if (FMosq == nullptr) return;
        if (FLooping) mosquitto_loop_stop(FMosq, true);
        mosquitto_destroy(FMosq);
    }
    TBroker(const TBroker&) = delete;
    TBroker& operator=(const TBroker&) = delete;

    // Sets the client up with its last will (WillTopic "offline") and starts connecting in the
    // background, subscribing to Filters on every connection. False with Error for a setting the
    // library refuses (a TLS file it cannot read); an unreachable broker is tried again by itself.
    bool Start(const TMqttOptions& O, const std::string& ClientId, const std::string& WillTopic,
               const std::string& Password, const std::vector<std::string>& Filters, std::string& Error) {
        FFilters = Filters;
        FMosq = mosquitto_new(ClientId.c_str(), true, this);
        if (FMosq == nullptr) {
            Error = "cannot create an MQTT client";
            return false;
        }
        mosquitto_connect_callback_set(FMosq, &TBroker::OnConnect);
        mosquitto_disconnect_callback_set(FMosq, &TBroker::OnDisconnect);
        mosquitto_message_callback_set(FMosq, &TBroker::OnMessage);
        mosquitto_publish_callback_set(FMosq, &TBroker::OnPublish);
        mosquitto_reconnect_delay_set(FMosq, 1, 30, true);
        // With a limit, QoS 1 messages past it wait while QoS 0 ones go out: a reading could then
        // overtake the "online" before it.
        mosquitto_max_inflight_messages_set(FMosq, 0);
        const char* Offline = "offline";
        int Rc = mosquitto_will_set(FMosq, WillTopic.c_str(), static_cast<int>(std::strlen(Offline)), Offline,
                                    EventQos, true);
        if (Rc == MOSQ_ERR_SUCCESS && !O.Username.empty())
            Rc = mosquitto_username_pw_set(FMosq, O.Username.c_str(),
                                           O.PasswordFile.empty() ? nullptr : Password.c_str());
        if (Rc == MOSQ_ERR_SUCCESS && !O.CaFile.empty())
            Rc = mosquitto_tls_set(FMosq, O.CaFile.c_str(), nullptr,
                                   O.CertFile.empty() ? nullptr : O.CertFile.c_str(),
                                   O.KeyFile.empty() ? nullptr : O.KeyFile.c_str(), nullptr);
        if (Rc != MOSQ_ERR_SUCCESS) {
            Error = std::string("MQTT settings refused: ") + mosquitto_strerror(Rc);
            return false;
        }
        std::string Host;
        int Port = 0;
        SplitBroker(O, Host, Port);
        FAddress = Host + ":" + std::to_string(Port);
        Rc = mosquitto_connect_async(FMosq, Host.c_str(), Port, KeepAliveSecs);
        if (Rc != MOSQ_ERR_SUCCESS)
            Note("cannot reach the broker at " + FAddress + " (" + ErrorText(Rc) + "); trying again");
        Rc = mosquitto_loop_start(FMosq);
        if (Rc != MOSQ_ERR_SUCCESS) {
            Error = std::string("cannot start the MQTT client: ") + mosquitto_strerror(Rc);
            return false;
        }
        FLooping = true;
        return true;
    }

    // Queues a message; while the broker is away it is dropped (everything is sent again on connect).
    int Publish(const std::string& Topic, const std::string& Payload, int Qos, bool Retain) {
        int Mid = 0;
        const int Rc = mosquitto_publish(FMosq, &Mid, Topic.c_str(), static_cast<int>(Payload.size()),
                                         Payload.data(), Qos, Retain);
        if (Rc == MOSQ_ERR_SUCCESS) {
            FPublished += Payload.size() + Topic.size();
            ++FSent;
        }
        return Rc == MOSQ_ERR_SUCCESS ? Mid : -1;
    }

    // Messages, and their topic and payload bytes, handed to the library.
    uint64_t PublishedMessages() const { return FSent; }
    uint64_t PublishedBytes() const { return FPublished; }
    bool Connected() {
        std::lock_guard<std::mutex> Lock(FLock);
        return FConnected;
    }
    // How many connections were made so far; a new one means everything is to be said again.
    int Connections() {
        std::lock_guard<std::mutex> Lock(FLock);
        return FConnections;
    }
    std::deque<TIncoming> TakeMessages() {
        std::lock_guard<std::mutex> Lock(FLock);
        return std::exchange(FMessages, {});
    }
    std::vector<std::string> TakeNotes() {
        std::lock_guard<std::mutex> Lock(FLock);
        return std::exchange(FNotes, {});
    }
    bool Delivered(int Mid) {
        std::lock_guard<std::mutex> Lock(FLock);
        return FDelivered.count(Mid) != 0;
    }
    // Ends the connection cleanly (no last will) and the client's thread.
    void Stop() {
        if (!FLooping) return;
        mosquitto_disconnect(FMosq);
        mosquitto_loop_stop(FMosq, false);
        FLooping = false;
    }

private:
    static std::string ErrorText(int Rc) {
        return Rc == MOSQ_ERR_ERRNO ? std::strerror(errno) : mosquitto_strerror(Rc);
    }
    void Note(const std::string& Text) {
        {
            std::lock_guard<std::mutex> Lock(FLock);
            FNotes.push_back(Text);
        }
        Wake();
    }
    void Wake() {
        const uint64_t One = 1;
        [[maybe_unused]] const ssize_t Written = ::write(FWakeFd, &One, sizeof One);
    }
    static void OnConnect(mosquitto* M, void* Self, int Rc) {
        auto* B = static_cast<TBroker*>(Self);
        if (Rc != 0) {
            std::lock_guard<std::mutex> Lock(B->FLock);
            // A refusal (bad password, not authorised) repeats at every attempt: say it once.
            if (B->FLastRefusal == Rc) return;
            B->FLastRefusal = Rc;
        }
        if (Rc != 0) {
            B->Note("the broker at " + B->FAddress +
                    " refused the connection: " + mosquitto_connack_string(Rc));
            return;
        }
        for (const std::string& Filter : B->FFilters)
            mosquitto_subscribe(M, nullptr, Filter.c_str(), EventQos);
        {
            std::lock_guard<std::mutex> Lock(B->FLock);
            B->FConnected = true;
            ++B->FConnections;
            B->FLastRefusal = 0;
            B->FNotes.push_back("connected to the broker at " + B->FAddress);
        }
        B->Wake();
    }
    static void OnDisconnect(mosquitto*, void* Self, int Rc) {
        auto* B = static_cast<TBroker*>(Self);
        bool Was;
        {
            std::lock_guard<std::mutex> Lock(B->FLock);
            Was = std::exchange(B->FConnected, false);
        }
        if (Was && Rc != 0) B->Note("lost the broker at " + B->FAddress + "; connecting again");
    }
    static void OnMessage(mosquitto*, void* Self, const mosquitto_message* Message) {
        auto* B = static_cast<TBroker*>(Self);
        {
            std::lock_guard<std::mutex> Lock(B->FLock);
            B->FMessages.push_back(
                {Message->topic, std::string(static_cast<const char*>(Message->payload),
                                             static_cast<size_t>(std::max(0, Message->payloadlen)))});
        }
        B->Wake();
    }
    static void OnPublish(mosquitto*, void* Self, int Mid) {
        auto* B = static_cast<TBroker*>(Self);
        {
            std::lock_guard<std::mutex> Lock(B->FLock);
            B->FDelivered.insert(Mid);
            if (B->FDelivered.size() > 64) B->FDelivered.erase(B->FDelivered.begin());
        }
        B->Wake();
    }

    mosquitto* FMosq = nullptr;
    const int FWakeFd;
    bool FLooping = false;
    std::string FAddress;
    std::vector<std::string> FFilters;
    std::mutex FLock;
    bool FConnected = false;
    int FConnections = 0;
    int FLastRefusal = 0;
    std::deque<TIncoming> FMessages;
    std::vector<std::string> FNotes;
    std::set<int> FDelivered;
    uint64_t FSent = 0, FPublished = 0;  // the main thread's alone
};

// A file descriptor closed with its owner.
struct TFd {
    int Fd = -1;
    explicit TFd(int F) : Fd(F) {}
    ~TFd() {
        if (Fd >= 0) ::close(Fd);
    }
    TFd(const TFd&) = delete;
    TFd& operator=(const TFd&) = delete;
};

class TBridge {
public:
    TBridge(TSession& S, const std::string& PortName, const std::string& PortLabel, int WakeFd, int SignalFd)
        : FS(S),
          FO(S.Request.Mqtt),
          FPort(PortName),
          FLabel(PortLabel),
          FTopics(S.Request.Mqtt, PortLabel),
          FBroker(WakeFd),
          FWakeFd(WakeFd),
          FSignalFd(SignalFd) {
        // Each kind of failure is said once until the board answers again, not at every tick.
        FS.Device.SetOnError([this](const std::string& Text) {
            ++FS.ErrorCount;
            if (FReported.insert(Text).second) Say(Text + " (" + FLabel + ")");
        });
    }

    int Run(const std::string& Password) {
        std::string Error;
        const std::vector<std::string> Filters = {FTopics.Topic("pin/+/set"), FTopics.Topic("port/+/set")};
        if (!FBroker.Start(FO, "velmorant-" + FTopics.Node(), FTopics.Topic("availability"), Password,
                           Filters, Error)) {
            FS.Error(Error);
            return ecFailed;
        }
        FS.Error("bridging " + FLabel + " to " + FO.Broker + " under " + FTopics.Prefix() +
                 (FO.AllowWrites ? " (writes allowed)" : " (read only)"));
        auto Due = TClock::now();
        while (!FStop) {
            WaitUntil(Due);
            if (FStop) break;
            if (TClock::now() < Due) continue;
            if (FS.Device.DevicePresent()) {
                const bool Answered = Tick();
                Due += TickPeriod;
                const auto Current = TClock::now();
                if (Due <= Current) {
                    // A tick that overran its slot never piles up ticks behind it.
                    if (Answered) ++FLateTicks;
                    Due += ((Current - Due) / TickPeriod + 1) * TickPeriod;
                }
            } else {
                TryBoard();
                Due = TClock::now() +
                      (FS.Device.DevicePresent() ? std::chrono::milliseconds(0) : BoardRetryPeriod);
            }
        }
        Shutdown();
        FS.Error("stopped after " + std::to_string(FTicks) + " ticks, " + std::to_string(FLateTicks) +
                 " late; " + std::to_string(FBroker.PublishedMessages()) + " messages, " +
                 std::to_string(FBroker.PublishedBytes()) + " bytes published");
        return ecSuccess;
    }

private:
    // True when the broker has heard everything retained since its connection: what changes now
    // is published, and what is said goes out at once.
    bool BrokerReady() {
        return FAnnounced > 0 && FBroker.Connected() && FBroker.Connections() == FAnnounced;
    }

    // Stderr and the log topic. What happens while the broker is away is not queued for later:
    // it would arrive out of its time.
    void Say(const std::string& Text) {
        FS.Error(Text);
        if (BrokerReady()) FBroker.Publish(FTopics.Topic("log"), Text, EventQos, false);
    }

    bool StopPending() {
        pollfd P{FSignalFd, POLLIN, 0};
        return ::poll(&P, 1, 0) > 0;
    }

    // Waits for the slot, doing what the broker and the signals bring meanwhile.
    void WaitUntil(TClock::time_point Due) {
        for (;;) {
            HandleBrokerEvents();
            if (FStop) return;
            const auto Left = std::chrono::ceil<std::chrono::milliseconds>(Due - TClock::now()).count();
            if (Left <= 0) return;
            pollfd P[2] = {{FSignalFd, POLLIN, 0}, {FWakeFd, POLLIN, 0}};
            if (::poll(P, 2, static_cast<int>(std::min<long long>(Left, 60000))) < 0 && errno != EINTR)
                return;
            if (P[0].revents & POLLIN) {
                FStop = true;
                return;
            }
            if (P[1].revents & POLLIN) {
                uint64_t Count;
                [[maybe_unused]] const ssize_t Read = ::read(FWakeFd, &Count, sizeof Count);
            }
        }
    }

    void HandleBrokerEvents() {
        for (const std::string& Text : FBroker.TakeNotes()) FS.Error(Text);
        if (const int Count = FBroker.Connections(); Count != FAnnounced) {
            FAnnounced = Count;
            Announce();
        }
        for (const TIncoming& M : FBroker.TakeMessages()) {
            if (StopPending()) {
                FStop = true;
                return;
            }
            Obey(M);
        }
    }

    // After each connection to the broker: everything retained is said again, since a broker that
    // restarted without persistence has forgotten it.
    void Announce() {
        // Entities first, then their availability, as a new board's are said.
        if (FKnown) PublishDiscovery();
        PublishAvailability(true);
        FLast.clear();
        FLastStateRow.reset();
    }

    void PublishAvailability(bool Force) {
        const bool Online = FS.Device.DevicePresent() && FSilentTicks < 2;
        if (!Force && Online == FOnline) return;
        FOnline = Online;
        // Without a broker it is said on the next connection.
        if (BrokerReady())
            FBroker.Publish(FTopics.Topic("availability"), Online ? "online" : "offline", EventQos, true);
    }

    void PublishDiscovery() {
        if (!FO.Discovery || !BrokerReady()) return;
        for (const auto& M : FTopics.Discovery(FS.Device.Version(), FDirections, FO.AllowWrites))
            FBroker.Publish(M.Topic, M.Payload, EventQos, true);
    }

    // The window's rules for a lost board: only its own port, and only once the port's node is back.
    void TryBoard() {
        if (!IsNetworkPortName(FPort) && ::access(ResolveSerialPortPath(FPort).c_str(), F_OK) != 0) {
            WaitingFor();
            return;
        }
        const int Before = FS.ErrorCount;
        GetLastSerialError();
        if (!FS.Device.FindDevice(FPort)) {
            // A network port's reason is worded for the user; the layer's internal records are not.
            const std::string Reason = GetLastSerialError();
            FS.Device.Disconnect();
            WaitingFor(Reason.rfind("PMI:", 0) == 0 ? std::string() : Reason);
            return;
        }
        FS.ErrorCount = Before;
        FReported.clear();
        FWaitingSaid = false;
        // Which pins are outputs decides what may be written and which entities are switches; the
        // board's PLC is left as it runs.
        for (int Port = 0; Port < TVelmorant::PortCountConst; ++Port) {
            std::string Reply;
            int32_t Value = -1;
            FDirections[Port].reset();
            if (FS.Device.SendCommandToDevice("DIRRD" + std::to_string(Port), Reply) &&
                TryStrToInt(Reply, Value) && Value >= 0 && Value <= 255)
                FDirections[Port] = static_cast<uint8_t>(Value);
        }
        if (CheckLost()) return;
        FKnown = true;
        FSilentTicks = 0;
        Say("connected to the Velmorant on " + FLabel + " (firmware " + FS.Device.Version() + ")");
        PublishDiscovery();
        PublishAvailability(false);
        FLast.clear();
        FLastStateRow.reset();
    }

    void WaitingFor(const std::string& Reason = std::string()) {
        if (FWaitingSaid) return;
        FWaitingSaid = true;
        Say("waiting for the Velmorant on " + FLabel + (Reason.empty() ? "" : " (" + Reason + ")"));
        PublishAvailability(false);
    }

    // After an exchange: a port that hung up means an unplugged board, awaited on the same port.
    bool CheckLost() {
        if (!FS.Device.PortHungUp()) return false;
        FS.Device.Disconnect();
        FSilentTicks = 0;
        Say("the connection to the Velmorant on " + FLabel + " was lost");
        WaitingFor();
        return true;
    }

    // One monitor tick; true when the board answered at least one read.
    bool Tick() {
        ++FTicks;
        const auto R = ReadReadings(FS, [this] { return StopPending(); });
        if (!R) {
            FStop = true;
            return false;
        }
        if (CheckLost()) return false;
        if (R->Empty()) {
            if (++FSilentTicks == 2) {
                Say("no response from the Velmorant on " + FLabel);
                PublishAvailability(false);
            }
            return false;
        }
        if (FSilentTicks >= 2) Say("the Velmorant on " + FLabel + " answers again");
        FSilentTicks = 0;
        FReported.clear();
        PublishAvailability(false);
        // While the broker is away nothing is queued: everything goes out again once it is back.
        if (!BrokerReady()) return true;
        const auto Current = TClock::now();
        for (const auto& V : TMqttTopics::Values(*R)) {
            auto& [Payload, At] = FLast[V.Topic];
            if (Payload == V.Payload && Current - At < RefreshPeriod) continue;
            Payload = V.Payload;
            At = Current;
            FBroker.Publish(FTopics.Topic(V.Topic), V.Payload, ValueQos, true);
        }
        const std::string Row = LogRowOf(*R);
        if (!FLastStateRow || *FLastStateRow != Row || Current - FStateAt >= RefreshPeriod) {
            FLastStateRow = Row;
            FStateAt = Current;
            FBroker.Publish(FTopics.Topic("state"), ReadingsJson(*R), ValueQos, true);
        }
        return true;
    }

    void Obey(const TIncoming& M) {
        const std::string Sub = M.Topic.substr(FTopics.Prefix().size() + 1);
        std::string Why;
        std::optional<TMqttCommand> C;
        if (!FO.AllowWrites)
            Why = "writes are not allowed (the bridge runs without --allow-writes)";
        else if (!FS.Device.DevicePresent())
            Why = "no board is connected";
        else
            C = ParseMqttCommand(Sub, M.Payload, FDirections, Why);
        if (!C) {
            Say("refused " + M.Topic + ": " + Why);
            return;
        }
        const int Before = FS.ErrorCount;
        if (C->Pin)
            FS.Device.SetPinState(C->Index, C->Value != 0);
        else
            FS.Device.SetPortState(C->Index, C->Value);
        if (FS.ErrorCount != Before) FReported.clear();  // a failed write is said every time
        CheckLost();
    }

    void Shutdown() {
        if (FBroker.Connected()) {
            const int Mid = FBroker.Publish(FTopics.Topic("availability"), "offline", EventQos, true);
            // The broker acknowledges within a round trip; a broker that went away meanwhile has the will.
            const auto Deadline = TClock::now() + std::chrono::seconds(2);
            while (Mid >= 0 && !FBroker.Delivered(Mid) && FBroker.Connected() && TClock::now() < Deadline) {
                pollfd P{FWakeFd, POLLIN, 0};
                if (::poll(&P, 1, 100) > 0) {
                    uint64_t Count;
                    [[maybe_unused]] const ssize_t Read = ::read(FWakeFd, &Count, sizeof Count);
                }
            }
        }
        FBroker.Stop();
        FS.Device.Disconnect();
        // The signal that ended the bridge is taken here, so that it is not delivered once unblocked.
        signalfd_siginfo Info;
        while (::read(FSignalFd, &Info, sizeof Info) == sizeof Info) {
        }
    }

    TSession& FS;
    const TMqttOptions& FO;
    const std::string FPort, FLabel;
    TMqttTopics FTopics;
    TBroker FBroker;
    const int FWakeFd, FSignalFd;
    bool FStop = false;
    int FAnnounced = 0;   // the broker's connection that last heard everything retained
    bool FKnown = false;  // the board was identified once: its discovery can be published
    bool FOnline = false;
    bool FWaitingSaid = false;
    int FSilentTicks = 0;
    std::array<std::optional<uint8_t>, 6> FDirections;
    std::set<std::string> FReported;
    std::map<std::string, std::pair<std::string, TClock::time_point>> FLast;
    std::optional<std::string> FLastStateRow;
    TClock::time_point FStateAt;
    uint64_t FTicks = 0, FLateTicks = 0;
};

std::string ReadPassword(const std::string& File) {
    std::ifstream In(File, std::ios::binary);
    std::string Line;
    if (!In || !std::getline(In, Line)) throw EFileError("Cannot read the password file \"" + File + "\".");
    if (!Line.empty() && Line.back() == '\r') Line.pop_back();
    return Line;
}

// libmosquitto's global state lives as long as the process needs it.
struct TMosquittoLibrary {
    TMosquittoLibrary() { mosquitto_lib_init(); }
    ~TMosquittoLibrary() { mosquitto_lib_cleanup(); }
};

}  // namespace

int RunMqtt(TSession& S, const std::string& PortName) {
    const TCliRequest& R = S.Request;
    const std::string Password =
        R.Mqtt.PasswordFile.empty() ? std::string() : ReadPassword(R.Mqtt.PasswordFile);
    // libmosquitto would only say "invalid arguments" of a TLS file it cannot read.
    for (const std::string* File : {&R.Mqtt.CaFile, &R.Mqtt.CertFile, &R.Mqtt.KeyFile})
        if (!File->empty() && ::access(File->c_str(), R_OK) != 0)
            throw EFileError("Cannot read \"" + *File + "\": " + std::strerror(errno));
    // Blocked before libmosquitto starts its thread, so that only the signalfd takes them.
    sigset_t Stops, Old;
    sigemptyset(&Stops);
    sigaddset(&Stops, SIGINT);
    sigaddset(&Stops, SIGTERM);
    pthread_sigmask(SIG_BLOCK, &Stops, &Old);
    // A broker that goes away mid-write must not end the bridge.
    struct sigaction Ignore {
    }, OldPipe{};
    Ignore.sa_handler = SIG_IGN;
    sigaction(SIGPIPE, &Ignore, &OldPipe);
    int Code = ecFailed;
    {
        TFd Signals(::signalfd(-1, &Stops, SFD_CLOEXEC | SFD_NONBLOCK));
        TFd Wake(::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK));
        if (Signals.Fd < 0 || Wake.Fd < 0) {
            S.Error(std::string("cannot wait for signals: ") + std::strerror(errno));
        } else {
            TMosquittoLibrary Library;
            TBridge Bridge(S, PortName, R.Device.empty() ? R.Port : R.Device, Wake.Fd, Signals.Fd);
            Code = Bridge.Run(Password);
        }
    }
    sigaction(SIGPIPE, &OldPipe, nullptr);
    pthread_sigmask(SIG_SETMASK, &Old, nullptr);
    return Code;
}

}  // namespace velcli

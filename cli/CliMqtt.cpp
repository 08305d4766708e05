// mqtt: the bridge's loop. The main thread owns the board and every value published; the broker's
// client (CliMqttBroker) only hands over what arrives.
#include "CliMqtt.h"

#include <fcntl.h>
#include <mosquitto.h>
#include <poll.h>
#include <signal.h>
#include <sys/eventfd.h>
#include <sys/signalfd.h>
#include <sys/types.h>
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

#include "CliMqttBroker.h"
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
// Readings come again every tick, so a lost one costs nothing; what is said once must arrive.
constexpr int ValueQos = 0, EventQos = 1;

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

// Refusals and retained commands are said at most Burst times a window; the rest are counted and
// summed up once the window is over, so that a flood costs a line now and then, not one each.
constexpr auto RefusalWindow = std::chrono::seconds(5);
constexpr int RefusalBurst = 5;

std::string HostName() {
    char Name[256] = {};
    if (::gethostname(Name, sizeof Name - 1) != 0) return {};
    return Name;
}

// What the bridge says of itself on the retained "bridge" topic: "<host> <pid> <port>".
struct TBridgeId {
    std::string Host, Port;
    long Pid = 0;
    static std::optional<TBridgeId> Parse(const std::string& Text) {
        const size_t First = Text.find(' '), Second = Text.find(' ', First + 1);
        if (First == std::string::npos || Second == std::string::npos) return std::nullopt;
        TBridgeId Id{Text.substr(0, First), Text.substr(Second + 1)};
        int32_t Pid = 0;
        if (!TryStrToInt(Text.substr(First + 1, Second - First - 1), Pid)) return std::nullopt;
        Id.Pid = Pid;
        return Id;
    }
    std::string Text() const { return Host + " " + std::to_string(Pid) + " " + Port; }
};

class TBridge {
public:
    TBridge(TSession& S, const std::string& PortName, const std::string& PortLabel, int WakeFd, int SignalFd)
        : FS(S),
          FO(S.Request.Mqtt),
          FPort(PortName),
          FLabel(PortLabel),
          FHost(HostName()),
          FTopics(S.Request.Mqtt, PortLabel, FHost),
          FBroker(WakeFd),
          FWakeFd(WakeFd),
          FSignalFd(SignalFd) {
        FS.Device.SetOnError([this](const std::string& Text) {
            ++FS.ErrorCount;
            // A tick's errors are told by reading, once it is over.
            if (FInTick)
                FTickErrors.push_back(Text);
            else if (FReported.insert(Text).second)
                Say(Text + " (" + FLabel + ")");
        });
    }

    int Run(const std::string& Password) {
        std::string Error;
        // The bridge's own retained topics first: by the last acknowledgement they have all come.
        std::vector<std::string> Filters = {FTopics.Topic("availability"), FTopics.Topic("bridge"),
                                            FTopics.Topic("pin/+/set"), FTopics.Topic("port/+/set")};
        if (FO.Discovery) Filters.insert(Filters.end(), {FTopics.StatusTopic(), FTopics.OldConfigFilter()});
        // The client id names this process, so that a second bridge of the same node is not taken for
        // a reconnection of the first and thrown off by the broker before it can tell.
        const std::string ClientId =
            "velmorant-" + TMqttTopics::NameOf(FHost) + "-" + std::to_string(::getpid());
        if (!FBroker.Start(FO, ClientId, FTopics.Topic("availability"), Password, Filters, Error)) {
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
            SumUpRefusals();
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
        if (FRefused) return ecFailed;
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

    // Says Text unless the window's share of refusals is used up.
    void Refuse(const std::string& Text) {
        OpenWindow();
        if (FRefusalsSaid < RefusalBurst) {
            ++FRefusalsSaid;
            Say(Text);
            return;
        }
        ++FRefusalsHeld;
        FLastHeld = Text;
    }

    void OpenWindow() {
        if (FWindowOpen) return;
        FWindowOpen = true;
        FWindowStart = TClock::now();
    }

    // At the end of a window: what was held back and dropped, in one line each.
    void SumUpRefusals() {
        if (const uint64_t Dropped = FBroker.TakeDropped(); Dropped > 0) {
            FDropped += Dropped;
            OpenWindow();
        }
        if (!FWindowOpen || TClock::now() - FWindowStart < RefusalWindow) return;
        if (FRefusalsHeld > 0)
            Say("refused " + std::to_string(FRefusalsHeld) + " more commands in " +
                std::to_string(RefusalWindow.count()) + " s; the last: " + FLastHeld);
        if (FDropped > 0)
            Say("dropped " + std::to_string(FDropped) +
                " incoming messages that newer ones on the same topic replaced, or that found the queue "
                "full");
        FDropped = FRefusalsHeld = 0;
        FRefusalsSaid = 0;
        FWindowOpen = false;
    }

    bool StopPending() {
        pollfd P{FSignalFd, POLLIN, 0};
        return ::poll(&P, 1, 0) > 0;
    }

    // Waits for the slot, doing what the broker and the signals bring meanwhile; what is still
    // waiting when the slot comes waits for the next pause between ticks.
    void WaitUntil(TClock::time_point Due) {
        for (;;) {
            HandleBrokerEvents(Due);
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

    void HandleBrokerEvents(TClock::time_point Due) {
        for (const std::string& Text : FBroker.TakeNotes()) FS.Error(Text);
        if (const int Count = FBroker.Subscribed(); Count != FAnnounced && Count == FBroker.Connections()) {
            // Everything retained on the bridge's own topics has come: another bridge may be there.
            while (auto M = FBroker.TakeMessage()) Handle(*M, true);
            if (AnotherBridge()) return;
            FAnnounced = Count;
            Announce();
        }
        while (!FStop && TClock::now() < Due) {
            std::optional<TIncoming> M;
            if (!FBacklog.empty()) {
                M = std::move(FBacklog.front());
                FBacklog.pop_front();
            } else if (!(M = FBroker.TakeMessage())) {
                break;
            }
            if (StopPending()) {
                FStop = true;
                return;
            }
            Handle(*M, false);
        }
        if (!FOldConfigs.empty()) PublishDiscovery();
    }

    // Before the bridge's announcement, other messages wait behind it.
    void Handle(TIncoming& M, bool Announcing) {
        if (M.Topic == FTopics.Topic("availability")) {
            FOtherOnline = M.Retained && M.Payload == "online";
        } else if (M.Topic == FTopics.Topic("bridge")) {
            FOtherId = M.Payload;
        } else if (Announcing) {
            FBacklog.push_back(std::move(M));
        } else if (M.Topic == FTopics.StatusTopic()) {
            // Home Assistant came back, perhaps to a broker that forgot what was retained. A retained
            // "online" comes with every connection, which is announced anyway.
            if (M.Payload == "online" && !M.Retained && BrokerReady()) Announce();
        } else if (M.Topic.rfind(FTopics.Prefix() + "/", 0) != 0) {
            // An entity an earlier version announced alone: handed over to the device, then cleared.
            if (!M.Payload.empty() && M.Payload.find("migrate_discovery") == std::string::npos)
                FOldConfigs.insert(M.Topic);
        } else if (M.Payload.empty()) {
            // The clearing of a retained command, or nothing: no command.
        } else if (M.Retained) {
            // A retained command would be obeyed again at every start, days after it was meant.
            if (FRetainedTold.size() < TBroker::MaxWaiting && FRetainedTold.insert(M.Topic).second)
                Refuse("ignored a retained command on " + M.Topic +
                       ": clear it with mosquitto_pub -r -n -t " + M.Topic);
        } else {
            Obey(M);
        }
    }

    // True (and the bridge stops, having published nothing) when another bridge is online as this
    // node: the broker would mix both boards' values on one device.
    bool AnotherBridge() {
        const bool Online = std::exchange(FOtherOnline, false);
        const std::string Said = std::exchange(FOtherId, {});
        if (!Online) return false;
        const auto Id = TBridgeId::Parse(Said);
        if (Id && Id->Host == FHost) {
            // Our own "online", or that of a bridge here that died before its last will was sent.
            if (Id->Pid == ::getpid() || (::kill(static_cast<pid_t>(Id->Pid), 0) != 0 && errno == ESRCH))
                return false;
        }
        const std::string Other = Id ? "the bridge of " + Id->Port + " on " + Id->Host + " (process " +
                                           std::to_string(Id->Pid) + ")"
                                     : "another bridge";
        FS.Error(Other + " is online as node " + FTopics.Node() + " on " + FO.Broker +
                 "; give this one another --node. If that bridge is gone, clear its availability with "
                 "mosquitto_pub -r -n -t " +
                 FTopics.Topic("availability"));
        FRefused = FStop = true;
        return true;
    }

    // After each connection to the broker, and when Home Assistant comes back: everything retained
    // is said again, since a broker that restarted without persistence has forgotten it.
    void Announce() {
        FBroker.Publish(FTopics.Topic("bridge"), TBridgeId{FHost, FLabel, ::getpid()}.Text(), EventQos, true);
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
        if (!FO.Discovery || !BrokerReady() || !FKnown) return;
        // Home Assistant's hand-over keeps the entities (and what the user made of them) when the same
        // ids move into the device's configuration; clearing the old one alone would remove them.
        for (const std::string& Topic : FOldConfigs)
            FBroker.Publish(Topic, "{\"migrate_discovery\":true}", EventQos, false);
        const auto M = FTopics.Discovery(FS.Device.Version(), FDirections, FO.AllowWrites);
        FBroker.Publish(M.Topic, M.Payload, EventQos, true);
        for (const std::string& Topic : FOldConfigs) FBroker.Publish(Topic, "", EventQos, true);
        FOldConfigs.clear();
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
        FFailing.fill(std::nullopt);
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

    // Each failed reading says why once, until that reading succeeds again. A failed read reports
    // exactly one error, so the tick's errors belong to its failed readings in order.
    void TellTickErrors(const TTickReadings& R) {
        const auto Values = R.Values();
        size_t Next = 0;
        for (size_t I = 0; I < Values.size(); ++I) {
            if (Values[I]) {
                FFailing[I].reset();
            } else if (Next < FTickErrors.size()) {
                const std::string& Text = FTickErrors[Next++];
                if (FFailing[I] != Text) Say(Text + " (" + ReadingLabels()[I] + " on " + FLabel + ")");
                FFailing[I] = Text;
            }
        }
    }

    // One monitor tick; true when the board answered at least one read.
    bool Tick() {
        ++FTicks;
        FTickErrors.clear();
        FInTick = true;
        const auto R = ReadReadings(FS, [this] { return StopPending(); });
        FInTick = false;
        if (!R) {
            FStop = true;
            return false;
        }
        TellTickErrors(*R);
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
            Refuse("refused " + M.Topic + ": " + Why);
            return;
        }
        const int Before = FS.ErrorCount;
        if (C->Pin)
            FS.Device.SetPinState(C->Index, C->Value != 0);
        else
            FS.Device.SetPortState(C->Index, C->Value);
        if (FS.ErrorCount == Before) FReported.clear();  // a write that fails again is said again
        CheckLost();
    }

    void Shutdown() {
        // A refused bridge leaves the other's availability as it is.
        if (FBroker.Connected() && !FRefused) {
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
    const std::string FPort, FLabel, FHost;
    TMqttTopics FTopics;
    TBroker FBroker;
    const int FWakeFd, FSignalFd;
    bool FStop = false;
    bool FRefused = false;  // another bridge is online as this node
    int FAnnounced = 0;     // the broker's connection that last heard everything retained
    bool FKnown = false;    // the board was identified once: its discovery can be published
    bool FOnline = false;
    bool FWaitingSaid = false;
    int FSilentTicks = 0;
    std::array<std::optional<uint8_t>, 6> FDirections;
    // Errors outside the ticks, each said once until a write succeeds or the board is found again.
    std::set<std::string> FReported;
    bool FInTick = false;
    std::vector<std::string> FTickErrors;                 // the running tick's, in order
    std::array<std::optional<std::string>, 12> FFailing;  // per reading: the error last said
    bool FOtherOnline = false;                            // retained availability of this node
    std::string FOtherId;                                 // and the bridge that said it
    std::deque<TIncoming> FBacklog;                       // what came before the announcement
    std::set<std::string> FOldConfigs, FRetainedTold;
    bool FWindowOpen = false;
    TClock::time_point FWindowStart;
    int FRefusalsSaid = 0;
    uint64_t FRefusalsHeld = 0, FDropped = 0;
    std::string FLastHeld;
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

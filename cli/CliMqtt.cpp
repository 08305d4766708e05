// mqtt: the bridge. The board session owns the board; the main thread owns every value published,
// and the broker's client (CliMqttBroker) only hands over what arrives.
#include "CliMqtt.h"

#include <fcntl.h>
#include <mosquitto.h>
#include <poll.h>
#include <signal.h>
#include <sys/eventfd.h>
#include <sys/signalfd.h>
#include <sys/types.h>
#include <unistd.h>

#include <QCoreApplication>
#include <QEventLoop>
#include <QSocketNotifier>
#include <QTimer>
#include <cerrno>
#include <chrono>
#include <cstring>
#include <deque>
#include <fstream>
#include <map>
#include <mutex>
#include <set>
#include <utility>

#include "BoardSession.h"
#include "CliBoardLoop.h"
#include "CliMqttBroker.h"
#include "CliSession.h"
#include "Errors.h"
#include "LinkSupervisor.h"
#include "NetPort.h"
#include "SerialPort.h"

namespace velcli {

namespace {

// Retained values are published again after this even when unchanged, so that a reader can tell a
// steady value from a bridge that stopped.
constexpr auto RefreshPeriod = std::chrono::seconds(60);
// Readings come again every tick, so a lost one costs nothing; what is said once must arrive.
constexpr int ValueQos = 0, EventQos = 1;

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

// The bridge on the board session: the session ticks and owns the board's state, its supervisor
// finds the board (again) on its own port; the bridge turns what they say into topics and log lines.
class TBridge {
public:
    using TClock = std::chrono::steady_clock;
    // At most this many commands wait in the session; the rest wait in the broker's bounded queue,
    // where a newer message replaces an older one on the same topic.
    static constexpr int MaxQueuedWrites = 4;

    TBridge(TSession& S, const std::string& PortName, const std::string& PortLabel, int WakeFd, int SignalFd)
        : FS(S),
          FPort(PortName),
          FLabel(PortLabel),
          FO(S.Request.Mqtt),
          FHost(HostName()),
          FTopics(S.Request.Mqtt, PortLabel, FHost),
          FBroker(WakeFd),
          FWakeFd(WakeFd),
          FSupervisor(FSession),
          FWake(WakeFd, QSocketNotifier::Read),
          FSignal(SignalFd, QSocketNotifier::Read) {
        // The bridge watches and switches pins: the board's PLC runs on as it was.
        FSession.SetPausesPLC(false);
        FSupervisor.SetPortName(PortName);
        QObject::connect(&FSession, &TBoardSession::DeviceError, &FContext,
                         [this](const QString& Text, bool, bool InTick) {
                             // A tick's errors are told by reading, from TickRead.
                             if (!InTick && FReported.insert(Text.toStdString()).second)
                                 Say(Text.toStdString() + " (" + FLabel + ")");
                         });
        QObject::connect(&FSession, &TBoardSession::TickRead, &FContext,
                         [this](const TTickReadings& R) { OnTick(R); });
        QObject::connect(&FSession, &TBoardSession::LinkChanged, &FContext,
                         [this](const TBoardState& State) { OnLinkChanged(State); });
        QObject::connect(&FSession, &TBoardSession::BecameIdle, &FContext, [this] { HandleBrokerEvents(); });
        QObject::connect(&FSupervisor, &TLinkSupervisor::Lost, &FContext, [this] {
            if (std::exchange(FConnected, false))
                Say("the connection to the Velmorant on " + FLabel + " was lost");
            PublishAvailability(false);
        });
        QObject::connect(&FSupervisor, &TLinkSupervisor::StillAway, &FContext,
                         [this](const QString&, const QString& Reason) {
                             FirstLookDone();
                             Say("waiting for the Velmorant on " + FLabel +
                                 (Reason.isEmpty() ? "" : " (" + Reason.toStdString() + ")"));
                         });
        // Which pins are outputs, once known, makes the entities switches and lets writes through.
        FSupervisor.SetRereadsUntilWhole(true);
        QObject::connect(&FSupervisor, &TLinkSupervisor::SettingsKnown, &FContext,
                         [this] { PublishDiscovery(); });
        QObject::connect(&FSupervisor, &TLinkSupervisor::Reconnected, &FContext, [this] { OnConnected(); });
        QObject::connect(&FWake, &QSocketNotifier::activated, &FContext, [this] {
            uint64_t Count;
            [[maybe_unused]] const ssize_t Read = ::read(FWakeFd, &Count, sizeof Count);
            HandleBrokerEvents();
        });
        QObject::connect(&FSignal, &QSocketNotifier::activated, &FContext, [this] { FLoop.quit(); });
        // Refusals held back are summed up at the end of their window.
        FSlot.setInterval(StatusTickMs);
        QObject::connect(&FSlot, &QTimer::timeout, &FContext, [this] { SumUpRefusals(); });
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
        FSlot.start();
        // The board is awaited as a lost one is: its node first, then the board on it.
        FSession.AwaitBoard(FPort, [this] { FSupervisor.TryNow(); });
        if (!FRefused) FLoop.exec();
        Shutdown();
        if (FRefused) return ecFailed;
        FS.Error("stopped after " + std::to_string(FSession.TicksRead()) + " ticks, " +
                 std::to_string(FSession.TicksSkipped()) + " late; " +
                 std::to_string(FBroker.PublishedMessages()) + " messages, " +
                 std::to_string(FBroker.PublishedBytes()) + " bytes published");
        return ecSuccess;
    }

private:
    // The board is there and answered one of its last two ticks.
    bool Online() const {
        return FConnected && FSession.State().DevicePresent && !FSession.State().NoResponse;
    }

    // Which pins are outputs, as the session has them; unknown until the board's settings were read.
    std::array<std::optional<uint8_t>, 6> Directions() const {
        std::array<std::optional<uint8_t>, 6> Result;
        if (FSession.State().SettingsKnown)
            for (size_t Port = 0; Port < Result.size(); ++Port)
                Result[Port] = FSession.State().Directions[Port];
        return Result;
    }

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

    // The bridge announces itself once it has looked for its board: a board that is there comes with
    // its entities at once.
    void FirstLookDone() {
        if (std::exchange(FLooked, true)) return;
        HandleBrokerEvents();
    }

    void HandleBrokerEvents() {
        if (FRefused || !FLooked) return;
        for (const std::string& Text : FBroker.TakeNotes()) FS.Error(Text);
        if (const int Count = FBroker.Subscribed(); Count != FAnnounced && Count == FBroker.Connections()) {
            // Everything retained on the bridge's own topics has come: another bridge may be there.
            while (auto M = FBroker.TakeMessage()) Handle(*M, true);
            if (AnotherBridge()) return;
            FAnnounced = Count;
            Announce();
        }
        // What the session cannot take yet waits in the broker's queue, until it is idle again.
        while (FSession.Pending() < MaxQueuedWrites) {
            std::optional<TIncoming> M;
            if (!FBacklog.empty()) {
                M = std::move(FBacklog.front());
                FBacklog.pop_front();
            } else if (!(M = FBroker.TakeMessage())) {
                break;
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
        FRefused = true;
        FLoop.quit();
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
        const bool Now = Online();
        if (!Force && Now == FOnline) return;
        FOnline = Now;
        // Without a broker it is said on the next connection.
        if (BrokerReady())
            FBroker.Publish(FTopics.Topic("availability"), Now ? "online" : "offline", EventQos, true);
    }

    void PublishDiscovery() {
        if (!FO.Discovery || !BrokerReady() || !FKnown) return;
        // Home Assistant's hand-over keeps the entities (and what the user made of them) when the same
        // ids move into the device's configuration; clearing the old one alone would remove them.
        for (const std::string& Topic : FOldConfigs)
            FBroker.Publish(Topic, "{\"migrate_discovery\":true}", EventQos, false);
        const auto M = FTopics.Discovery(FSession.State().Version, Directions(), FO.AllowWrites);
        FBroker.Publish(M.Topic, M.Payload, EventQos, true);
        for (const std::string& Topic : FOldConfigs) FBroker.Publish(Topic, "", EventQos, true);
        FOldConfigs.clear();
    }

    // The board was found (again) and its settings read: which pins are outputs decides which
    // entities are switches, and what may be written.
    void OnConnected() {
        FConnected = true;
        FSilent = false;
        FReported.clear();
        FFailing.fill(std::nullopt);
        Say("connected to the Velmorant on " + FLabel + " (firmware " + FSession.State().Version + ")");
        FKnown = true;
        PublishDiscovery();
        PublishAvailability(false);
        FLast.clear();
        FLastStateRow.reset();
        FSession.SetTicking(true);
        // The read-back ended with a tick of its own.
        OnTick(FSession.State().Readings);
        FirstLookDone();
    }

    void OnLinkChanged(const TBoardState& State) {
        if (!FConnected || !State.DevicePresent) return;
        if (State.NoResponse && !FSilent) Say("no response from the Velmorant on " + FLabel);
        if (!State.NoResponse && FSilent) Say("the Velmorant on " + FLabel + " answers again");
        FSilent = State.NoResponse;
        PublishAvailability(false);
    }

    // Each failed reading says why once, until that reading succeeds again.
    void OnTick(const TTickReadings& R) {
        if (!FConnected) return;
        const auto Values = R.Values();
        for (size_t I = 0; I < Values.size(); ++I) {
            if (Values[I]) {
                FFailing[I].reset();
            } else if (!R.Failures[I].empty()) {
                if (FFailing[I] != R.Failures[I])
                    Say(R.Failures[I] + " (" + ReadingLabels()[I] + " on " + FLabel + ")");
                FFailing[I] = R.Failures[I];
            }
        }
        // A write that fails again after a tick without errors is said again.
        if (R.Errors.empty()) FReported.clear();
        if (!R.Empty()) PublishReadings(R);
    }

    void PublishReadings(const TTickReadings& R) {
        // While the broker is away nothing is queued: everything goes out again once it is back.
        if (!BrokerReady()) return;
        const auto Current = TClock::now();
        for (const auto& V : TMqttTopics::Values(R)) {
            auto& [Payload, At] = FLast[V.Topic];
            if (Payload == V.Payload && Current - At < RefreshPeriod) continue;
            Payload = V.Payload;
            At = Current;
            FBroker.Publish(FTopics.Topic(V.Topic), V.Payload, ValueQos, true);
        }
        const std::string Row = LogRowOf(R);
        if (!FLastStateRow || *FLastStateRow != Row || Current - FStateAt >= RefreshPeriod) {
            FLastStateRow = Row;
            FStateAt = Current;
            FBroker.Publish(FTopics.Topic("state"), ReadingsJson(R), ValueQos, true);
        }
    }

    void Obey(const TIncoming& M) {
        const std::string Sub = M.Topic.substr(FTopics.Prefix().size() + 1);
        std::string Why;
        std::optional<TMqttCommand> C;
        if (!FO.AllowWrites)
            Why = "writes are not allowed (the bridge runs without --allow-writes)";
        else if (!FConnected || !FSession.State().DevicePresent)
            Why = "no board is connected";
        else
            C = ParseMqttCommand(Sub, M.Payload, Directions(), Why);
        if (!C) {
            Refuse("refused " + M.Topic + ": " + Why);
            return;
        }
        if (C->Pin)
            FSession.SetPinState(C->Index, C->Value != 0);
        else
            FSession.SetPortState(C->Index, C->Value);
    }

    void Shutdown() {
        FSlot.stop();
        FSession.SetTicking(false);
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
    }

    TSession& FS;
    const std::string FPort, FLabel;
    const TMqttOptions& FO;
    const std::string FHost;
    TMqttTopics FTopics;
    TBroker FBroker;
    const int FWakeFd;
    TBoardSession FSession;
    TLinkSupervisor FSupervisor;
    QObject FContext;  // what the session's and the notifiers' handlers run under
    QSocketNotifier FWake, FSignal;
    QTimer FSlot;
    QEventLoop FLoop;
    bool FConnected = false;  // the board was found and its settings read
    bool FSilent = false;
    bool FLooked = false;   // the board was looked for once
    bool FRefused = false;  // another bridge is online as this node
    int FAnnounced = 0;     // the broker's connection that last heard everything retained
    bool FKnown = false;    // the board was identified once: its discovery can be published
    bool FOnline = false;
    bool FOtherOnline = false;       // retained availability of this node
    std::string FOtherId;            // and the bridge that said it
    std::deque<TIncoming> FBacklog;  // what came before the announcement
    std::set<std::string> FOldConfigs, FRetainedTold;
    // Errors outside the ticks, each said once until a tick without errors.
    std::set<std::string> FReported;
    std::array<std::optional<std::string>, 12> FFailing;  // per reading: the error last said
    bool FWindowOpen = false;
    TClock::time_point FWindowStart;
    int FRefusalsSaid = 0;
    uint64_t FRefusalsHeld = 0, FDropped = 0;
    std::string FLastHeld;
    std::map<std::string, std::pair<std::string, TClock::time_point>> FLast;
    std::optional<std::string> FLastStateRow;
    TClock::time_point FStateAt;
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
    // The signals are blocked before libmosquitto starts its thread.
    return RunUntilStopped(S, [&](int SignalFd) {
        TFd Wake(::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK));
        if (Wake.Fd < 0) {
            S.Error(std::string("cannot wait for the broker: ") + std::strerror(errno));
            return static_cast<int>(ecFailed);
        }
        TMosquittoLibrary Library;
        TCoreApplication App;
        TBridge Bridge(S, PortName, R.Device.empty() ? R.Port : R.Device, Wake.Fd, SignalFd);
        return Bridge.Run(Password);
    });
}

}  // namespace velcli

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
#include <array>
#include <cerrno>
#include <chrono>
#include <cstring>
#include <deque>
#include <fstream>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <set>
#include <utility>

#include "BoardSession.h"
#include "CliBoardHost.h"
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

// libmosquitto's global state lives as long as the process needs it.
struct TMosquittoLibrary {
    TMosquittoLibrary() { mosquitto_lib_init(); }
    ~TMosquittoLibrary() { mosquitto_lib_cleanup(); }
};

// The bridge on the board session: the session ticks and owns the board's state, its supervisor
// finds the board (again) on its own port; the bridge turns what they say into topics and log lines.
class TBridge : public TFrontEnd {
public:
    using TClock = std::chrono::steady_clock;
    // At most this many commands wait in the session; the rest wait in the broker's bounded queue,
    // where a newer message replaces an older one on the same topic.
    static constexpr int MaxQueuedWrites = 4;

    TBridge(TSession& S, TBoardHost& Host, std::string Password, QEventLoop& Loop)
        : FS(S),
          FHost(Host),
          FLabel(Host.Label()),
          FO(S.Request.Mqtt),
          FMachine(HostName()),
          FTopics(S.Request.Mqtt, Host.Label(), FMachine),
          FPassword(std::move(Password)),
          FWakeFd(::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK)),
          FBroker(FWakeFd.Fd),
          FLoop(Loop),
          FWake(FWakeFd.Fd, QSocketNotifier::Read) {
        Host.Logs.push_back([this](const std::string& Text) {
            // What happens while the broker is away is not queued for later: it would arrive out of
            // its time.
            if (BrokerReady()) FBroker.Publish(FTopics.Topic("log"), Text, EventQos, false);
        });
        Host.FirstLook.push_back([this] {
            FLooked = true;
            HandleBrokerEvents();
        });
        Host.Found.push_back([this] {
            // Which pins are outputs decides which entities are switches.
            FKnown = true;
            PublishDiscovery();
            FLast.clear();
            FLastStateRow.reset();
        });
        Host.Availability.push_back([this] { PublishAvailability(false); });
        Host.Tick.push_back([this](const TTickReadings& R) {
            if (!R.Empty()) PublishReadings(R);
        });
        // Directions read again, or set by another front end, make their pins other entities. A board
        // that went away keeps its entities as they were: its directions are unknown, not changed.
        QObject::connect(&Host.Session(), &TBoardSession::StateChanged, &FContext, [this] {
            if (FHost.Connected() && FHost.State().SettingsKnown && Directions() != FDiscovered)
                PublishDiscovery();
        });
        QObject::connect(&Host.Session(), &TBoardSession::BecameIdle, &FContext,
                         [this] { HandleBrokerEvents(); });
        QObject::connect(&FWake, &QSocketNotifier::activated, &FContext, [this] {
            uint64_t Count;
            [[maybe_unused]] const ssize_t Read = ::read(FWakeFd.Fd, &Count, sizeof Count);
            HandleBrokerEvents();
        });
        // Refusals held back are summed up at the end of their window.
        FSlot.setInterval(StatusTickMs);
        QObject::connect(&FSlot, &QTimer::timeout, &FContext, [this] { SumUpRefusals(); });
    }

    // Connects to the broker; false, said, for a setting the library refuses.
    bool Start() override {
        if (FWakeFd.Fd < 0) {
            FS.Error(std::string("cannot wait for the broker: ") + std::strerror(errno));
            return false;
        }
        std::string Error;
        // The bridge's own retained topics first: by the last acknowledgement they have all come.
        std::vector<std::string> Filters = {FTopics.Topic("availability"), FTopics.Topic("bridge"),
                                            FTopics.Topic("pin/+/set"), FTopics.Topic("port/+/set")};
        if (FO.Discovery) Filters.insert(Filters.end(), {FTopics.StatusTopic(), FTopics.OldConfigFilter()});
        // The client id names this process, so that a second bridge of the same node is not taken for
        // a reconnection of the first and thrown off by the broker before it can tell.
        const std::string ClientId =
            "velmorant-" + TMqttTopics::NameOf(FMachine) + "-" + std::to_string(::getpid());
        if (!FBroker.Start(FO, ClientId, FTopics.Topic("availability"), FPassword, Filters, Error)) {
            FS.Error(Error);
            return false;
        }
        FS.Error("bridging " + FLabel + " to " + FO.Broker + " under " + FTopics.Prefix() +
                 (FO.AllowWrites ? " (writes allowed)" : " (read only)"));
        FSlot.start();
        return true;
    }

    // Another bridge is online as this node: this one stopped before publishing anything.
    bool Failed() const override { return FRefused; }
    std::string Summary() const override {
        return std::to_string(FBroker.PublishedMessages()) + " messages, " +
               std::to_string(FBroker.PublishedBytes()) + " bytes published";
    }

private:
    // Which pins are outputs, as the session has them; unknown until the board's settings were read.
    std::array<std::optional<uint8_t>, 6> Directions() const {
        std::array<std::optional<uint8_t>, 6> Result;
        if (FHost.State().SettingsKnown)
            for (size_t Port = 0; Port < Result.size(); ++Port) Result[Port] = FHost.State().Directions[Port];
        return Result;
    }

    // True when the broker has heard everything retained since its connection: what changes now
    // is published, and what is said goes out at once.
    bool BrokerReady() {
        return FAnnounced > 0 && FBroker.Connected() && FBroker.Connections() == FAnnounced;
    }

    // Stderr and the log topic.
    void Say(const std::string& Text) { FHost.Say(Text); }

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

    // The bridge announces itself once its board was looked for: a board that is there comes with
    // its entities at once.
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
        while (FHost.Session().Pending() < MaxQueuedWrites) {
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
        if (Id && Id->Host == FMachine) {
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
        FBroker.Publish(FTopics.Topic("bridge"), TBridgeId{FMachine, FLabel, ::getpid()}.Text(), EventQos,
                        true);
        // Entities first, then their availability, as a new board's are said.
        if (FKnown) PublishDiscovery();
        PublishAvailability(true);
        FLast.clear();
        FLastStateRow.reset();
    }

    void PublishAvailability(bool Force) {
        const bool Now = FHost.Online();
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
        FDiscovered = Directions();
        const auto M = FTopics.Discovery(FHost.State().Version, FDiscovered, FO.AllowWrites);
        FBroker.Publish(M.Topic, M.Payload, EventQos, true);
        for (const std::string& Topic : FOldConfigs) FBroker.Publish(Topic, "", EventQos, true);
        FOldConfigs.clear();
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
        else if (!FHost.Connected() || !FHost.State().DevicePresent)
            Why = "no board is connected";
        else
            C = ParseMqttCommand(Sub, M.Payload, Directions(), Why);
        if (!C) {
            Refuse("refused " + M.Topic + ": " + Why);
            return;
        }
        // Decided again on the worker, by the directions the command finds there: a client of the
        // shared port may have changed one since, in a job queued before this one.
        auto Later = std::make_shared<std::string>();
        FHost.Session().Change(
            [Sub, Payload = M.Payload, Later](TVelmorant& D) {
                std::array<std::optional<uint8_t>, 6> Now;
                for (int Port = 0; Port < TVelmorant::PortCountConst; ++Port)
                    Now[Port] = D.GetPortDirection(Port);
                const std::optional<TMqttCommand> Sent = ParseMqttCommand(Sub, Payload, Now, *Later);
                if (!Sent) return;
                if (Sent->Pin)
                    D.SetPinState(Sent->Index, Sent->Value != 0);
                else
                    D.SetPortState(Sent->Index, Sent->Value);
            },
            [this, Topic = M.Topic, Later](bool) {
                if (!Later->empty()) Refuse("refused " + Topic + ": " + *Later);
            });
    }

public:
    void Finish() override {
        FSlot.stop();
        // A refused bridge leaves the other's availability as it is.
        if (FBroker.Connected() && !FRefused) {
            const int Mid = FBroker.Publish(FTopics.Topic("availability"), "offline", EventQos, true);
            // The broker acknowledges within a round trip; a broker that went away meanwhile has the will.
            const auto Deadline = TClock::now() + std::chrono::seconds(2);
            while (Mid >= 0 && !FBroker.Delivered(Mid) && FBroker.Connected() && TClock::now() < Deadline) {
                pollfd P{FWakeFd.Fd, POLLIN, 0};
                if (::poll(&P, 1, 100) > 0) {
                    uint64_t Count;
                    [[maybe_unused]] const ssize_t Read = ::read(FWakeFd.Fd, &Count, sizeof Count);
                }
            }
        }
        FBroker.Stop();
    }

private:
    TSession& FS;
    TBoardHost& FHost;
    const std::string FLabel;
    const TMqttOptions& FO;
    const std::string FMachine;  // this machine's name
    TMqttTopics FTopics;
    const std::string FPassword;
    TMosquittoLibrary FLibrary;
    TFd FWakeFd;
    TBroker FBroker;
    QEventLoop& FLoop;
    QObject FContext;  // what the notifiers' and the session's handlers run under
    QSocketNotifier FWake;
    QTimer FSlot;
    bool FLooked = false;                               // the board was looked for once
    std::array<std::optional<uint8_t>, 6> FDiscovered;  // the directions the discovery last said
    bool FRefused = false;                              // another bridge is online as this node
    int FAnnounced = 0;   // the broker's connection that last heard everything retained
    bool FKnown = false;  // the board was identified once: its discovery can be published
    bool FOnline = false;
    bool FOtherOnline = false;       // retained availability of this node
    std::string FOtherId;            // and the bridge that said it
    std::deque<TIncoming> FBacklog;  // what came before the announcement
    std::set<std::string> FOldConfigs, FRetainedTold;
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

}  // namespace

std::string MqttPassword(const TSession& S) {
    const TCliRequest& R = S.Request;
    const std::string Password =
        R.Mqtt.PasswordFile.empty() ? std::string() : ReadPassword(R.Mqtt.PasswordFile);
    // libmosquitto would only say "invalid arguments" of a TLS file it cannot read.
    for (const std::string* File : {&R.Mqtt.CaFile, &R.Mqtt.CertFile, &R.Mqtt.KeyFile})
        if (!File->empty() && ::access(File->c_str(), R_OK) != 0)
            throw EFileError("Cannot read \"" + *File + "\": " + std::strerror(errno));
    return Password;
}

TFrontEndMaker MqttBridge(TSession& S, std::string Password) {
    return [&S, Password = std::move(Password)](TBoardHost& Host, QEventLoop& Loop) {
        return std::make_unique<TBridge>(S, Host, Password, Loop);
    };
}

int RunMqtt(TSession& S, const std::string& PortName) {
    return ServeBoard(S, PortName, {MqttBridge(S, MqttPassword(S))});
}

}  // namespace velcli

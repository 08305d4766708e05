#pragma once
// The bridge's broker client: libmosquitto's own thread keeps the connection (keep-alive, reconnects)
// and hands over what arrives through a bounded queue and an eventfd that wakes the main thread.
#include <cstdint>
#include <deque>
#include <map>
#include <mutex>
#include <optional>
#include <set>
#include <string>
#include <vector>

#include "CliArgs.h"

struct mosquitto;
struct mosquitto_message;

namespace velcli {

struct TIncoming {
    std::string Topic, Payload;
    bool Retained = false;  // kept by the broker, not published for this connection
};

// The broker's client. Callbacks run on libmosquitto's thread and touch only what FLock guards.
class TBroker {
public:
    // At most this many topics wait; a newer message on a waiting topic replaces the older one.
    static constexpr size_t MaxWaiting = 256;

    explicit TBroker(int WakeFd) : FWakeFd(WakeFd) {}
    ~TBroker();
    TBroker(const TBroker&) = delete;
    TBroker& operator=(const TBroker&) = delete;

    // Sets the client up (MQTT 5) with its last will (WillTopic "offline") and starts connecting in
    // the background, subscribing to Filters in order on every connection. False with Error for a
    // setting the library refuses; an unreachable broker is tried again by itself.
    bool Start(const TMqttOptions& O, const std::string& ClientId, const std::string& WillTopic,
               const std::string& Password, const std::vector<std::string>& Filters, std::string& Error);
    // Queues a message; the message id, or -1 while the broker is away (nothing is kept for later).
    int Publish(const std::string& Topic, const std::string& Payload, int Qos, bool Retain);
    // Messages, and their topic and payload bytes, handed to the library.
    uint64_t PublishedMessages() const { return FSent; }
    uint64_t PublishedBytes() const { return FPublished; }
    bool Connected();
    // How many connections were made so far; a new one means everything is to be said again.
    int Connections();
    // The last connection whose subscriptions the broker acknowledged, all of them: the retained
    // messages of every filter but the last have arrived by then.
    int Subscribed();
    // The oldest waiting message.
    std::optional<TIncoming> TakeMessage();
    // Messages dropped since the last call: replaced by newer ones, or beyond the queue's bound.
    uint64_t TakeDropped();
    std::vector<std::string> TakeNotes();
    bool Delivered(int Mid);
    // Ends the connection cleanly (no last will) and the client's thread.
    void Stop();

private:
    void Note(const std::string& Text);
    void Wake();
    static void OnConnect(mosquitto* M, void* Self, int Rc);
    static void OnDisconnect(mosquitto*, void* Self, int Rc);
    static void OnSubscribe(mosquitto*, void* Self, int Mid, int, const int*);
    static void OnMessage(mosquitto*, void* Self, const mosquitto_message* Message);
    static void OnPublish(mosquitto*, void* Self, int Mid);

    mosquitto* FMosq = nullptr;
    const int FWakeFd;
    bool FLooping = false;
    std::string FAddress;
    std::vector<std::string> FFilters;
    std::mutex FLock;
    bool FConnected = false;
    int FConnections = 0, FSubscribed = 0;
    int FLastSubscribeMid = -1;
    int FLastRefusal = 0;
    std::map<std::string, TIncoming> FWaiting;
    std::deque<std::string> FOrder;  // FWaiting's topics, oldest first
    uint64_t FDropped = 0;
    std::vector<std::string> FNotes;
    std::set<int> FDelivered;
    uint64_t FSent = 0, FPublished = 0;  // the main thread's alone
};

}  // namespace velcli

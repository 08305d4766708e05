// The bridge's broker client over libmosquitto.
#include "CliMqttBroker.h"

#include <mosquitto.h>
#include <mqtt_protocol.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <utility>

#include "CliMqtt.h"

namespace velcli {

namespace {

constexpr int KeepAliveSecs = 30;
constexpr int EventQos = 1;
// Nothing the bridge obeys is longer; a larger payload is kept only in part.
constexpr size_t MaxPayload = 256;
// Our own topics are short; longer ones under a wildcard are no command of ours.
constexpr size_t MaxTopic = 512;

std::string ErrorText(int Rc) {
    return Rc == MOSQ_ERR_ERRNO ? std::strerror(errno) : mosquitto_strerror(Rc);
}

}  // namespace

TBroker::~TBroker() {
    if (FMosq == nullptr) return;
    if (FLooping) mosquitto_loop_stop(FMosq, true);
    mosquitto_destroy(FMosq);
}

bool TBroker::Start(const TMqttOptions& O, const std::string& ClientId, const std::string& WillTopic,
                    const std::string& Password, const std::vector<std::string>& Filters,
                    std::string& Error) {
    FFilters = Filters;
    FMosq = mosquitto_new(ClientId.c_str(), true, this);
    if (FMosq == nullptr) {
        Error = "cannot create an MQTT client";
        return false;
    }
    // MQTT 5, for the retain flag as published: under 3.1.1 a retained command published while the
    // bridge is subscribed arrives looking like any other.
    mosquitto_int_option(FMosq, MOSQ_OPT_PROTOCOL_VERSION, MQTT_PROTOCOL_V5);
    mosquitto_connect_callback_set(FMosq, &TBroker::OnConnect);
    mosquitto_disconnect_callback_set(FMosq, &TBroker::OnDisconnect);
    mosquitto_subscribe_callback_set(FMosq, &TBroker::OnSubscribe);
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

int TBroker::Publish(const std::string& Topic, const std::string& Payload, int Qos, bool Retain) {
    int Mid = 0;
    const int Rc = mosquitto_publish(FMosq, &Mid, Topic.c_str(), static_cast<int>(Payload.size()),
                                     Payload.data(), Qos, Retain);
    if (Rc != MOSQ_ERR_SUCCESS) return -1;
    FPublished += Payload.size() + Topic.size();
    ++FSent;
    return Mid;
}

bool TBroker::Connected() {
    std::lock_guard<std::mutex> Lock(FLock);
    return FConnected;
}

int TBroker::Connections() {
    std::lock_guard<std::mutex> Lock(FLock);
    return FConnections;
}

int TBroker::Subscribed() {
    std::lock_guard<std::mutex> Lock(FLock);
    return FSubscribed;
}

std::optional<TIncoming> TBroker::TakeMessage() {
    std::lock_guard<std::mutex> Lock(FLock);
    if (FOrder.empty()) return std::nullopt;
    auto Node = FWaiting.extract(FOrder.front());
    FOrder.pop_front();
    return std::move(Node.mapped());
}

uint64_t TBroker::TakeDropped() {
    std::lock_guard<std::mutex> Lock(FLock);
    return std::exchange(FDropped, 0);
}

std::vector<std::string> TBroker::TakeNotes() {
    std::lock_guard<std::mutex> Lock(FLock);
    return std::exchange(FNotes, {});
}

bool TBroker::Delivered(int Mid) {
    std::lock_guard<std::mutex> Lock(FLock);
    return FDelivered.count(Mid) != 0;
}

void TBroker::Stop() {
    if (!FLooping) return;
    mosquitto_disconnect(FMosq);
    mosquitto_loop_stop(FMosq, false);
    FLooping = false;
}

void TBroker::Note(const std::string& Text) {
    {
        std::lock_guard<std::mutex> Lock(FLock);
        FNotes.push_back(Text);
    }
    Wake();
}

void TBroker::Wake() {
    const uint64_t One = 1;
    [[maybe_unused]] const ssize_t Written = ::write(FWakeFd, &One, sizeof One);
}

void TBroker::OnConnect(mosquitto* M, void* Self, int Rc) {
    auto* B = static_cast<TBroker*>(Self);
    if (Rc != 0) {
        {
            std::lock_guard<std::mutex> Lock(B->FLock);
            // A refusal (bad password, not authorised) repeats at every attempt: say it once.
            if (B->FLastRefusal == Rc) return;
            B->FLastRefusal = Rc;
        }
        B->Note("the broker at " + B->FAddress + " refused the connection: " + mosquitto_reason_string(Rc));
        return;
    }
    // Our own messages never come back, and a retained one keeps its flag whenever it comes.
    int Mid = -1;
    for (const std::string& Filter : B->FFilters)
        mosquitto_subscribe_v5(M, &Mid, Filter.c_str(), EventQos,
                               MQTT_SUB_OPT_NO_LOCAL | MQTT_SUB_OPT_RETAIN_AS_PUBLISHED, nullptr);
    {
        std::lock_guard<std::mutex> Lock(B->FLock);
        B->FConnected = true;
        ++B->FConnections;
        B->FLastSubscribeMid = Mid;
        B->FLastRefusal = 0;
        B->FNotes.push_back("connected to the broker at " + B->FAddress);
    }
    B->Wake();
}

void TBroker::OnDisconnect(mosquitto*, void* Self, int Rc) {
    auto* B = static_cast<TBroker*>(Self);
    bool Was;
    {
        std::lock_guard<std::mutex> Lock(B->FLock);
        Was = std::exchange(B->FConnected, false);
    }
    if (Was && Rc != 0) B->Note("lost the broker at " + B->FAddress + "; connecting again");
}

void TBroker::OnSubscribe(mosquitto*, void* Self, int Mid, int, const int*) {
    auto* B = static_cast<TBroker*>(Self);
    {
        std::lock_guard<std::mutex> Lock(B->FLock);
        // Acknowledgements come in order, after the retained messages of the filters before.
        if (Mid != B->FLastSubscribeMid) return;
        B->FSubscribed = B->FConnections;
    }
    B->Wake();
}

void TBroker::OnMessage(mosquitto*, void* Self, const mosquitto_message* Message) {
    auto* B = static_cast<TBroker*>(Self);
    {
        std::lock_guard<std::mutex> Lock(B->FLock);
        const size_t Length = std::min(MaxPayload, static_cast<size_t>(std::max(0, Message->payloadlen)));
        TIncoming In{Message->topic, std::string(static_cast<const char*>(Message->payload), Length),
                     Message->retain};
        if (In.Topic.size() > MaxTopic) {
            ++B->FDropped;
        } else if (auto It = B->FWaiting.find(In.Topic); It != B->FWaiting.end()) {
            // The newest command on a topic is the one its sender means now.
            It->second = std::move(In);
            ++B->FDropped;
        } else if (B->FWaiting.size() >= MaxWaiting) {
            ++B->FDropped;
        } else {
            B->FOrder.push_back(In.Topic);
            B->FWaiting.emplace(In.Topic, std::move(In));
        }
    }
    B->Wake();
}

void TBroker::OnPublish(mosquitto*, void* Self, int Mid) {
    auto* B = static_cast<TBroker*>(Self);
    {
        std::lock_guard<std::mutex> Lock(B->FLock);
        B->FDelivered.insert(Mid);
        if (B->FDelivered.size() > 64) B->FDelivered.erase(B->FDelivered.begin());
    }
    B->Wake();
}

}  // namespace velcli

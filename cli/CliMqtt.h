#pragma once
// mqtt: the board on an MQTT broker. Readings go out as retained topics under a prefix, with Home
// Assistant discovery; pin/N/set and port/N/set come back in when writes are allowed.
#include <array>
#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <vector>

#include "CliArgs.h"
#include "CliBoardHost.h"
#include "TickReadings.h"

namespace velcli {

struct TSession;

// Takes one mqtt option of the command line (Value fetches its argument, Flag refuses one); false
// when Arg is none of them. Throws EUsageError.
bool ParseMqttOption(TMqttOptions& Options, const std::string& Arg, const std::function<std::string()>& Value,
                     const std::function<void()>& Flag);
// Refuses a request whose mqtt options do not fit together (or belong to no mqtt command).
void CheckMqttRequest(const TCliRequest& R);
// The broker's host and port from Options.Broker (1883, or 8883 with TLS). Throws EUsageError.
void SplitBroker(const TMqttOptions& Options, std::string& Host, int& Port);
// The password the request names, its TLS files checked; throws EFileError before anything starts.
std::string MqttPassword(const TSession& S);
// The bridge as a front end of a served board.
TFrontEndMaker MqttBridge(TSession& S, std::string Password);
// Bridges the board on PortName to the broker until SIGINT or SIGTERM; the exit code.
int RunMqtt(TSession& S, const std::string& PortName);

// The topics and payloads, apart from the broker so that they can be checked alone.
class TMqttTopics {
public:
    // The node is Options.Node, or else HostName's first label with the port's name ("pc1_com3"),
    // so that two machines bridging their own COM3 to one broker do not meet.
    TMqttTopics(const TMqttOptions& Options, const std::string& PortLabel, const std::string& HostName);

    const std::string& Node() const { return FNode; }
    const std::string& Prefix() const { return FPrefix; }
    // Prefix + "/" + Sub.
    std::string Topic(const std::string& Sub) const { return FPrefix + "/" + Sub; }
    // Where the bridge's Home Assistant device is announced.
    std::string DiscoveryTopic() const { return FDiscoveryPrefix + "/device/" + FId + "/config"; }
    // Home Assistant's birth and last will.
    std::string StatusTopic() const { return FDiscoveryPrefix + "/status"; }
    // The one-entity configurations earlier versions announced the board with.
    std::string OldConfigFilter() const { return FDiscoveryPrefix + "/+/" + FId + "/+/config"; }
    // Text made fit for a topic level and an id: lower case, runs of other characters as one '_'.
    static std::string NameOf(const std::string& Text);

    struct TMessage {
        std::string Topic, Payload;  // Topic under the prefix for Values, whole for Discovery
    };
    // Every value topic of a reading with its payload; a failed read gives none.
    static std::vector<TMessage> Values(const TTickReadings& R);
    // The device's discovery configuration, all entities in one (firmware Version, port Directions,
    // unknown ones empty).
    TMessage Discovery(const std::string& Version, const std::array<std::optional<uint8_t>, 6>& Directions,
                       bool AllowWrites) const;

private:
    std::string Entity(const char* Platform, const std::string& Object, const std::string& Name,
                       const std::string& Extra) const;

    std::string FNode, FPrefix, FDiscoveryPrefix, FId;
};

// Ports from this one on are the PLC program's variables: no pins, no directions.
constexpr int FirstVirtualPort = 3;

// A command for the board taken from a topic under the prefix and its payload.
struct TMqttCommand {
    bool Pin = false;  // else a port
    int Index = 0;
    int Value = 0;  // 0/1 for a pin, 0..255 for a port
};
// Reads Sub ("pin/N/set", "port/N/set") and Payload into a command the board's Directions allow
// (a virtual pin or port always); nullopt with Why set otherwise.
std::optional<TMqttCommand> ParseMqttCommand(const std::string& Sub, const std::string& Payload,
                                             const std::array<std::optional<uint8_t>, 6>& Directions,
                                             std::string& Why);

}  // namespace velcli

// The bridge's command line, its topics, its Home Assistant discovery and the commands it obeys.
#include <algorithm>
#include <cctype>

#include "CliMqtt.h"
#include "CliSession.h"
#include "Device_VL.h"

namespace velcli {

namespace {

bool IsNameChar(char C) {
    return std::isalnum(static_cast<unsigned char>(C)) != 0 || C == '_' || C == '-';
}

// A topic level of our own may not hold wildcards, nor begin or end a level empty.
void CheckTopic(const std::string& Topic, const std::string& Option) {
    if (Topic.empty() || Topic.front() == '/' || Topic.back() == '/' ||
        Topic.find_first_of("+#") != std::string::npos || Topic.find("//") != std::string::npos)
        throw EUsageError(Option + " '" + Topic + "' is not a topic (no wildcards, no empty levels)");
}

// What a payload said, short and printable, for a message about it.
std::string Quoted(const std::string& Payload) {
    std::string Text = Payload.substr(0, 40);
    for (char& C : Text)
        if (static_cast<unsigned char>(C) < 0x20 || C == 0x7f) C = '?';
    return "\"" + Text + (Payload.size() > 40 ? "...\"" : "\"");
}

std::optional<int> IndexIn(const std::string& Text, int Max) {
    if (Text.empty() || Text.size() > 2 || !std::all_of(Text.begin(), Text.end(), ::isdigit))
        return std::nullopt;
    const int Value = std::stoi(Text);
    if (Value > Max) return std::nullopt;
    return Value;
}

std::string Upper(std::string Text) {
    for (char& C : Text) C = static_cast<char>(std::toupper(static_cast<unsigned char>(C)));
    return Text;
}

std::string Trimmed(const std::string& Text) {
    const size_t First = Text.find_first_not_of(" \t\r\n");
    if (First == std::string::npos) return {};
    return Text.substr(First, Text.find_last_not_of(" \t\r\n") - First + 1);
}

}  // namespace

bool ParseMqttOption(TMqttOptions& O, const std::string& Arg, const std::function<std::string()>& Value,
                     const std::function<void()>& Flag) {
    const auto File = [&](std::string& Into) {
        Into = Value();
        if (Into.empty()) throw EUsageError("empty file name for " + Arg);
    };
    if (Arg == "--broker") {
        O.Broker = Value();
        std::string Host;
        int Port = 0;
        SplitBroker(O, Host, Port);
    } else if (Arg == "--node") {
        O.Node = Value();
        if (O.Node.empty() || !std::all_of(O.Node.begin(), O.Node.end(), IsNameChar))
            throw EUsageError("node '" + O.Node + "' may hold only letters, digits, '_' and '-'");
    } else if (Arg == "--prefix") {
        O.TopicPrefix = Value();
        CheckTopic(O.TopicPrefix, Arg);
    } else if (Arg == "--discovery-prefix") {
        O.DiscoveryPrefix = Value();
        CheckTopic(O.DiscoveryPrefix, Arg);
    } else if (Arg == "--no-discovery") {
        Flag();
        O.Discovery = false;
    } else if (Arg == "--username") {
        O.Username = Value();
        if (O.Username.empty()) throw EUsageError("empty user name");
    } else if (Arg == "--password-file") {
        File(O.PasswordFile);
    } else if (Arg == "--cafile") {
        File(O.CaFile);
    } else if (Arg == "--cert") {
        File(O.CertFile);
    } else if (Arg == "--key") {
        File(O.KeyFile);
    } else {
        return false;
    }
    O.Given = true;
    return true;
}

void CheckMqttRequest(const TCliRequest& R) {
    const TMqttOptions& O = R.Mqtt;
    // serve runs the bridge when it is given a broker.
    if (R.Kind != ckMqtt && !(R.Kind == ckServe && O.Given)) {
        if (O.Given) throw EUsageError("--broker and the other MQTT options belong to mqtt and serve");
        return;
    }
    const std::string Command = R.Kind == ckServe ? "serve" : "mqtt";
    if (O.Broker.empty()) throw EUsageError(Command + " needs --broker HOST[:PORT]");
    if (R.Port.empty() && R.Device.empty())
        throw EUsageError(Command + " needs --port or --device: the bridge stays with one board");
    if (!O.PasswordFile.empty() && O.Username.empty()) throw EUsageError("--password-file needs --username");
    if (O.CertFile.empty() != O.KeyFile.empty()) throw EUsageError("--cert and --key go together");
    if (!O.CertFile.empty() && O.CaFile.empty()) throw EUsageError("--cert and --key need --cafile");
}

void SplitBroker(const TMqttOptions& O, std::string& Host, int& Port) {
    const std::string& B = O.Broker;
    Port = O.CaFile.empty() ? 1883 : 8883;
    size_t Colon = std::string::npos;
    if (!B.empty() && B[0] == '[') {  // [IPv6]:PORT
        const size_t Close = B.find(']');
        if (Close == std::string::npos || (Close + 1 < B.size() && B[Close + 1] != ':'))
            throw EUsageError("broker '" + B + "' is not HOST[:PORT]");
        Host = B.substr(1, Close - 1);
        if (Close + 1 < B.size()) Colon = Close + 1;
    } else {
        Colon = B.find(':');
        // A bare IPv6 address has several colons and no port.
        if (Colon != std::string::npos && B.find(':', Colon + 1) != std::string::npos)
            Colon = std::string::npos;
        Host = B.substr(0, Colon);
    }
    if (Colon != std::string::npos) {
        const std::string Digits = B.substr(Colon + 1);
        if (Digits.empty() || Digits.size() > 5 || !std::all_of(Digits.begin(), Digits.end(), ::isdigit) ||
            std::stoi(Digits) < 1 || std::stoi(Digits) > 65535)
            throw EUsageError("broker port '" + Digits + "' is not a number from 1 to 65535");
        Port = std::stoi(Digits);
    }
    if (Host.empty()) throw EUsageError("broker '" + B + "' names no host");
}

std::string TMqttTopics::NameOf(const std::string& Text) {
    // "COM3" -> "com3", "/dev/ttyACM0" -> "dev_ttyacm0", "socket://h:4000" -> "socket_h_4000"
    std::string Name;
    for (const char C : Text) {
        const char Lower = static_cast<char>(std::tolower(static_cast<unsigned char>(C)));
        if (IsNameChar(Lower))
            Name += Lower;
        else if (!Name.empty() && Name.back() != '_')
            Name += '_';
    }
    while (!Name.empty() && Name.back() == '_') Name.pop_back();
    return Name;
}

TMqttTopics::TMqttTopics(const TMqttOptions& O, const std::string& PortLabel, const std::string& HostName)
    : FNode(O.Node), FPrefix(O.TopicPrefix), FDiscoveryPrefix(O.DiscoveryPrefix) {
    if (FNode.empty()) {
        const std::string Host = NameOf(HostName.substr(0, HostName.find('.')));
        const std::string Port = NameOf(PortLabel);
        FNode = Host.empty() ? Port : Port.empty() ? Host : Host + "_" + Port;
        if (FNode.empty()) FNode = "board";
    }
    if (FPrefix.empty()) FPrefix = "velmorant/" + FNode;
    FId = "velmorant_" + FNode;
}

std::vector<TMqttTopics::TMessage> TMqttTopics::Values(const TTickReadings& R) {
    std::vector<TMessage> Result;
    for (int Port = 0; Port < TVelmorant::PortCountConst; ++Port) {
        if (!R.Ports[Port]) continue;
        const int State = *R.Ports[Port];
        Result.push_back({"port/" + std::to_string(Port), std::to_string(State)});
        for (int Bit = 0; Bit < 8; ++Bit)
            Result.push_back(
                {"pin/" + std::to_string(Port * 8 + Bit), (State >> Bit & 1) != 0 ? "ON" : "OFF"});
    }
    for (int Input = 0; Input < TVelmorant::AnalogInputCount; ++Input)
        if (R.Analog[Input])
            Result.push_back({"analog/" + std::to_string(Input), std::to_string(*R.Analog[Input])});
    if (R.Temperature) Result.push_back({"temperature", std::to_string(*R.Temperature)});
    return Result;
}

std::string TMqttTopics::Entity(const char* Platform, const std::string& Object, const std::string& Name,
                                const std::string& Extra) const {
    // An entity id holds no '-'.
    std::string EntityId = FId + "_" + Object;
    std::replace(EntityId.begin(), EntityId.end(), '-', '_');
    return JsonString(Object) + ":{\"p\":" + JsonString(Platform) + ",\"name\":" + JsonString(Name) +
           ",\"unique_id\":" + JsonString(FId + "_" + Object) +
           ",\"default_entity_id\":" + JsonString(std::string(Platform) + "." + EntityId) +
           ",\"~\":" + JsonString(FPrefix) + "," + Extra + "}";
}

TMqttTopics::TMessage TMqttTopics::Discovery(const std::string& Version,
                                             const std::array<std::optional<uint8_t>, 6>& Directions,
                                             bool AllowWrites) const {
    std::string Components = Entity("sensor", "temperature", "Temperature",
                                    "\"state_topic\":\"~/temperature\",\"device_class\":\"temperature\","
                                    "\"unit_of_measurement\":\"°F\",\"state_class\":\"measurement\"");
    for (int Input = 0; Input < TVelmorant::AnalogInputCount; ++Input) {
        const std::string N = std::to_string(Input);
        Components.append(",").append(
            Entity("sensor", "analog_" + N, "Analog input " + N,
                   "\"state_topic\":\"~/analog/" + N + "\",\"state_class\":\"measurement\""));
    }
    for (int Port = 0; Port < TVelmorant::PortCountConst; ++Port) {
        const std::string N = std::to_string(Port);
        Components.append(",").append(
            Entity("sensor", "port_" + N, "Port " + N, "\"state_topic\":\"~/port/" + N + "\""));
    }
    for (int Pin = 0; Pin < TVelmorant::PinCount; ++Pin) {
        const std::string N = std::to_string(Pin);
        const auto& Direction = Directions[Pin / 8];
        const bool Output = Pin / 8 >= FirstVirtualPort || (Direction && (*Direction >> (Pin % 8) & 1) == 0);
        const bool Switch = AllowWrites && Output;
        std::string Extra =
            "\"state_topic\":\"~/pin/" + N + "\",\"payload_on\":\"ON\",\"payload_off\":\"OFF\"";
        if (Switch) Extra += ",\"command_topic\":\"~/pin/" + N + "/set\"";
        Components.append(",").append(
            Entity(Switch ? "switch" : "binary_sensor", "pin_" + N, "Pin " + N, Extra));
    }
    const std::string Device =
        "{\"ids\":[" + JsonString(FId) + "],\"name\":" + JsonString("Velmorant " + FNode) +
        ",\"mf\":\"Tarnwick\",\"mdl\":\"Velmorant I/O board\",\"sw\":" + JsonString(Version) + "}";
    const std::string Origin = "{\"name\":\"velmorant-cli\",\"sw\":" + JsonString(VELMORANT_VERSION) +
                               ",\"url\":\"https://www.tarnwick.example/velmorant\"}";
    return {DiscoveryTopic(), "{\"dev\":" + Device + ",\"o\":" + Origin +
                                  ",\"availability_topic\":" + JsonString(Topic("availability")) +
                                  ",\"qos\":1,\"cmps\":{" + Components + "}}"};
}

std::optional<TMqttCommand> ParseMqttCommand(const std::string& Sub, const std::string& Payload,
                                             const std::array<std::optional<uint8_t>, 6>& Directions,
                                             std::string& Why) {
    TMqttCommand C;
    const size_t Slash = Sub.find('/');
    const std::string Kind = Sub.substr(0, Slash);
    C.Pin = Kind == "pin";
    const bool Known = (C.Pin || Kind == "port") && Slash != std::string::npos && Sub.size() > 4 &&
                       Sub.compare(Sub.size() - 4, 4, "/set") == 0;
    const auto Index = Known ? IndexIn(Sub.substr(Slash + 1, Sub.size() - 4 - Slash - 1),
                                       C.Pin ? TVelmorant::PinCount - 1 : TVelmorant::PortCountConst - 1)
                             : std::nullopt;
    if (!Index) {
        Why = "no such command: " + Sub + " (pin/0..47/set, port/0..5/set)";
        return std::nullopt;
    }
    C.Index = *Index;
    const std::string Text = Upper(Trimmed(Payload));
    if (C.Pin) {
        if (Text == "ON" || Text == "1" || Text == "TRUE")
            C.Value = 1;
        else if (Text == "OFF" || Text == "0" || Text == "FALSE")
            C.Value = 0;
        else {
            Why = Quoted(Payload) + " for pin " + std::to_string(C.Index) + " is not ON or OFF";
            return std::nullopt;
        }
    } else {
        int32_t Value = -1;
        if (!TryStrToInt(Text, Value) || Value < 0 || Value > 255) {
            Why = Quoted(Payload) + " for port " + std::to_string(C.Index) + " is not a number from 0 to 255";
            return std::nullopt;
        }
        C.Value = Value;
    }
    const int Port = C.Pin ? C.Index / 8 : C.Index;
    if (Port >= FirstVirtualPort) return C;
    const auto& Direction = Directions[Port];
    if (!Direction) {
        Why = "the direction of port " + std::to_string(Port) + " is not known; nothing was sent";
        return std::nullopt;
    }
    if (C.Pin && (*Direction >> (C.Index % 8) & 1) != 0) {
        Why = "pin " + std::to_string(C.Index) + " is an input; nothing was sent";
        return std::nullopt;
    }
    if (!C.Pin && *Direction != 0) {
        Why = "port " + std::to_string(Port) + " has input pins (direction " + std::to_string(*Direction) +
              "); set its output pins one by one";
        return std::nullopt;
    }
    return C;
}

}  // namespace velcli

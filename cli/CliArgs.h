#pragma once
// velmorant-cli's command line: options and one command, checked whole before the board is touched.
#include <stdexcept>
#include <string>
#include <vector>

#include "Capture.h"

namespace velcli {

enum TExitCode : int { ecSuccess = 0, ecFailed = 1, ecUsage = 2 };

// A command line that cannot be carried out as written; what() is the message for stderr.
class EUsageError : public std::runtime_error {
public:
    using std::runtime_error::runtime_error;
};

enum TCommandKind {
    ckNone,
    ckPorts,
    ckInfo,
    ckRead,
    ckGet,
    ckSet,
    ckWatch,
    ckProgramDownload,
    ckProgramUpload,
    ckPlcRun,
    ckPlcStop,
    ckPlcStep,
    ckPlcEnable,
    ckPlcDisable,
    ckEepromSave,
    ckEepromRecall,
    ckSettingsSave,
    ckSettingsRecall,
    ckBootloader,
    ckMqtt,
    ckModbus,
    ckServe,
    ckCapture
};

// mqtt: the bridge between the board and a broker.
struct TMqttOptions {
    std::string Broker;       // HOST[:PORT] as typed; empty when not given
    std::string Node;         // the node's name in topics; empty: made from the port's name
    std::string TopicPrefix;  // empty: velmorant/<node>
    std::string DiscoveryPrefix = "homeassistant";
    bool Discovery = true;
    bool AllowWrites = false;
    std::string Username, PasswordFile;
    std::string CaFile, CertFile, KeyFile;
    bool Given = false;  // some mqtt option was on the command line
};

// modbus: the board as a Modbus TCP server.
struct TModbusOptions {
    // Modbus has no authentication: another address is the user's choice. 502 needs privileges.
    std::string Listen = "127.0.0.1:1502";
    int Unit = -1;  // the unit id served; -1: any
    bool AllowWrites = false;
    std::string ListenGiven;  // --listen as given: modbus' address, or serve's shared port
    bool UnitGiven = false;
    bool Given = false;  // --listen or --unit was on the command line
    bool Serve = false;  // serve's --modbus asked for the server
};

// The board quantities of get and set.
enum TQuantity { qtPin, qtPort, qtDirection, qtPullup, qtOffset, qtPeriod };

struct TCliRequest {
    // Options
    std::string Port;    // --port: a name handed to the driver as it is
    std::string Device;  // --device: a device node
    bool Json = false;
    bool Help = false;
    bool Version = false;
    double IntervalSecs = 1;  // watch
    long Count = 0;           // watch: rows before stopping, 0 until interrupted; capture: samples of each
    std::string CsvFile;      // watch, capture
    double CaptureSecs = 0;   // capture: its length, 0 for none
    std::vector<TCaptureChannel> Channels;  // capture

    // The command with its arguments, parsed
    TCommandKind Kind = ckNone;
    TQuantity What = qtPin;
    int Index = -1;  // pin, port, input, or the step's line (-1: the board's own)
    int Value = 0;   // set
    std::string File;
    TMqttOptions Mqtt;
    TModbusOptions Modbus;
    std::string Share;  // serve --listen: the shared port's address; "" for none
};

// Reads the arguments (without the program's name); throws EUsageError. With --help or --version
// the command may be missing.
TCliRequest ParseArguments(const std::vector<std::string>& Args);
// capture's words (after "capture"): the channels, checked; throws EUsageError.
void ParseCaptureWords(TCliRequest& R, const std::vector<std::string>& Words);
// The name of a quantity as typed ("pin", "dir", ...).
const char* QuantityName(TQuantity What);
// The text of --help.
std::string HelpText();

}  // namespace velcli

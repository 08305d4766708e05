// Parsing velmorant-cli's command line. Everything is checked here, so that a bad argument never
// reaches the board.
#include "CliArgs.h"

#include <cctype>
#include <cmath>
#include <cstdint>
#include <cstdlib>
#include <map>

#include "CliModbus.h"
#include "CliMqtt.h"
#include "Device_VL.h"
#include "NetPort.h"
#include "SerialPort.h"

namespace velcli {

namespace {

struct TQuantitySpec {
    TQuantity What;
    const char* Name;
    const char* IndexName;  // nullptr: the quantity has no index
    int IndexMax;
    int ValueMin, ValueMax;
};

// Directions exist for every port on the board, though only ports 0..2 have pins to set.
const TQuantitySpec Quantities[] = {
    {qtPin, "pin", "pin", TVelmorant::PinCount - 1, 0, 1},
    {qtPort, "port", "port", TVelmorant::PortCountConst - 1, 0, 255},
    {qtDirection, "dir", "port", TVelmorant::PortCountConst - 1, 0, 255},
    {qtPullup, "pullup", "port", TVelmorant::PortCountConst - 1, 0, 1},
    {qtOffset, "offset", "analog input", TVelmorant::AnalogInputCount - 1, -128, 128},
    {qtPeriod, "period", nullptr, 0, 0, 15},
};

const TQuantitySpec& QuantityOf(const std::string& Word) {
    static const std::map<std::string, TQuantity> Aliases = {
        {"pin", qtPin},       {"port", qtPort},      {"dir", qtDirection}, {"direction", qtDirection},
        {"pullup", qtPullup}, {"pullups", qtPullup}, {"offset", qtOffset}, {"period", qtPeriod},
    };
    const auto Found = Aliases.find(Word);
    if (Found == Aliases.end())
        throw EUsageError("unknown quantity '" + Word + "' (pin, port, dir, pullup, offset or period)");
    return Quantities[Found->second];
}

int Number(const std::string& Text, const std::string& What) {
    int32_t Value = 0;
    if (!TryStrToInt(Text, Value)) throw EUsageError(What + " '" + Text + "' is not a number");
    return Value;
}

int NumberIn(const std::string& Text, const std::string& What, int Min, int Max) {
    const int Value = Number(Text, What);
    if (Value < Min || Value > Max)
        throw EUsageError(What + " " + Text + " is outside " + std::to_string(Min) + ".." +
                          std::to_string(Max));
    return Value;
}

void ExpectCount(const std::vector<std::string>& Words, size_t Min, size_t Max, const std::string& Usage) {
    if (Words.size() < Min || Words.size() > Max) throw EUsageError("usage: velmorant-cli " + Usage);
}

// One of Choices for the second word; its index.
size_t Choice(const std::vector<std::string>& Words, const std::vector<std::string>& Choices,
              const std::string& Usage) {
    if (Words.size() >= 2)
        for (size_t I = 0; I < Choices.size(); ++I)
            if (Words[1] == Choices[I]) return I;
    throw EUsageError("usage: velmorant-cli " + Usage);
}

void ParseGetSet(TCliRequest& R, const std::vector<std::string>& Words) {
    const bool Set = R.Kind == ckSet;
    const std::string Usage = Set ? "set pin|port|dir|pullup|offset N VALUE, or set period VALUE"
                                  : "get pin|port|dir|pullup|offset N, or get period";
    if (Words.size() < 2) throw EUsageError("usage: velmorant-cli " + Usage);
    const TQuantitySpec& Q = QuantityOf(Words[1]);
    R.What = Q.What;
    const size_t Expected = 2 + (Q.IndexName ? 1 : 0) + (Set ? 1 : 0);
    ExpectCount(Words, Expected, Expected, Usage);
    size_t Next = 2;
    if (Q.IndexName) {
        R.Index = NumberIn(Words[Next++], Q.IndexName, 0, Q.IndexMax);
        if (Q.What == qtPullup && R.Index != 0 && R.Index != 2)
            throw EUsageError("port " + Words[2] + " has no pull-ups; ports 0 and 2 have");
    }
    if (Set) R.Value = NumberIn(Words[Next], std::string(Q.Name) + " value", Q.ValueMin, Q.ValueMax);
}

void ParseCommand(TCliRequest& R, const std::vector<std::string>& Words) {
    const std::string& Name = Words[0];
    if (Name == "ports" || Name == "info" || Name == "read" || Name == "bootloader") {
        ExpectCount(Words, 1, 1, Name);
        R.Kind = Name == "ports" ? ckPorts : Name == "info" ? ckInfo : Name == "read" ? ckRead : ckBootloader;
    } else if (Name == "get" || Name == "set") {
        R.Kind = Name == "get" ? ckGet : ckSet;
        ParseGetSet(R, Words);
    } else if (Name == "watch") {
        ExpectCount(Words, 1, 1, "watch [--interval S] [--count N] [--csv FILE]");
        R.Kind = ckWatch;
    } else if (Name == "program") {
        const std::string Usage = "program download|upload FILE";
        R.Kind = Choice(Words, {"download", "upload"}, Usage) == 0 ? ckProgramDownload : ckProgramUpload;
        ExpectCount(Words, 3, 3, Usage);
        R.File = Words[2];
    } else if (Name == "plc") {
        const std::string Usage = "plc run|stop|step [LINE]|enable|disable";
        static const TCommandKind Kinds[] = {ckPlcRun, ckPlcStop, ckPlcStep, ckPlcEnable, ckPlcDisable};
        R.Kind = Kinds[Choice(Words, {"run", "stop", "step", "enable", "disable"}, Usage)];
        ExpectCount(Words, 2, R.Kind == ckPlcStep ? 3 : 2, Usage);
        // No board has more lines than this; its own count is checked once it is known.
        if (Words.size() == 3) R.Index = NumberIn(Words[2], "line", 0, 255);
    } else if (Name == "eeprom") {
        const std::string Usage = "eeprom save|recall";
        R.Kind = Choice(Words, {"save", "recall"}, Usage) == 0 ? ckEepromSave : ckEepromRecall;
        ExpectCount(Words, 2, 2, Usage);
    } else if (Name == "settings") {
        const std::string Usage = "settings save|recall FILE";
        R.Kind = Choice(Words, {"save", "recall"}, Usage) == 0 ? ckSettingsSave : ckSettingsRecall;
        ExpectCount(Words, 3, 3, Usage);
        R.File = Words[2];
    } else if (Name == "capture") {
        R.Kind = ckCapture;
        ParseCaptureWords(R, Words);
    } else if (Name == "mqtt") {
        ExpectCount(Words, 1, 1, "mqtt --broker HOST[:PORT] [OPTION]...");
        R.Kind = ckMqtt;
    } else if (Name == "modbus") {
        ExpectCount(Words, 1, 1, "modbus [--listen HOST:PORT] [--allow-writes] [--unit N]");
        R.Kind = ckModbus;
    } else if (Name == "serve") {
        ExpectCount(Words, 1, 1,
                    "serve [--listen HOST:PORT] [--broker HOST[:PORT] [OPTION]...] [--modbus HOST:PORT] "
                    "[--allow-writes]");
        R.Kind = ckServe;
    } else {
        throw EUsageError("unknown command '" + Name + "'");
    }
}

// A port name the program cannot take is a command line error, told before anything is opened.
void CheckPortName(const std::string& Port) {
    if (IsNetworkPortName(Port)) {
        TNetworkPortName Parsed;
        std::string Error;
        if (!ParseNetworkPortName(Port, Parsed, Error)) throw EUsageError(Error);
        return;
    }
    if (!ResolveSerialPortPath(Port).empty()) return;
    if (Port[0] == '/')
        throw EUsageError("'" + Port + "' is a device node, not a port name: use --device " + Port);
    std::string Upper = Port;
    for (char& C : Upper) C = static_cast<char>(std::toupper(static_cast<unsigned char>(C)));
    if (!ResolveSerialPortPath(Upper).empty())
        throw EUsageError("no port is named '" + Port + "'; port names are upper case: " + Upper);
    throw EUsageError("no port is named '" + Port +
                      "': port names are COM1 to COM64, socket://HOST:PORT and rfc2217://HOST:PORT");
}

// Commands that change the board act only on the port named: a search could find another board.
bool ChangesBoard(TCommandKind Kind) {
    switch (Kind) {
        case ckSet:
        case ckProgramDownload:
        case ckPlcRun:
        case ckPlcStop:
        case ckPlcStep:
        case ckPlcEnable:
        case ckPlcDisable:
        case ckEepromSave:
        case ckEepromRecall:
        case ckSettingsRecall:
        case ckBootloader:
            return true;
        default:
            return false;
    }
}

bool IsNumberWord(const std::string& Word) {
    return Word.size() > 1 && Word[0] == '-' && (std::isdigit(static_cast<unsigned char>(Word[1])) != 0);
}

}  // namespace

const char* QuantityName(TQuantity What) {
    return Quantities[What].Name;
}

TCliRequest ParseArguments(const std::vector<std::string>& Args) {
    TCliRequest R;
    std::vector<std::string> Words;
    bool IntervalGiven = false, CountGiven = false, SecondsGiven = false, WritesGiven = false;
    bool OptionsEnded = false;
    for (size_t I = 0; I < Args.size(); ++I) {
        std::string Arg = Args[I];
        if (OptionsEnded || Arg.empty() || Arg[0] != '-' || Arg == "-" || IsNumberWord(Arg)) {
            Words.push_back(Arg);
            continue;
        }
        if (Arg == "--") {
            OptionsEnded = true;
            continue;
        }
        std::string Inline;  // the value of --name=value
        bool HasInline = false;
        if (const size_t Eq = Arg.find('='); Arg.rfind("--", 0) == 0 && Eq != std::string::npos) {
            Inline = Arg.substr(Eq + 1);
            Arg.resize(Eq);
            HasInline = true;
        }
        const auto Value = [&]() -> std::string {
            if (HasInline) return Inline;
            if (I + 1 >= Args.size()) throw EUsageError("option '" + Arg + "' needs a value");
            return Args[++I];
        };
        const auto Flag = [&] {
            if (HasInline) throw EUsageError("option '" + Arg + "' takes no value");
        };
        if (Arg == "--port" || Arg == "-p") {
            R.Port = Value();
            if (R.Port.empty()) throw EUsageError("empty port name");
        } else if (Arg == "--device" || Arg == "-d") {
            R.Device = Value();
            if (R.Device.empty() || R.Device[0] != '/')
                throw EUsageError("--device needs a path, like /dev/ttyACM0");
        } else if (Arg == "--json" || Arg == "-j") {
            Flag();
            R.Json = true;
        } else if (Arg == "--help" || Arg == "-h") {
            Flag();
            R.Help = true;
        } else if (Arg == "--version" || Arg == "-V") {
            Flag();
            R.Version = true;
        } else if (Arg == "--interval") {
            const std::string Text = Value();
            char* End = nullptr;
            R.IntervalSecs = std::strtod(Text.c_str(), &End);
            if (Text.empty() || *End != '\0' || !std::isfinite(R.IntervalSecs) || R.IntervalSecs < 0 ||
                R.IntervalSecs > 86400)
                throw EUsageError("interval '" + Text + "' is not a number of seconds from 0 to 86400");
            IntervalGiven = true;
        } else if (Arg == "--seconds") {
            const std::string Text = Value();
            char* End = nullptr;
            R.CaptureSecs = std::strtod(Text.c_str(), &End);
            if (Text.empty() || *End != '\0' || !std::isfinite(R.CaptureSecs) || R.CaptureSecs <= 0 ||
                R.CaptureSecs > 86400)
                throw EUsageError("seconds '" + Text + "' is not a number of seconds above 0, up to 86400");
            SecondsGiven = true;
        } else if (Arg == "--count") {
            R.Count = NumberIn(Value(), "count", 1, INT32_MAX);
            CountGiven = true;
        } else if (Arg == "--csv") {
            R.CsvFile = Value();
            if (R.CsvFile.empty()) throw EUsageError("empty file name for --csv");
        } else if (Arg == "--allow-writes") {
            Flag();
            R.Mqtt.AllowWrites = R.Modbus.AllowWrites = true;
            WritesGiven = true;
        } else if (ParseModbusOption(R.Modbus, Arg, Value)) {
        } else if (!ParseMqttOption(R.Mqtt, Arg, Value, Flag)) {
            throw EUsageError("unknown option '" + Arg + "'");
        }
    }
    if (!R.Port.empty() && !R.Device.empty()) throw EUsageError("give --port or --device, not both");
    if (Words.empty()) {
        if (R.Help || R.Version) return R;
        throw EUsageError("no command given");
    }
    ParseCommand(R, Words);
    if (!R.Port.empty()) CheckPortName(R.Port);
    if (ChangesBoard(R.Kind) && R.Port.empty() && R.Device.empty()) {
        const std::string Name = Words[0] + (R.Kind == ckSet || R.Kind == ckBootloader ? "" : " " + Words[1]);
        throw EUsageError("'" + Name + "' changes the board, so it needs the board's port: give --port (or " +
                          "--device); only commands that just read search the ports");
    }
    if (R.Kind == ckCapture) {
        if (IntervalGiven) throw EUsageError("--interval belongs to watch");
        if (!SecondsGiven && !CountGiven) throw EUsageError("capture needs --seconds S or --count N");
    } else if (R.Kind != ckWatch && (IntervalGiven || CountGiven || !R.CsvFile.empty())) {
        throw EUsageError("--interval, --count and --csv belong to watch");
    }
    if (R.Kind != ckCapture && SecondsGiven) throw EUsageError("--seconds belongs to capture");
    if (WritesGiven && R.Kind != ckMqtt && R.Kind != ckModbus && R.Kind != ckServe)
        throw EUsageError("--allow-writes belongs to mqtt, modbus and serve");
    CheckMqttRequest(R);
    CheckModbusRequest(R);
    return R;
}

std::string HelpText() {
    return R"(Usage: velmorant-cli [OPTION]... COMMAND [ARGUMENT]...
Configure, monitor and program a Velmorant board from the command line.

Commands:
  ports                       list the serial ports; ports in use are marked
  info                        the board's firmware version and program line count
  read                        one reading: port states, analog inputs, temperature
  get pin N                   pin N's state (0..47)
  get port|dir N              port N's state or direction byte (0..5; bit set = input)
  get pullup N                whether port N's pull-ups are on (ports 0 and 2)
  get offset N                analog input N's ADC offset (0..4)
  get period                  the PLC's logic update period (0..15: 1/2^n of full speed)
  set pin N 0|1               set a pin; set port|dir N 0..255; set pullup N 0|1;
  set ...                     set offset N -128..128; set period 0..15
  watch                       readings as data-log rows until Ctrl+C (or --count rows)
  capture A0 [A1 ...|P0 ...]  the analog inputs (A0..A4) or ports (P0..P5) named, read in turn as
                              fast as the line allows, as CSV rows (time in ms since the start,
                              a column each) until --seconds or --count or Ctrl+C; then a
                              summary: samples, rate, lowest and highest value of each
  program download FILE       the program of a settings file (.velmor) to the board
  program upload FILE         the board's program into a settings file
  plc run|stop                run or pause the PLC program
  plc step [LINE]             execute one line (by default the board's next) and print the next
  plc enable|disable          switch PLC mode on or off
  eeprom save|recall          store the board's settings in its EEPROM, or reload them from it
  settings save FILE          the board's whole configuration and program into a settings file
  settings recall FILE        a settings file's configuration and program to the board
  bootloader                  reboot the board into its firmware-update mode
  mqtt --broker HOST[:PORT]   bridge the board to an MQTT broker until stopped: readings every
                              500 ms, Home Assistant discovery, commands with --allow-writes
  modbus                      serve the board as a Modbus TCP server until stopped: pins as coils
                              and discrete inputs, readings and settings as registers, writes
                              with --allow-writes (see the map below)
  serve                       hold the board and share it until stopped: with --listen the
                              shared port (the board's own commands, for the window, this tool's
                              --port socket://HOST:PORT and scripts), with --broker the MQTT
                              bridge, with --modbus HOST:PORT the Modbus server, all at once on
                              one connection to the board

Options:
  -p, --port NAME       the board's port: COM1..COM64 (see 'ports'), socket://HOST:PORT or
                        rfc2217://HOST:PORT; without it (or --device) a command that only
                        reads tries every free port
  -d, --device PATH     the board's device node, like /dev/ttyACM0
  -j, --json            machine-readable output (one JSON value; watch: one object a line;
                        capture: the summary)
      --interval S      watch: seconds between readings (default 1; 0 as fast as the board answers)
      --count N         watch: stop after N readings; capture: after N samples of each input
      --csv FILE        watch, capture: write the rows to FILE (CR LF line ends) instead of
                        standard output (capture's summary goes to standard error without it)
      --seconds S       capture: how long to capture

MQTT options (mqtt; needs --port or --device):
      --broker HOST[:PORT]       the broker (port 1883, or 8883 with --cafile)
      --node NAME                the board's name in topics (default: HOST_PORT, the
                                 host's name and the port's)
      --prefix TOPIC             the topics' prefix (default velmorant/NODE)
      --discovery-prefix TOPIC   Home Assistant's discovery prefix (default homeassistant)
      --no-discovery             publish no Home Assistant discovery
      --allow-writes             obey pin/N/set and port/N/set for output pins and ports
      --username NAME            the broker's user name
      --password-file FILE       the password, read from the first line of FILE
      --cafile FILE              use TLS, trusting the certificate authorities in FILE
      --cert FILE, --key FILE    a client certificate and its key for TLS

Modbus options (modbus; needs --port or --device):
      --listen HOST:PORT         the address to serve on (default 127.0.0.1:1502; Modbus has
                                 no authentication, so another address exposes the board)
      --unit N                   answer only unit id N (default: any)
      --allow-writes             (also mqtt) let clients set outputs and settings
      --modbus HOST:PORT         serve: the Modbus server's address, as --listen is modbus'

Shared port (serve --listen HOST:PORT; a port alone is 127.0.0.1:PORT): each client's commands
go to the board one at a time, between the service's own readings, and what they change is
known to the bridge and the Modbus server at once. Anyone who reaches the address may change
the board as its window could: there is no password. BTLDR is refused: a firmware update needs
the service stopped.

Modbus map (zero-based; writes need --allow-writes):
  discrete inputs 0-47   pin states
  coils 0-47             pin states; writing sets an output pin or a PLC variable (24-47)
  input registers 0-4    analog inputs (0-1023); 5 temperature (F); 6 tenths of a degree C
  holding registers 0-5  port states; 6-8 directions of ports 0-2; 9, 10 pull-ups of ports 0
                         and 2; 11-15 ADC offsets; 16 update period; 17 PLC run mode
  Exceptions: 01 write not allowed, 02 outside the map or an input pin, 03 value out of range,
  0A another unit id, 0B the value could not be read or the board is lost.

  -h, --help            show this help and exit
  -V, --version         show the version and exit

Commands that change the board (set, program download, plc, eeprom, settings recall,
bootloader, mqtt, modbus, serve) act only on the port given with --port or --device, never on one
found by searching.

When the board cannot be reached, the message names the port, its device, and why: no such
device, permission denied, in use by another program, no answer from a Velmorant, or the
network's reason (unknown host, connection refused, no answer within 3 s).

Exit status: 0 on success, 1 when the board or a file failed, 2 for a command line error
(nothing is sent then; a malformed port name and a command that changes the board without
--port are command line errors).
Numbers may be given in hexadecimal as 0xF0 or $F0.
)";
}

}  // namespace velcli

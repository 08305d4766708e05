#pragma once
// modbus: the board as a Modbus TCP server (libmodbus), its values from the last tick, its writes
// sent to the board at once.
#include <functional>
#include <string>

#include "CliArgs.h"
#include "CliBoardHost.h"

namespace velcli {

struct TSession;

// Takes one modbus option of the command line (Value fetches its argument); false when Arg is none
// of them. Throws EUsageError.
bool ParseModbusOption(TModbusOptions& Options, const std::string& Arg,
                       const std::function<std::string()>& Value);
// Refuses a request whose modbus options do not fit together (or belong to no modbus command).
void CheckModbusRequest(TCliRequest& R);
// The server as a front end of a served board.
TFrontEndMaker ModbusServer(TSession& S);
// Serves the board on PortName until SIGINT or SIGTERM; the exit code.
int RunModbus(TSession& S, const std::string& PortName);

}  // namespace velcli

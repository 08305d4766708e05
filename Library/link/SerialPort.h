#pragma once
// Serial port access: open, configure, read what is buffered, write, purge, list COM ports.
// Texts are UTF-8 in memory; on the line every character travels as one byte (its low 8 bits).
#include <bitset>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "Failure.h"

// An open port: a file descriptor. INVALID_HANDLE_VALUE means no port is open.
using THandle = int;
inline constexpr THandle INVALID_HANDLE_VALUE = -1;

// Port numbers 0..71; EnumerateSerialPorts only ever puts 1..64 in it.
using TSerialPortSet = std::bitset<72>;

// Opens "COMn", a device node by its absolute path, or a network port "socket://HOST:PORT" or
// "rfc2217://HOST:PORT" (see NetPort.h), with the settings text "baud,data,parity,stop,flow";
// INVALID_HANDLE_VALUE on any failure. A network port that cannot be reached leaves the reason as the
// last serial error. A dropped connection is a hang-up. While WakeFd (a TWakeEvent's descriptor) is
// raised, the open and every wait and write on the port fail at once with errno ECANCELED.
THandle OpenSerialPort(const std::string& PortName, const std::string& Settings, int WakeFd = -1);
// Closes a valid handle; the variable always ends up invalid.
void CloseSerialPort(THandle& Handle);
// Discards both buffers; failures are recorded with ReportSerialError.
void FlushSerialPort(THandle Handle);
// Reads the bytes already received, never waiting; returns their count. Throws ESerialError on an invalid
// handle.
int ReadFromSerialPort(THandle Handle, std::string& Text);
// Writes every byte of Text; true when all were written.
bool WriteToSerialPort(THandle Handle, const std::string& Text);
// Waits up to TimeoutMs for input, a hang-up or an error on the port; false when the port hung up or failed
// with nothing left to read, true on input or when the time ran out quietly.
// (The stand-in for busy polling: returns early as soon as something happens.)
bool WaitForSerialInput(THandle Handle, int TimeoutMs);
// True when the port reported a hang-up (the device went away) at the last wait or read.
bool SerialPortHungUp(THandle Handle);
// Lists COM1..COM64 that open; with IncludeBusy also those another program holds or we may not open.
void EnumerateSerialPorts(bool IncludeBusy, TSerialPortSet& Ports);
// True when the last EnumerateSerialPorts found a port that exists but we lack permission to open.
bool LastEnumerationHadPermissionDenied();
// What to do about it, for every front end alike.
extern const char* const SerialPermissionAdvice;
// The COM names whose device node is there now, without opening any: a look that disturbs no device.
std::vector<std::string> PresentSerialPortNames();
// "COM%d".
std::string SerialPortName(uint8_t Number);
// Resolves "COMn" to a device node: the link ports/COMn in the settings folder, else the default table.
// Empty for names that are not "COM" (exact case) followed by a number 1..64 without leading zeros.
std::string ResolveSerialPortPath(const std::string& PortName);
// The device node a port name leads to: a COM name's as ResolveSerialPortPath gives it, an absolute
// path as it stands (a node named by the user, with no COM name of its own); empty otherwise.
std::string SerialDevicePath(const std::string& PortName);
// The folder holding the ports/ links: $XDG_CONFIG_HOME/Tarnwick/Velmorant/ (or ~/.config/...), with "/".
std::string SerialPortLinksFolder();
// Records "PMI:%s failed. Error code=%d" (errno) as the last serial error (see RecordSerialError).
void ReportSerialError(const std::string& Name);
// Records Text, worded for the user, as the last serial error (kind Network) and writes it to
// stderr (unless the echo is off).
void RecordSerialError(const std::string& Text);
// Whether serial errors are also written to stderr (on at start); a program that words every
// failure for its user itself turns it off.
void SetSerialErrorEcho(bool On);
// Returns the last serial error text and empties it.
std::string GetLastSerialError();
// The last serial error with its kind (OsError with its errno for ReportSerialError, Network for a
// network peer's reason); empties it as GetLastSerialError does.
TFailure TakeLastSerialFailure();

// The Index-th field (0-based) of Text split at Separator, trimmed of codes 0..32; empty when missing.
std::string GetDelimitedField(const std::string& Text, int Index, char Separator);
// One character per byte, the code equal to the byte (Latin-1 to UTF-8).
std::string BytesToString(std::string_view Bytes);
// One byte per character, the low 8 bits of its code (UTF-8 to bytes; invalid sequences byte for byte).
std::string StringToBytes(std::string_view Text);

#pragma once
// Ports served over the network by a port server (ser2net and the like): "socket://HOST:PORT" for
// raw TCP, where the server keeps its own line settings, and "rfc2217://HOST:PORT", where the line
// settings, purges and modem lines travel as RFC 2217 asks. Either name works wherever a "COMn"
// does. Neither protocol has authentication or encryption: reach a remote server through a tunnel.
#include <string>
#include <vector>

class TIniFile;

enum TNetworkScheme { nsRawTcp, nsRfc2217 };

struct TNetworkPortName {
    TNetworkScheme Scheme = nsRawTcp;
    std::string Host;  // a name or an address; an IPv6 address without its brackets
    int Port = 0;      // 1..65535
};

// True when Name starts like a network port name ("socket://" or "rfc2217://", any case), well
// formed or not: such a name is never a tty.
bool IsNetworkPortName(const std::string& Name);
// Splits a network port name; false with Error ("... is not a network port name ...") when it is
// malformed or its port is out of range.
bool ParseNetworkPortName(const std::string& Name, TNetworkPortName& Parsed, std::string& Error);

// The network port names the user keeps in the settings file, in the order they were added;
// malformed entries are left out.
std::vector<std::string> ReadNetworkPortNames(const TIniFile& Ini);
// Keeps Names (malformed names and repeats left out) in place of the stored list. Throws EFileError
// as TIniFile::WriteString when the file cannot be written.
void WriteNetworkPortNames(TIniFile& Ini, const std::vector<std::string>& Names);

// Network port names and the list of them kept in the settings file.
#include "NetPort.h"

#include <algorithm>
#include <charconv>

#include "IniFile.h"

namespace {

const char* const Section = "NetworkPorts";
const char* const Key = "Names";
// Names hold neither blanks nor this, so one value keeps the whole list and shrinking it leaves no
// stale keys behind.
constexpr char Separator = ' ';

struct TSchemeName {
    const char* Prefix;
    TNetworkScheme Scheme;
};
constexpr TSchemeName Schemes[] = {{"socket://", nsRawTcp}, {"rfc2217://", nsRfc2217}};

bool StartsWithNoCase(const std::string& Text, const char* Prefix) {
    size_t I = 0;
    for (; Prefix[I] != '\0'; ++I) {
        if (I >= Text.size()) return false;
        char C = Text[I];
        if (C >= 'A' && C <= 'Z') C = static_cast<char>(C - 'A' + 'a');
        if (C != Prefix[I]) return false;
    }
    return true;
}

// Letters, digits, '-', '.' and '_' (seen in local names): nothing that could smuggle a path, an
// option or a second address into the name.
bool IsHostChar(char C) {
    return (C >= 'a' && C <= 'z') || (C >= 'A' && C <= 'Z') || (C >= '0' && C <= '9') || C == '-' ||
           C == '.' || C == '_';
}

bool IsIpv6Char(char C) {
    return (C >= '0' && C <= '9') || (C >= 'a' && C <= 'f') || (C >= 'A' && C <= 'F') || C == ':' || C == '.';
}

}  // namespace

bool IsNetworkPortName(const std::string& Name) {
    return std::any_of(std::begin(Schemes), std::end(Schemes),
                       [&](const TSchemeName& S) { return StartsWithNoCase(Name, S.Prefix); });
}

bool ParseNetworkPortName(const std::string& Name, TNetworkPortName& Parsed, std::string& Error) {
    const std::string Expected = "\"" + Name +
                                 "\" is not a network port name: expected socket://HOST:PORT or "
                                 "rfc2217://HOST:PORT";
    const TSchemeName* Scheme =
        std::find_if(std::begin(Schemes), std::end(Schemes),
                     [&](const TSchemeName& S) { return StartsWithNoCase(Name, S.Prefix); });
    if (Scheme == std::end(Schemes)) {
        Error = Expected;
        return false;
    }
    const std::string Rest = Name.substr(std::char_traits<char>::length(Scheme->Prefix));
    std::string Host;
    size_t PortStart;
    if (!Rest.empty() && Rest.front() == '[') {
        const size_t Close = Rest.find(']');
        if (Close == std::string::npos || Close + 1 >= Rest.size() || Rest[Close + 1] != ':') {
            Error = Expected;
            return false;
        }
        Host = Rest.substr(1, Close - 1);
        if (Host.empty() || !std::all_of(Host.begin(), Host.end(), IsIpv6Char)) {
            Error = Expected;
            return false;
        }
        PortStart = Close + 2;
    } else {
        const size_t Colon = Rest.rfind(':');
        if (Colon == std::string::npos || Colon == 0) {
            Error = Expected;
            return false;
        }
        Host = Rest.substr(0, Colon);
        if (!std::all_of(Host.begin(), Host.end(), IsHostChar)) {
            Error = Expected;
            return false;
        }
        PortStart = Colon + 1;
    }
    const std::string PortText = Rest.substr(PortStart);
    if (PortText.empty() ||
        !std::all_of(PortText.begin(), PortText.end(), [](char C) { return C >= '0' && C <= '9'; })) {
        Error = Expected;
        return false;
    }
    long Port = 0;
    const auto [End, Ec] = std::from_chars(PortText.data(), PortText.data() + PortText.size(), Port);
    if (Ec != std::errc() || End != PortText.data() + PortText.size() || Port < 1 || Port > 65535) {
        Error = "The port number in \"" + Name + "\" is out of range: it must be 1 to 65535";
        return false;
    }
    Parsed = {Scheme->Scheme, Host, static_cast<int>(Port)};
    return true;
}

std::vector<std::string> ReadNetworkPortNames(const TIniFile& Ini) {
    const std::string Value = Ini.ReadString(Section, Key, "");
    std::vector<std::string> Names;
    size_t At = 0;
    while (At < Value.size()) {
        size_t End = Value.find(Separator, At);
        if (End == std::string::npos) End = Value.size();
        std::string Name = Value.substr(At, End - At);
        TNetworkPortName Parsed;
        std::string Error;
        if (!Name.empty() && ParseNetworkPortName(Name, Parsed, Error) &&
            std::find(Names.begin(), Names.end(), Name) == Names.end())
            Names.push_back(std::move(Name));
        At = End + 1;
    }
    return Names;
}

void WriteNetworkPortNames(TIniFile& Ini, const std::vector<std::string>& Names) {
    std::vector<std::string> Kept;
    std::string Value;
    for (const std::string& Name : Names) {
        TNetworkPortName Parsed;
        std::string Error;
        if (!ParseNetworkPortName(Name, Parsed, Error) ||
            std::find(Kept.begin(), Kept.end(), Name) != Kept.end())
            continue;
        // Each name costs its length and a separator; what no longer fits in one value is dropped
        // rather than cut into a name that would point elsewhere.
        if (Value.size() + Name.size() + 1 > TIniFile::MaxValueLength) break;
        if (!Value.empty()) Value += Separator;
        Value += Name;
        Kept.push_back(Name);
    }
    Ini.WriteString(Section, Key, Value);
}

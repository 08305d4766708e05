// What a Modbus client sends: the stream splits into frames or is refused, and each frame is either
// an exception or a request whose writes are all allowed, inside the map and within their ranges;
// libmodbus then answers it from the mapping without reading past the frame's buffer.
#include <modbus/modbus.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cstdint>

#include "CliModbusMap.h"
#include "FuzzSupport.h"

using velfuzz::Check;

namespace {

struct TServer {
    modbus_t* Context = modbus_new_tcp("127.0.0.1", 1502);
    modbus_mapping_t* Mapping = modbus_mapping_new_start_address(0, 48, 0, 48, 0, 18, 0, 7);
    int Pair[2] = {-1, -1};
    TServer() { socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0, Pair); }
};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* Data, size_t Size) {
    static TServer Server;
    if (Size < 2) return 0;
    const std::string Input = velfuzz::AsString(Data, Size);
    // The first byte: whether writes are allowed, the board online, its port directions known.
    velcli::TModbusImage Image;
    Image.Online = (Data[0] & 1) != 0;
    const bool AllowWrites = (Data[0] & 2) != 0;
    const int Unit = (Data[0] & 4) != 0 ? Data[1] : -1;
    if ((Data[0] & 8) != 0) {
        Image.Ports.fill(Data[1]);
        Image.Analog.fill(Data[1] * 4);
        Image.Temperature = Data[1] - 128;
        Image.Settings.fill(Data[1] % 3);
    }
    size_t At = 2;
    for (long Length; At < Size && (Length = velcli::ModbusFrameLength(Data + At, Size - At)) > 0;
         At += Length) {
        Check(Length >= 8 && Length <= static_cast<long>(velcli::ModbusMaxFrame), "frame length", Input);
        uint8_t Frame[velcli::ModbusMaxFrame + 8] = {};
        std::copy_n(Data + At, Length, Frame);
        const auto D = velcli::DecideModbusRequest(Frame, Length, Image, AllowWrites, Unit);
        Check(D.Exception == velcli::mxNone || D.Writes.empty(), "writes beside an exception", Input);
        Check(AllowWrites || D.Writes.empty(), "a write not allowed", Input);
        Check(Image.Online || D.Exception != velcli::mxNone, "an answer without a board", Input);
        for (const auto& W : D.Writes) {
            Check(W.Index >= 0 && W.Index < (W.Kind == velcli::TModbusWrite::Pin ? 48 : 6), "index", Input);
            Check(W.Value >= -128 && W.Value <= 255, "value", Input);
        }
        modbus_set_socket(Server.Context, Server.Pair[0]);
        if (D.Exception != velcli::mxNone)
            modbus_reply_exception(Server.Context, Frame, D.Exception);
        else
            modbus_reply(Server.Context, Frame, static_cast<int>(Length), Server.Mapping);
        uint8_t Drain[512];
        while (read(Server.Pair[1], Drain, sizeof Drain) > 0) {
        }
    }
    return 0;
}

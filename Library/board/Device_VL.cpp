// TVelmorant: life cycle, identification and the command/reply exchange.
#include "Device_VL.h"

#include <poll.h>

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <charconv>
#include <chrono>
#include <clocale>
#include <cwctype>

#include "TimeoutMgr.h"

namespace {

constexpr const char* SerialSettings = "19200,8,N,1,NONE";
// The board drops a half-received command on a lone CR, but needs a moment before it listens again.
constexpr auto SettleTime = std::chrono::milliseconds(50);
// Far more lines than a GOTO can address (six bits); a larger count is a garbled reply, and taking
// it would size the program without bound.
constexpr int MaxProgramLineCount = 256;
// A board answers in order: a reply that missed its deadline comes in just ahead of the reply to the
// next command, which follows within the time a short line takes on the wire.
constexpr int OverdueReplyGraceMs = 100;

bool IsBlankOrControl(char C) {
    return static_cast<unsigned char>(C) <= 32;
}

std::string TrimControl(const std::string& Text) {
    auto First = std::find_if_not(Text.begin(), Text.end(), IsBlankOrControl);
    auto Last = std::find_if_not(Text.rbegin(), Text.rend(), IsBlankOrControl).base();
    return First < Last ? std::string(First, Last) : std::string();
}

// Text without its last character when that is a letter. Texts are UTF-8, so the last character
// may span several bytes; letters beyond ASCII are judged by the locale's classification.
std::string WithoutTrailingLetter(const std::string& Text) {
    size_t Start = Text.size() - 1;
    while (Start > 0 && (static_cast<unsigned char>(Text[Start]) & 0xC0) == 0x80) --Start;
    const auto Lead = static_cast<unsigned char>(Text[Start]);
    const size_t Length = Text.size() - Start;
    wint_t Code = Lead;
    if (Length == 2 && (Lead & 0xE0) == 0xC0) {
        Code = Lead & 0x1F;
    } else if (Length == 3 && (Lead & 0xF0) == 0xE0) {
        Code = Lead & 0x0F;
    } else if (Length == 4 && (Lead & 0xF8) == 0xF0) {
        Code = Lead & 0x07;
    } else if (Length != 1 || Lead >= 0x80) {
        return Text;  // not a well-formed character: certainly no letter
    }
    for (size_t I = Start + 1; I < Text.size(); ++I) Code = (Code << 6) | (Text[I] & 0x3F);
    const bool Letter = Code < 0x80 ? std::isalpha(static_cast<int>(Code)) != 0 : std::iswalpha(Code) != 0;
    return Letter ? Text.substr(0, Start) : Text;
}

// Reads the whole of Text as a floating number. The board always writes "."; the user's decimal
// separator is accepted as well so that a locale with a decimal comma reads the same texts.
bool ReadFloat(const std::string& Text, double& Value) {
    const std::string LocalSeparator = std::localeconv()->decimal_point;
    std::string Plain;  // Text with "." as its separator, for the locale-free conversion
    size_t I = 0;
    if (I < Text.size() && (Text[I] == '+' || Text[I] == '-')) Plain += Text[I++];
    bool Digits = false, Separator = false;
    while (I < Text.size()) {
        if (std::isdigit(static_cast<unsigned char>(Text[I]))) {
            Plain += Text[I++];
            Digits = true;
        } else if (!Separator && Text[I] == '.') {
            Plain += Text[I++];
            Separator = true;
        } else if (!Separator && !LocalSeparator.empty() &&
                   Text.compare(I, LocalSeparator.size(), LocalSeparator) == 0) {
            Plain += '.';
            I += LocalSeparator.size();
            Separator = true;
        } else {
            break;
        }
    }
    if (!Digits) return false;
    if (I < Text.size() && (Text[I] == 'e' || Text[I] == 'E')) {
        Plain += Text[I++];
        if (I < Text.size() && (Text[I] == '+' || Text[I] == '-')) Plain += Text[I++];
        const size_t ExponentStart = I;
        while (I < Text.size() && std::isdigit(static_cast<unsigned char>(Text[I]))) Plain += Text[I++];
        if (I == ExponentStart) return false;
    }
    if (I != Text.size()) return false;
    const char* Begin = Plain.data() + (Plain[0] == '+' ? 1 : 0);
    const char* End = Plain.data() + Plain.size();
    const auto Result = std::from_chars(Begin, End, Value);
    return Result.ec == std::errc() && Result.ptr == End;
}

// After a missed reply, the first line to arrive may be that reply. Whatever else arrives within the
// grace time is read too, and only the last whole line is kept: it answers the command just sent.
void KeepLastLine(THandle Handle, std::string& Response) {
    const TTimeoutCount Grace(OverdueReplyGraceMs);
    while (!Grace.IsExpired() && WaitForSerialInput(Handle, std::max(Grace.MillisecsLeft(), 1))) {
        std::string Piece;
        ReadFromSerialPort(Handle, Piece);
        Response += Piece;
        // Only the last line counts: a peer that keeps sending cannot grow the text without bound.
        if (Response.size() > 4 * TVelmorant::MaxReplyLength)
            Response.erase(0, Response.size() - 2 * TVelmorant::MaxReplyLength);
    }
    const size_t LastEnd = Response.rfind('\r');
    const size_t PreviousEnd = LastEnd == 0 ? std::string::npos : Response.rfind('\r', LastEnd - 1);
    const size_t Start = PreviousEnd == std::string::npos ? 0 : PreviousEnd + 1;
    Response = Response.substr(Start, LastEnd + 1 - Start);
}

}  // namespace

TVelmorant::TVelmorant() = default;

TVelmorant::~TVelmorant() {
    Disconnect();
}

bool TVelmorant::FindDevice(const std::string& PortName) {
    CloseSerialPort(FComPortHandle);
    FInterrupt.Clear();
    FComPortHandle = OpenSerialPort(PortName, SerialSettings, FInterrupt.Fd());
    if (FComPortHandle == INVALID_HANDLE_VALUE) {
        FDevicePresent = false;
        return false;
    }
    FComPortName = PortName;
    FReplyOverdue = false;

    WriteToSerialPort(FComPortHandle, "\r");
    // A pause that an interruption ends.
    pollfd Wake{FInterrupt.Fd(), POLLIN, 0};
    poll(&Wake, Wake.fd >= 0 ? 1 : 0, static_cast<int>(SettleTime.count()));

    if (!SendCommandToDevice("VER", FResponse) || !IsVersionText(FResponse)) {
        CloseSerialPort(FComPortHandle);
        FDevicePresent = false;
        return false;
    }
    FVersion = FResponse;

    if (SendCommandToDevice("PC", FResponse)) {
        std::string Upper = FResponse;
        std::transform(Upper.begin(), Upper.end(), Upper.begin(),
                       [](unsigned char C) { return static_cast<char>(std::toupper(C)); });
        const size_t Marker = Upper.find("L:");
        std::string Count = Marker == std::string::npos ? std::string() : FResponse.substr(Marker + 2);
        Count = Count.substr(0, Count.find(' '));
        int Lines = 0;
        if (!ReadDecimal(Count, Lines) || Lines > MaxProgramLineCount) Lines = 0;
        // A negative count cannot size the program; such a board has no usable program.
        FProgramLineCount = std::max(Lines, 0);
        FProgramLines.resize(static_cast<size_t>(FProgramLineCount));
    }

    FDevicePresent = FProgramLineCount > 0;
    return FDevicePresent;
}

void TVelmorant::Disconnect() {
    CloseSerialPort(FComPortHandle);
    FDevicePresent = false;
    FReplyOverdue = false;
    FInterrupt.Clear();
}

bool TVelmorant::SendCommandToDevice(const std::string& Command, std::string& Response) {
    Response.clear();
    FExchangeFailure = {};
    if (FInterrupt.Raised()) return ExchangeFailed(TFailureKind::Interrupted);
    if (FComPortHandle == INVALID_HANDLE_VALUE) return ExchangeFailed(TFailureKind::HungUp);
    if (FOnExchange) FOnExchange(Command);

    // Purging first makes every reply belong to its own command.
    FlushSerialPort(FComPortHandle);
    if (!Command.empty() && !WriteToSerialPort(FComPortHandle, Command + "\r")) {
        const int Error = errno;
        if (FInterrupt.Raised() || Error == ECANCELED) return ExchangeFailed(TFailureKind::Interrupted);
        return ExchangeFailed(PortHungUp() ? TFailureKind::HungUp : TFailureKind::OsError, Error);
    }

    const TTimeoutCount Deadline(ReplyTimeoutMs);
    for (;;) {
        std::string Piece;
        ReadFromSerialPort(FComPortHandle, Piece);
        Response += Piece;
        if (Response.find('\r') != std::string::npos) {
            // The purge cannot drop a late reply that arrives only after this command went out.
            if (FReplyOverdue) KeepLastLine(FComPortHandle, Response);
            FReplyOverdue = false;
            Response = TrimControl(Response);
            if (Response.size() <= MaxReplyLength) return true;
        }
        // No board sends so long a line: the rest of it may still be coming, so the next exchange
        // keeps only its own reply.
        if (Response.size() > MaxReplyLength) {
            Response.resize(MaxReplyLength);
            FReplyOverdue = true;
            return ExchangeFailed(TFailureKind::BadReply);
        }
        if (Deadline.IsExpired()) {
            if (!Command.empty()) FReplyOverdue = true;
            return ExchangeFailed(TFailureKind::NoAnswer);
        }
        // Sleep in the kernel until bytes arrive instead of polling; a hang-up ends the wait and
        // the exchange at once, since no reply can come any more. At least 1 ms, so that the last
        // fraction of a millisecond before the deadline is not spent spinning.
        if (!WaitForSerialInput(FComPortHandle, std::max(Deadline.MillisecsLeft(), 1)))
            return ExchangeFailed(FInterrupt.Raised() ? TFailureKind::Interrupted : TFailureKind::HungUp);
    }
}

bool TVelmorant::ExchangeFailed(TFailureKind Kind, int Errno) {
    FExchangeFailure = {Kind, Errno, {}};
    return false;
}

void TVelmorant::EnterBootloadMode() {
    if (!FDevicePresent) return;
    // The board reboots at once and never answers, so there is nothing to purge or wait for.
    WriteToSerialPort(FComPortHandle, "BTLDR\r");
    Disconnect();
}

bool TVelmorant::IsVersionText(const std::string& Text) {
    if (Text.empty()) return false;
    const std::string Number = WithoutTrailingLetter(Text);
    double Value = -1;
    if (!ReadFloat(Number, Value)) Value = -1;
    return Value > 0;
}

std::string TVelmorant::LastCommError() const {
    return GetLastSerialError();
}

bool TVelmorant::PortHungUp() const {
    return FComPortHandle != INVALID_HANDLE_VALUE && SerialPortHungUp(FComPortHandle);
}

void TVelmorant::DoError(const std::string& Text) {
    // An operation that failed after a reply came failed on what the reply said.
    const TFailureKind Kind =
        FExchangeFailure.Kind == TFailureKind::None ? TFailureKind::BadReply : FExchangeFailure.Kind;
    if (FOnErrorProc) FOnErrorProc({Kind, FExchangeFailure.Errno, Text});
}

void TVelmorant::DoError(TFailureKind Kind, const std::string& Text) {
    if (FOnErrorProc) FOnErrorProc({Kind, 0, Text});
}

bool TVelmorant::Exchange(const std::string& Command, const char* ErrorText) {
    if (SendCommandToDevice(Command, FResponse)) return true;
    if (ErrorText != nullptr) DoError(ErrorText);
    return false;
}

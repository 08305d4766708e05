#pragma once
// The Velmorant board: its model in memory (TVelmorant), its PLC program lines and their
// text and four-byte forms. The only way the program talks to the board.
#include <array>
#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <vector>

#include "Numbers.h"
#include "SerialPort.h"
#include "WakeEvent.h"

class TIniFile;

using TPortNumber = int;         // 0..5
using TPinNumber = int;          // 0..47; pin p is bit p % 8 of port p / 8
using TAnalogInputNumber = int;  // 0..4; input 4 carries the thermistor

enum TPLCRunMode : uint8_t { rmPaused = 0, rmStep = 1, rmRun = 2 };

// Error callback: receives one fixed English text per failed exchange.

// ---------------------------------------------------------------------------------------------
// Program lines

enum TProgramLineType : uint8_t { ltNOP = 0, ltGOTO = 1, ltIF = 2, ltSET = 3, ltDELAY = 4 };

// Operand codes shared by LValue, RValue1, RValue2: 0..5 PORTn, 6..53 PINn, 54..58 AINn, 59..314 constants.
inline constexpr int FirstPinCode = 6;
inline constexpr int FirstAnalogCode = 54;
inline constexpr int FirstConstantCode = 59;
inline constexpr int MaxGoToLine = 60;

struct TLValueSpec {
    int32_t EncodedSpec = 0;
    std::string ParseError;
    bool operator==(const TLValueSpec&) const = default;
};
struct TRValueSpec {
    int32_t EncodedSpec = 0;
    std::string ParseError;
    bool operator==(const TRValueSpec&) const = default;
};
struct TComparisonSpec {
    int32_t EncodedSpec = 0;
    std::string ParseError;
    bool operator==(const TComparisonSpec&) const = default;
};
struct TOperationSpec {
    int32_t EncodedSpec = 0;
    std::string ParseError;
    bool operator==(const TOperationSpec&) const = default;
};

// One PLC line. The all-zero record is the empty line: a NOP without comment.
struct TProgramLine {
    std::string Comment;
    TComparisonSpec Comparison;
    int32_t GoToLine = 0;
    TProgramLineType LineType = ltNOP;
    TLValueSpec LValue;
    TRValueSpec RValue1;
    TRValueSpec RValue2;
    TOperationSpec Operation;
    std::string ParseError;
    bool operator==(const TProgramLine&) const = default;
};

using TCompiledLineBytes = std::array<uint8_t, 4>;

extern const std::array<const char*, 5> LineKeywords;       // "nop" "goto" "if" "set" "delay"
extern const std::array<const char*, 4> ComparisonSymbols;  // "=" "<>" "<" ">"
extern const std::array<const char*, 5> OperationSymbols;   // "+" "-" "AND" "OR" "XOR"

// Parses Text into Line (ParseError empty, or exactly one message); the Comment stays.
void TextToProgramLine(TProgramLine& Line, const std::string& Text);
// The same; Hint says what a valid line leaves unread after its statement ("nop later", "delay 5 x"),
// or what a line in error must keep to beyond its error's words (the range of a constant or of
// GOTO's line), and is empty otherwise.
void TextToProgramLine(TProgramLine& Line, const std::string& Text, std::string& Hint);
// The canonical text of Line ("set PORT0 = 5 OR 0").
std::string ProgramLineToText(const TProgramLine& Line);
// Resets Line to the cleared NOP (operation OR, second value the constant 0); the Comment stays.
void ClearProgramLine(TProgramLine& Line);

// Parses one operand word into Spec: its code, or code 0 and one message ending in ". ".
void TextToLValue(TLValueSpec& Spec, const std::string& Text);
void TextToRValue(TRValueSpec& Spec, const std::string& Text);
void TextToComparison(TComparisonSpec& Spec, const std::string& Text);
void TextToOperation(TOperationSpec& Spec, const std::string& Text);
// An operand's text; an lvalue code outside 0..53 gives "", a symbol outside its table "?<code>".
std::string LValueToText(const TLValueSpec& Spec);
std::string RValueToText(const TRValueSpec& Spec);
std::string ComparisonToText(const TComparisonSpec& Spec);
std::string OperationToText(const TOperationSpec& Spec);

// Packs Line into four bytes; throws ERangeError for a field that does not fit.
TCompiledLineBytes CompileProgramLine(const TProgramLine& Line);
// Unpacks Bytes into Line (cleared first, Comment kept); false for a line type above 4.
bool CompiledToProgramLine(TProgramLine& Line, const TCompiledLineBytes& Bytes);
// True when the two lines hold the same code, the fields their statement uses; comments do not count.
bool SameProgramCode(const TProgramLine& A, const TProgramLine& B);
// Eight hex digits, byte 0 first; throws EConvertError "'$G1' is not a valid integer value".
TCompiledLineBytes HexToCompiledLine(const std::string& Text);

// The kinds of setting a board keeps in its EEPROM, as bits.
enum TChangedSetting : uint8_t {
    csDirections = 1,
    csPullups = 2,
    csOffsets = 4,
    csPeriod = 8,
    csPLCMode = 16,
    csProgram = 32,
    csOther = 64,  // settings of a kind not known
};
// "port directions, pull-ups and program lines"; "settings" where no kind is known.
std::string ChangedSettingsText(uint8_t Settings);

// ---------------------------------------------------------------------------------------------
// The board

class TVelmorant {
public:
    static constexpr int PortCountConst = 6;
    static constexpr int PinCount = 48;
    static constexpr int AnalogInputCount = 5;
    static constexpr int ReplyTimeoutMs = 1000;
    static constexpr size_t MaxReplyLength = 256;

    TVelmorant();
    virtual ~TVelmorant();
    TVelmorant(const TVelmorant&) = delete;
    TVelmorant& operator=(const TVelmorant&) = delete;

    // Connection and exchange
    // Opens PortName and identifies the board ("VER", "PC"); true when a board with program lines answered.
    bool FindDevice(const std::string& PortName);
    // Closes the port; every cached value stays. Ends an interruption.
    void Disconnect();
    // Ends the exchange in progress at once and fails every later one at once, sending nothing, until
    // FindDevice, Disconnect or ClearInterrupt. Safe from any thread.
    void Interrupt() { FInterrupt.Raise(); }
    // Ends an interruption: exchanges go out again.
    void ClearInterrupt() { FInterrupt.Clear(); }
    // True while interrupted.
    bool Interrupted() const { return FInterrupt.Raised(); }
    // Sends Command + CR and waits up to 1000 ms for a CR-ended reply (trimmed); false on failure, and
    // for a reply longer than any the board sends (MaxReplyLength), whatever the peer keeps sending.
    bool SendCommandToDevice(const std::string& Command, std::string& Response);
    // Sends "BTLDR" without waiting, then disconnects; nothing without a board.
    void EnterBootloadMode();
    // What a shared board's client sent, passed to the board as it is (a blank line is not sent). What
    // the board took is followed in the cache as the program's own setters would; where it cannot be
    // (a command unanswered or unknown, a RECALL whose read-back failed), SettingsUnknown says so.
    struct TPassed {
        bool Answered = false;
        bool SettingsUnknown = false;
    };
    TPassed PassCommand(const std::string& Line, std::string& Reply);
    // The command's word as the board reads it: the leading run of capitals after any blanks.
    static std::string CommandWord(const std::string& Line);
    // True when Text reads as a version number above 0 ("1.05", "2.10b").
    static bool IsVersionText(const std::string& Text);
    // Called with each command just before it goes out; may throw to end the operation in progress
    // there (nothing of that exchange is sent).
    void SetOnExchange(std::function<void(const std::string&)> Proc) { FOnExchange = std::move(Proc); }

    const std::string& ComPortName() const { return FComPortName; }
    bool DevicePresent() const { return FDevicePresent; }
    // Called with each failed operation: its error text and what kind of failure ended it.
    const TFailureProc& OnError() const { return FOnErrorProc; }
    void SetOnError(TFailureProc Proc) { FOnErrorProc = std::move(Proc); }
    // How the last exchange failed (kind and errno; no text); kind None after a reply.
    const TFailure& LastExchangeFailure() const { return FExchangeFailure; }
    // The last serial failure text; reading empties it.
    std::string LastCommError() const;
    const std::string& Version() const { return FVersion; }
    // The length of the program array (not the count the board reported).
    int ProgramLineCount() const { return static_cast<int>(FProgramLines.size()); }
    // The number of lines the board reported at identification (20 before any).
    int ReportedProgramLineCount() const { return FProgramLineCount; }
    int PortCount() const { return PortCountConst; }
    // True when the open port hung up during the last exchange (the board was unplugged).
    bool PortHungUp() const;

    // I/O state: live values (one exchange each). A reply that is not what the command returns (no
    // number, or one outside the quantity's range) is a failed read and reported as one: its error
    // text followed by BadReplySuffix, or NotUnderstoodSuffix when the board answered "?".
    // These are empty for a failed read, and without a board (then quietly).
    std::optional<int> ReadPortState(TPortNumber PortNumber);
    std::optional<bool> ReadPinState(TPinNumber PinNumber);
    std::optional<int> ReadAnalogInputValue(TAnalogInputNumber Index);
    std::optional<int> ReadTemperature();
    // The same reads giving 0 or false for a failed one.
    int ReadPortStateOrZero(TPortNumber PortNumber);
    bool ReadPinStateOrFalse(TPinNumber PinNumber);
    int ReadAnalogInputValueOrZero(TAnalogInputNumber Index);
    int ReadTemperatureOrZero();

    // I/O state: cached settings
    uint8_t GetPortDirection(TPortNumber Index) const;
    void SetPortDirection(TPortNumber PortNumber, uint8_t Value);
    bool GetPullupsEnabled(TPortNumber Index) const;
    void SetPullupsEnabled(TPortNumber Index, bool Value);
    // Asks the board ("AORD%d"); the cached offset when it cannot. Never writes the cache.
    int ReadADCOffset(TAnalogInputNumber Index);
    // Clamps to -128..128, caches, sends "AOWR%d %d".
    void SetADCOffset(TAnalogInputNumber Index, int Value);
    // The cached offset, without traffic.
    int CachedADCOffset(TAnalogInputNumber Index) const;
    const std::string& GetPinComment(TPinNumber Index) const;
    void SetPinComment(TPinNumber Index, const std::string& Value);
    int UpdatePeriod() const { return FUpdatePeriod; }
    void SetUpdatePeriod(int Value);
    bool PLCEnabled() const { return FPLCEnabled; }
    void SetPLCEnabled(bool Value);
    TPLCRunMode PLCRunMode() const { return FPLCRunMode; }
    // Always attempts "PLCRM %d", also without a board.
    void SetPLCRunMode(TPLCRunMode Value);
    bool Changed() const { return FChanged; }
    void SetChanged(bool Value) {
        FChanged = Value;
        if (!Value) FChangedSettings = 0;
    }
    // Which settings were changed since the last SAVE or RECALL (TChangedSetting bits); 0 when
    // unknown or none.
    uint8_t ChangedSettings() const { return FChangedSettings; }
    void SetPinState(TPinNumber PinNumber, bool Value);
    void SetPortState(TPortNumber PortNumber, int Value);
    // Runs program line Line once ("PLCEX %d"); true with NextLine set when the board named the next
    // line (0 or more). A failure reports no error text.
    bool SingleStep(int Line, int& NextLine);

    // Added to an operation's error text when the board answered "?" or something else than the
    // command returns. A setter answered with "?" has failed and is reported so, as for no reply.
    static constexpr const char* NotUnderstoodSuffix = ": the board did not understand the command";
    static constexpr const char* BadReplySuffix = ": the board's reply is not a valid value";

    // Whole-configuration transfer
    // Reads the board's settings and program into the cache (after "RECALL" when FromEEPROM).
    // Throws ERangeError for a direction outside 0..255 and EConvertError for a non-hex line.
    bool RetrieveSettings(bool FromEEPROM);
    // Whether the last retrieval's "RECALL" was taken by the board.
    bool RecalledFromEEPROM() const { return FRecalledFromEEPROM; }
    // "SAVE"; clears Changed on success.
    bool SaveSettingsInEEPROM();

    // Program lines (index 0..ProgramLineCount-1, else std::out_of_range)
    TProgramLine GetProgramLine(int Index) const;
    // Stores a copy; sets Changed when the line's code differs (a comment alone does not).
    void SetProgramLine(int Index, const TProgramLine& Value);
    // "PLCWR%d XXXXXXXX"; false without a board or when the exchange fails (then reported).
    bool DownloadProgramLine(int Line);
    // "PLCRD%d" into the line (comment kept); false on failure.
    bool UploadProgramLine(int Line);

    // The cached settings and program, taken and put back without traffic: a retrieval cut short
    // or a change the board refused must not leave the cache half new.
    struct TCache {
        std::array<int, AnalogInputCount> ADCOffsets{};
        bool Changed = false;
        std::array<std::string, PinCount> PinComments;
        bool PLCEnabled = true;
        TPLCRunMode PLCRunMode = rmPaused;
        std::array<uint8_t, PortCountConst> PortDirection{};
        std::vector<TProgramLine> ProgramLines;
        std::array<bool, PortCountConst> PullupsEnabled{};
        int UpdatePeriod = 0;
    };
    TCache Cache() const;
    void RestoreCache(const TCache& Cache);

    // Settings files (throw EFileError, ERangeError; see the file format)
    bool SaveSettingsInFile(const std::string& Filename, bool SavePLC);
    bool SaveSettingsInFile(TIniFile& IniFile, bool SavePLC);
    // The settings of a board that is gone: without port states, which it can no longer give, so
    // that recalling the file leaves its outputs as they are.
    bool SaveSettingsWithoutStates(const std::string& Filename);
    bool SaveProgramInFile(TIniFile& IniFile);
    // Refuses (EFileError naming the file) a file that is missing or holds none of the sections.
    bool RecallSettingsFromFile(const std::string& Filename, bool RecallPLC);
    // As above; with KeepMissing a setting the file leaves out is left as it is, in the cache and on
    // the board, instead of taking its default (directions 255, pull-ups off, period, program lines).
    bool RecallSettingsFromFile(const std::string& Filename, bool RecallPLC, bool KeepMissing);
    bool RecallProgramFromFile(TIniFile& IniFile);
    // Sends what a settings file holds (the directions, the pull-ups and, with SendPLC, the period
    // and every program line) from the cache, as a recall of that file would.
    void SendSettings(bool SendPLC);
    // Takes only the pin and line comments a file holds; nothing else changes and nothing is sent.
    // False (nothing taken) when the file is missing, unreadable or no settings file.
    bool RecallCommentsFromFile(const std::string& Filename);

private:
    // Reports Text with the kind of the last exchange's failure (BadReply when it had a reply).
    void DoError(const std::string& Text);
    void DoError(TFailureKind Kind, const std::string& Text);
    // Ends a failed exchange: notes how it failed; always false.
    bool ExchangeFailed(TFailureKind Kind, int Errno = 0);
    // One exchange into FResponse with its error text on failure; true on success.
    bool Exchange(const std::string& Command, const char* ErrorText);
    // Exchange for a command that changes something: a "?" reply is a failure too, reported as such.
    bool Command(const std::string& Command, const char* ErrorText);
    // Exchange for a command that returns a number in Min..Max: empty (reported) when it failed or
    // the reply is something else.
    std::optional<int> Query(const std::string& Command, const char* ErrorText, int Min, int Max);
    // Reports ErrorText with the suffix that says how FResponse is wrong.
    void BadReply(const char* ErrorText);
    bool RecallProgram(TIniFile& Ini, bool KeepMissing);
    bool SaveSettings(TIniFile& IniFile, bool SavePLC, bool SaveStates);
    // FResponse read as a decimal integer, Default when it is none.
    int ResponseAsInt(int Default) const;
    // Text as a signed decimal integer (optional sign, digits, 32-bit range, nothing else).
    static bool ReadDecimal(const std::string& Text, int& Value);
    bool ReadPLCEnabled();
    TPLCRunMode ReadPLCRunMode();
    void CheckProgramIndex(int Index) const;
    // A setting command the board took, applied to the cache; false when it is none this knows.
    bool FollowCommand(const std::string& Word, const std::vector<std::string>& Args);

    std::array<int, AnalogInputCount> FADCOffsets{};
    bool FChanged = false;
    uint8_t FChangedSettings = 0;
    void MarkChanged(uint8_t Setting) {
        FChanged = true;
        FChangedSettings |= Setting;
    }
    THandle FComPortHandle = INVALID_HANDLE_VALUE;
    std::string FComPortName = "COM1";
    bool FDevicePresent = false;
    TFailureProc FOnErrorProc;
    TFailure FExchangeFailure;
    bool FRecalledFromEEPROM = false;
    std::function<void(const std::string&)> FOnExchange;
    std::array<std::string, PinCount> FPinComments;
    bool FPLCEnabled = true;
    TPLCRunMode FPLCRunMode = rmPaused;
    std::array<uint8_t, PortCountConst> FPortDirection{255, 255, 255, 255, 255, 255};
    int FProgramLineCount = 20;
    std::vector<TProgramLine> FProgramLines = std::vector<TProgramLine>(60);
    std::array<bool, PortCountConst> FPullupsEnabled{};
    std::string FResponse;
    int FUpdatePeriod = 0;
    std::string FVersion;
    // A command's reply missed its deadline and may still arrive during a later exchange.
    bool FReplyOverdue = false;
    TWakeEvent FInterrupt;
};

// The file commands: a program or a whole configuration between a settings file and the board.
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <filesystem>

#include "CliSession.h"
#include "Errors.h"
#include "IniFile.h"

namespace velcli {

namespace {

const char* const ProgramSection = "Program";
// No board reports more lines than this (the driver refuses larger counts).
constexpr int MostProgramLines = 256;

std::string Quoted(const std::string& File) {
    return "\"" + File + "\"";
}

std::string LineKey(int Line) {
    return "Line" + std::to_string(Line);
}

// Trailing blanks and a final ". " of the parser's messages go; the sentence ends once.
std::string Sentence(std::string Text) {
    while (!Text.empty() && (Text.back() == ' ' || Text.back() == '.')) Text.pop_back();
    return Text + ".";
}

// The lines a file holds beyond the first Count, as long as they are more than an empty "nop".
int LastLineBeyond(const TIniFile& Ini, int Count) {
    int Last = -1;
    for (int Line = Count; Line < MostProgramLines; ++Line) {
        const std::string Text = Ini.ReadString(ProgramSection, LineKey(Line), "nop");
        TProgramLine Parsed;
        TextToProgramLine(Parsed, Text);
        if (Parsed.LineType != ltNOP) Last = Line;
    }
    return Last;
}

// The numbers a settings file holds, by the range the program writes them in.
struct TNumberKey {
    const char* Section;
    std::string Key;
    int Min, Max;
};

std::vector<TNumberKey> NumberKeys(bool Ports, bool Program) {
    std::vector<TNumberKey> Keys;
    if (Ports) {
        for (int Port = 0; Port < 3; ++Port)
            Keys.push_back({"PortDirections", "Port" + std::to_string(Port), 0, 255});
        for (int Port : {0, 2}) Keys.push_back({"Pullups", "Port" + std::to_string(Port), 0, 1});
        for (int Port = 0; Port < TVelmorant::PortCountConst; ++Port)
            Keys.push_back({"PortStates", "Port" + std::to_string(Port), 0, 255});
    }
    if (Program) Keys.push_back({ProgramSection, "Period", 0, 15});
    return Keys;
}

// Each number the file holds must be one the program would have written there: anything else is
// refused before a byte is sent, naming its line and key (the board would get 255 or 0 in its place).
void CheckNumbers(const TIniFile& Ini, const std::string& File, bool Ports, bool Program) {
    const std::string Missing = "\x01";
    for (const TNumberKey& K : NumberKeys(Ports, Program)) {
        const std::string Text = Ini.ReadString(K.Section, K.Key, Missing);
        if (Text == Missing) continue;
        std::string Number = Text;
        if (Number.size() > 2 && Number[0] == '0' && (Number[1] == 'x' || Number[1] == 'X'))
            Number = std::string("$").append(Number, 2);  // as the file is read
        int32_t Value = 0;
        if (TryStrToInt(Number, Value) && Value >= K.Min && Value <= K.Max) continue;
        throw EFileError(Quoted(File) + ", line " + std::to_string(Ini.KeyLine(K.Section, K.Key)) + ", [" +
                         K.Section + "] " + K.Key + "=" + Text + ": not a whole number from " +
                         std::to_string(K.Min) + " to " + std::to_string(K.Max) + "; nothing was sent.");
    }
}

// The notes are on text that a line leaves unread: the line is sent without it.
std::vector<std::string> CheckProgramSection(const TIniFile& Ini, const std::string& File) {
    const std::string Missing = "\x01";
    CheckNumbers(Ini, File, false, true);
    std::vector<std::string> Notes;
    for (int Line = 0; Line < MostProgramLines; ++Line) {
        const std::string Text = Ini.ReadString(ProgramSection, LineKey(Line), Missing);
        if (Text == Missing) continue;
        TProgramLine Parsed;
        std::string Hint;
        TextToProgramLine(Parsed, Text, Hint);
        const std::string Where =
            Quoted(File) + ", program line " + std::to_string(Line) + " \"" + Text + "\": ";
        if (!Parsed.ParseError.empty()) throw EFileError(Where + Sentence(Parsed.ParseError));
        if (!Hint.empty()) Notes.push_back(Where + Sentence(Hint));
        try {
            CompileProgramLine(Parsed);
        } catch (const ERangeError& E) {
            throw EFileError(Quoted(File) + ", program line " + std::to_string(Line) + ": " + E.what());
        }
    }
    return Notes;
}

// A file's own comments survive a save over it: the board keeps none, and would otherwise blank them.
void KeepFileComments(TVelmorant& D, const std::string& File) {
    std::error_code Error;
    if (!std::filesystem::exists(File, Error)) return;
    TVelmorant Offline;  // without a board, a recall sends nothing
    try {
        Offline.RecallSettingsFromFile(File, true);
    } catch (const EVelmorantError&) {
        return;  // not a settings file: nothing to keep
    }
    for (int Pin = 0; Pin < TVelmorant::PinCount; ++Pin) D.SetPinComment(Pin, Offline.GetPinComment(Pin));
    const int Lines = std::min(D.ProgramLineCount(), Offline.ProgramLineCount());
    for (int Line = 0; Line < Lines; ++Line) {
        TProgramLine Kept = D.GetProgramLine(Line);
        Kept.Comment = Offline.GetProgramLine(Line).Comment;
        D.SetProgramLine(Line, Kept);
    }
}

// The board's period when the file names none: the recall would otherwise send the cache's 0.
void TakeBoardPeriodUnlessInFile(TSession& S, const TIniFile& Ini) {
    const std::string Missing = "\x01";
    if (Ini.ReadString(ProgramSection, "Period", Missing) != Missing) return;
    std::string Reply;
    int32_t Period = 0;
    if (S.Device().SendCommandToDevice("UR?", Reply) && TryStrToInt(Reply, Period))
        S.Device().SetUpdatePeriod(Period);
}

}  // namespace

void CheckFileToWrite(const std::string& File) {
    const size_t Slash = File.rfind('/');
    const std::string Folder = Slash == std::string::npos ? "." : File.substr(0, Slash + 1);
    // The file is replaced through a new file beside it, so the folder must take one.
    int Error = access(Folder.c_str(), W_OK | X_OK) == 0 ? 0 : errno;
    struct stat Info {};
    if (Error == 0 && stat(File.c_str(), &Info) == 0) {
        if (!S_ISREG(Info.st_mode))
            Error = S_ISDIR(Info.st_mode) ? EISDIR : EINVAL;
        else if (access(File.c_str(), W_OK) != 0)
            Error = errno;
    }
    if (Error != 0) throw EFileError("Unable to write to " + File + ". " + std::strerror(Error));
}

std::vector<std::string> CheckFileToSend(const TCliRequest& R) {
    if (R.Kind != ckProgramDownload && R.Kind != ckSettingsRecall) return {};
    const TIniFile Ini(R.File);
    if (const std::string Reason = Ini.OpenError(); !Reason.empty())
        throw EFileError("Cannot open " + Quoted(R.File) + ". " + Reason);
    if (R.Kind == ckProgramDownload && !Ini.SectionExists(ProgramSection))
        throw EFileError(Quoted(R.File) + " holds no PLC program.");
    if (R.Kind == ckSettingsRecall) {
        TVelmorant Offline;  // checks the file as a whole, sending nothing
        Offline.RecallSettingsFromFile(R.File, false);
        CheckNumbers(Ini, R.File, true, false);
    }
    return CheckProgramSection(Ini, R.File);
}

int RunFileCommand(TSession& S) {
    const TCliRequest& R = S.Request;
    TVelmorant& D = S.Device();
    TIniFile Ini(R.File);
    const bool Sending = R.Kind == ckProgramDownload || R.Kind == ckSettingsRecall;
    const bool WithProgram = R.Kind != ckSettingsRecall || Ini.SectionExists(ProgramSection);
    if (Sending && WithProgram) {
        if (const int Last = LastLineBeyond(Ini, D.ProgramLineCount()); Last >= 0)
            throw EFileError(Quoted(R.File) + " has program line " + std::to_string(Last) +
                             ", beyond the board's " + std::to_string(D.ProgramLineCount()) +
                             " lines; nothing was sent.");
        if (R.Kind == ckProgramDownload) TakeBoardPeriodUnlessInFile(S, Ini);
    }
    switch (R.Kind) {
        case ckProgramDownload:
            D.RecallProgramFromFile(Ini);
            break;
        case ckSettingsRecall:
            // A file without a program leaves the board's program alone, and what a file leaves out
            // stays as the board has it rather than taking a default.
            D.RecallSettingsFromFile(R.File, WithProgram, true);
            break;
        case ckProgramUpload:
        case ckSettingsSave:
            D.RetrieveSettings(false);
            if (S.ErrorCount > 0) return ecFailed;  // a half-read board is not written to a file
            KeepFileComments(D, R.File);
            if (R.Kind == ckProgramUpload)
                D.SaveProgramInFile(Ini);
            else
                D.SaveSettingsInFile(Ini, true);
            break;
        default:
            break;
    }
    if (S.ErrorCount > 0) return ecFailed;
    if (R.Json)
        S.Out << "{\"file\":" << JsonString(R.File) << ",\"program_lines\":" << D.ProgramLineCount() << "}\n";
    return ecSuccess;
}

}  // namespace velcli

// A settings file from anywhere: the INI reader, the in-place writer and the recall into a driver
// without a board. A key written to a copy of the file reads back as written and leaves every other
// key as it was; a recall ends normally or with one of the application's errors; and whatever it
// left in the driver survives a save and a second recall unchanged.
#include <unistd.h>

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "Device_VL.h"
#include "Errors.h"
#include "FuzzSupport.h"
#include "IniFile.h"

using velfuzz::Check;
using velfuzz::Fail;

namespace {

namespace fs = std::filesystem;

struct TKey {
    std::string Section, Key;
};

// The keys a settings file holds, plus one in a section of its own.
const std::vector<TKey>& KnownKeys() {
    static const std::vector<TKey> Keys = [] {
        std::vector<TKey> K;
        for (int Port = 0; Port < 3; ++Port) K.push_back({"PortDirections", "Port" + std::to_string(Port)});
        K.push_back({"Pullups", "Port0"});
        K.push_back({"Pullups", "Port2"});
        for (int Port = 0; Port < 6; ++Port) K.push_back({"PortStates", "Port" + std::to_string(Port)});
        for (int Pin = 0; Pin < 48; ++Pin) K.push_back({"PinComments", "Pin" + std::to_string(Pin)});
        K.push_back({"Program", "Period"});
        for (int Line = 0; Line < 60; ++Line) {
            K.push_back({"Program", "Line" + std::to_string(Line)});
            K.push_back({"Program", "Line" + std::to_string(Line) + ".comment"});
        }
        K.push_back({"Extra", "Key"});
        return K;
    }();
    return Keys;
}

// One folder per process, on a memory file system when there is one: every write is synced.
struct TFiles {
    std::string Folder, Input, Copy, Saved;
    TFiles() {
        const char* Base = fs::is_directory("/dev/shm") ? "/dev/shm" : "/tmp";
        std::string Template = std::string(Base) + "/velmorant-fuzz-XXXXXX";
        if (mkdtemp(Template.data()) == nullptr) std::abort();
        Folder = Template;
        Input = Folder + "/input.velmor";
        Copy = Folder + "/copy.velmor";
        Saved = Folder + "/saved.velmor";
    }
    ~TFiles() {
        std::error_code Ignored;
        fs::remove_all(Folder, Ignored);
    }
};

TFiles& Files() {
    static TFiles Instance;
    return Instance;
}

void WriteFile(const std::string& Path, const std::string& Bytes) {
    std::ofstream Out(Path, std::ios::binary | std::ios::trunc);
    Out.write(Bytes.data(), static_cast<std::streamsize>(Bytes.size()));
    if (!Out) std::abort();
}

// What a value reads back as after WriteString: a line cannot hold a line break.
std::string AsStored(std::string Value) {
    for (char& C : Value)
        if (C == '\r' || C == '\n') C = ' ';
    return Value;
}

const std::string Missing = "\x01missing\x01";

std::vector<std::string> ReadAll(const TIniFile& Ini) {
    std::vector<std::string> Values;
    for (const TKey& K : KnownKeys()) Values.push_back(Ini.ReadString(K.Section, K.Key, Missing));
    return Values;
}

void CheckInPlaceWrite(const std::string& Input) {
    WriteFile(Files().Copy, Input);
    TIniFile Ini(Files().Copy);
    const std::vector<std::string> Before = ReadAll(Ini);

    // The key and the value come from the input itself: its size picks the key, its last line
    // (cut short) is the value.
    const std::vector<TKey>& Keys = KnownKeys();
    const size_t Chosen = Input.size() % Keys.size();
    const size_t LastBreak = Input.find_last_of('\n');
    std::string Value = LastBreak == std::string::npos ? Input : Input.substr(LastBreak + 1);
    if (Value.size() > 200) Value.resize(200);
    try {
        Ini.WriteString(Keys[Chosen].Section, Keys[Chosen].Key, Value);
    } catch (const EFileError&) {
        Fail("a writable copy could not be written", Input);
    }

    const TIniFile Fresh(Files().Copy);
    const std::vector<std::string> After = ReadAll(Fresh);
    for (size_t I = 0; I < Keys.size(); ++I) {
        if (I == Chosen)
            Check(After[I] == AsStored(Value), "the written key does not read back as written", Input);
        else
            Check(After[I] == Before[I], "writing one key changed another", Input);
    }
    Check(Ini.ReadString(Keys[Chosen].Section, Keys[Chosen].Key, Missing) == AsStored(Value),
          "the writing object reads another value than the file holds", Input);
}

struct TSnapshot {
    std::vector<int> Directions, Pullups;
    std::vector<std::string> Comments;
    int Period = 0;
    std::vector<TProgramLine> Program;
};

TSnapshot Snapshot(const TVelmorant& Driver) {
    TSnapshot S;
    for (int Port = 0; Port < Driver.PortCount(); ++Port) {
        S.Directions.push_back(Driver.GetPortDirection(Port));
        S.Pullups.push_back(Driver.GetPullupsEnabled(Port));
    }
    for (int Pin = 0; Pin < TVelmorant::PinCount; ++Pin) S.Comments.push_back(Driver.GetPinComment(Pin));
    S.Period = Driver.UpdatePeriod();
    for (int Line = 0; Line < Driver.ProgramLineCount(); ++Line)
        S.Program.push_back(Driver.GetProgramLine(Line));
    return S;
}

void CheckSameSettings(const TSnapshot& First, const TSnapshot& Second, const std::string& Input) {
    Check(First.Directions == Second.Directions, "directions differ after a save and a recall", Input);
    Check(First.Pullups == Second.Pullups, "pull-ups differ after a save and a recall", Input);
    Check(First.Period == Second.Period, "the update period differs after a save and a recall", Input);
    for (size_t Pin = 0; Pin < First.Comments.size(); ++Pin)
        Check(AsStored(First.Comments[Pin]) == Second.Comments[Pin],
              "a pin comment differs after a save and a recall", Input);
    Check(First.Program.size() == Second.Program.size(), "the program length changed", Input);
    for (size_t Line = 0; Line < First.Program.size(); ++Line) {
        Check(velfuzz::SameCode(First.Program[Line], Second.Program[Line]),
              "a program line differs after a save and a recall", Input);
        Check(AsStored(First.Program[Line].Comment) == Second.Program[Line].Comment,
              "a line comment differs after a save and a recall", Input);
    }
}

void CheckRecall(const std::string& Input) {
    WriteFile(Files().Input, Input);
    TVelmorant First;
    try {
        First.RecallSettingsFromFile(Files().Input, true);
    } catch (const EFileError&) {
        return;  // refused before anything was read: the driver is as new, nothing to compare
    } catch (const EVelmorantError&) {
        // A direction out of range: what was applied before it stays, and must survive a save.
    }

    std::error_code Ignored;
    fs::remove(Files().Saved, Ignored);
    TVelmorant Second;
    try {
        First.SaveSettingsInFile(Files().Saved, true);
        Second.RecallSettingsFromFile(Files().Saved, true);
    } catch (const EVelmorantError& Error) {
        Fail(("a file the driver saved could not be saved or recalled: " + std::string(Error.what())).c_str(),
             Input);
    }
    CheckSameSettings(Snapshot(First), Snapshot(Second), Input);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* Data, size_t Size) {
    const std::string Input = velfuzz::AsString(Data, Size);
    CheckInPlaceWrite(Input);
    CheckRecall(Input);
    return 0;
}

#pragma once
// Set-up of the editor and logging tests: the window on a simulated board linked as COM1 (the
// port a first start tries first), the traffic without the timer's polling, and file helpers.
#include <algorithm>
#include <filesystem>
#include <memory>
#include <string>
#include <vector>

#include "FormsTestSupport.h"
#include "TestFiles.h"

namespace edtest {

using veltest::ReadFile;
using veltest::WriteFile;

inline int ErrorBoxes(const TScriptedUi& Ui) {
    return static_cast<int>(std::count_if(Ui.Messages.begin(), Ui.Messages.end(),
                                          [](const TMessageRequest& m) { return m.Kind == mkError; }));
}

class TWindowFixture {
public:
    TWindowFixture() : FSim("COM1") {}
    ~TWindowFixture() { FWindow.reset(); }  // before the board and the folders go

    // Creates and shows the window, which connects to the board by itself.
    TformMain& Open() {
        FWindow = std::make_unique<TWindowUnderTest>();
        FSim.Sim().ClearCommands();
        return *FWindow->Form;
    }
    // Destroys the window as the program's end does (the driver, then the data log).
    void Destroy() { FWindow->Form.reset(); }

    TScriptedUi& Ui() { return *FWindow->Ui; }
    velsim::TSimulator& Sim() { return FSim.Sim(); }
    const std::string& Root() const { return FSim.Root(); }
    std::string Documents() const { return FSim.Root() + "/documents/"; }

    // The commands since the last ClearCommands, without the timer's polling.
    TCommands Traffic() {
        TCommands result;
        for (const std::string& c : FSim.Sim().Commands())
            if (c.rfind("PRTRD", 0) != 0 && c.rfind("ADC", 0) != 0 && c != "TEMP") result.push_back(c);
        return result;
    }

    // The files in Folder whose names start with Prefix, sorted by name.
    static std::vector<std::string> Files(const std::string& Folder, const std::string& Prefix) {
        std::vector<std::string> files;
        std::error_code error;
        for (const auto& entry : std::filesystem::directory_iterator(Folder, error))
            if (entry.path().filename().string().rfind(Prefix, 0) == 0)
                files.push_back(entry.path().string());
        std::sort(files.begin(), files.end());
        return files;
    }

private:
    velsim::TSimFixture FSim;
    std::unique_ptr<TWindowUnderTest> FWindow;
};

}  // namespace edtest

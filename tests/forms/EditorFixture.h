#pragma once
// Shared set-up of the editor and logging tests: a private home (documents, settings, data)
// in a temporary folder, a simulated board linked there as COM1 (the port a first start tries
// first), and a scripted seam that records every box and dialog and answers from a queue.
#include <QApplication>
#include <QTest>
#include <algorithm>
#include <cstdlib>
#include <deque>
#include <filesystem>
#include <fstream>
#include <memory>
#include <optional>
#include <sstream>
#include <stdexcept>
#include <string>
#include <vector>

#include "Main.h"
#include "Simulator.h"

namespace edtest {

class TScriptedUi : public TUiServices {
public:
    struct TStart {
        std::string Program;
        std::string Folder;
    };

    std::vector<TMessageRequest> Messages;
    std::deque<TMsgButton> Answers;  // empty: the first button of the box
    std::vector<TFileDialogRequest> Dialogs;
    std::deque<std::optional<std::string>> FileAnswers;  // nullopt: the user cancels
    std::vector<TStart> Starts;

    TMsgButton Message(QWidget*, const TMessageRequest& Request) override {
        Messages.push_back(Request);
        if (!Answers.empty()) {
            const TMsgButton answer = Answers.front();
            Answers.pop_front();
            return answer;
        }
        return Request.Buttons.empty() ? mbOK : Request.Buttons.front();
    }
    bool FileDialog(QWidget*, const TFileDialogRequest& Request, std::string& FileName) override {
        Dialogs.push_back(Request);
        if (FileAnswers.empty()) return false;
        const std::optional<std::string> answer = FileAnswers.front();
        FileAnswers.pop_front();
        if (!answer) return false;
        FileName = *answer;
        return true;
    }
    bool OpenUrl(const std::string&) override { return true; }
    bool StartProgram(const std::string& Program, const std::string& Folder) override {
        Starts.push_back({Program, Folder});
        return true;
    }
    int Errors() const {
        int n = 0;
        for (const auto& m : Messages) n += m.Kind == mkError ? 1 : 0;
        return n;
    }
};

// The polling of the status timer, which tests leave out of the traffic they check.
inline bool IsPolling(const std::string& Command) {
    for (const char* prefix : {"PRTRD", "ADC", "TEMP"})
        if (Command.rfind(prefix, 0) == 0) return true;
    return false;
}

inline std::string ReadFile(const std::string& Path) {
    std::ifstream in(Path, std::ios::binary);
    std::ostringstream text;
    text << in.rdbuf();
    return text.str();
}

inline void WriteFile(const std::string& Path, const std::string& Text) {
    std::ofstream(Path, std::ios::binary) << Text;
}

class TWindowFixture {
public:
    TWindowFixture() {
        char folder[] = "/tmp/velmorant-editor-XXXXXX";
        if (::mkdtemp(folder) == nullptr) throw std::runtime_error("mkdtemp failed");
        FRoot = folder;
        for (const char* name : {"XDG_CONFIG_HOME", "XDG_DATA_HOME", "XDG_DOCUMENTS_DIR", "HOME"}) {
            const char* value = std::getenv(name);
            FSaved.emplace_back(name, value ? std::optional<std::string>(value) : std::nullopt);
        }
        for (const auto& [name, sub] :
             {std::pair{"XDG_CONFIG_HOME", "/config"}, std::pair{"XDG_DATA_HOME", "/data"},
              std::pair{"XDG_DOCUMENTS_DIR", "/documents"}, std::pair{"HOME", "/home"}}) {
            std::filesystem::create_directories(FRoot + sub);
            ::setenv(name, (FRoot + sub).c_str(), 1);
        }
        FSim = std::make_unique<velsim::TSimulator>();
        if (!FSim->Start() || !FSim->LinkAs("COM1", FRoot + "/config/Tarnwick/Velmorant/"))
            throw std::runtime_error("no simulated board");
    }
    ~TWindowFixture() {
        FWindow.reset();
        FSim.reset();
        for (const auto& [name, value] : FSaved) {
            if (value)
                ::setenv(name.c_str(), value->c_str(), 1);
            else
                ::unsetenv(name.c_str());
        }
        std::error_code error;
        std::filesystem::remove_all(FRoot, error);
    }
    TWindowFixture(const TWindowFixture&) = delete;
    TWindowFixture& operator=(const TWindowFixture&) = delete;

    // Creates and shows the window, which connects to the board by itself.
    TformMain& Open() {
        auto ui = std::make_unique<TScriptedUi>();
        FUi = ui.get();
        FWindow = std::make_unique<TformMain>(std::move(ui));
        FWindow->show();
        FSim->ClearCommands();
        return *FWindow;
    }
    // Destroys the window as the program's end does (the driver, then the data log).
    void Destroy() { FWindow.reset(); }

    TformMain& Window() { return *FWindow; }
    TScriptedUi& Ui() { return *FUi; }
    velsim::TSimulator& Sim() { return *FSim; }
    std::string Documents() const { return FRoot + "/documents/"; }
    std::string Root() const { return FRoot; }

    // The commands since the last ClearCommands, without the timer's polling.
    std::vector<std::string> Traffic() const {
        std::vector<std::string> result;
        for (const std::string& c : FSim->Commands())
            if (!IsPolling(c)) result.push_back(c);
        return result;
    }

    // The data log files in Folder ("Velmorant Datalog <stamp>.csv" and the like), sorted by name.
    static std::vector<std::string> LogFiles(const std::string& Folder, const std::string& Prefix) {
        std::vector<std::string> files;
        std::error_code error;
        for (const auto& entry : std::filesystem::directory_iterator(Folder, error))
            if (entry.path().filename().string().rfind(Prefix, 0) == 0)
                files.push_back(entry.path().string());
        std::sort(files.begin(), files.end());
        return files;
    }

private:
    std::string FRoot;
    std::vector<std::pair<std::string, std::optional<std::string>>> FSaved;
    std::unique_ptr<velsim::TSimulator> FSim;
    std::unique_ptr<TformMain> FWindow;
    TScriptedUi* FUi = nullptr;
};

}  // namespace edtest

// Runs the test class on the offscreen platform unless another one was asked for.
#define VELMORANT_EDITOR_TEST_MAIN(TestClass)                                                        \
    int main(int argc, char** argv) {                                                                \
        if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM")) qputenv("QT_QPA_PLATFORM", "offscreen"); \
        QApplication app(argc, argv);                                                                \
        TestClass test;                                                                              \
        return QTest::qExec(&test, argc, argv);                                                      \
    }

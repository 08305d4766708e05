#pragma once
// Window tests: a scripted TUiServices that answers dialogs and records them, the main window on
// a simulated board, and the small helpers the window tests share.
#include <QAction>
#include <QApplication>
#include <QCheckBox>
#include <QComboBox>
#include <QLabel>
#include <QPushButton>
#include <QSpinBox>
#include <QTableWidget>
#include <QToolBar>
#include <QtTest>
#include <algorithm>
#include <deque>
#include <filesystem>
#include <memory>
#include <string>
#include <vector>

#include "Controls.h"
#include "LogRecorder.h"
#include "Main.h"
#include "Maker.h"
#include "MarkupList.h"
#include "SimFixture.h"
#include "TestFiles.h"

using veltest::ReadFile;
using veltest::WriteFile;

class TScriptedUi : public TUiServices {
public:
    std::deque<TMsgButton> Answers;  // the next message boxes' answers, in order
    std::vector<TMessageRequest> Messages;
    std::deque<std::string> FileNames;  // the next file dialogs' answers; "" cancels
    std::vector<TFileDialogRequest> FileRequests;
    std::vector<std::string> Urls;
    std::vector<std::pair<std::string, std::string>> Programs;

    // An unscripted box with one button gets it; an unscripted question is cancelled.
    TMsgButton Message(QWidget*, const TMessageRequest& Request) override {
        Messages.push_back(Request);
        if (!Answers.empty()) {
            const TMsgButton answer = Answers.front();
            Answers.pop_front();
            return answer;
        }
        return Request.Buttons.size() == 1 ? Request.Buttons.front() : mbCancel;
    }
    bool FileDialog(QWidget*, const TFileDialogRequest& Request, std::string& FileName) override {
        FileRequests.push_back(Request);
        if (FileNames.empty()) return false;
        FileName = FileNames.front();
        FileNames.pop_front();
        return !FileName.empty();
    }
    bool OpenUrl(const std::string& Url) override {
        Urls.push_back(Url);
        return true;
    }
    bool StartProgram(const std::string& Program, const std::string& Folder) override {
        Programs.emplace_back(Program, Folder);
        return true;
    }
    std::deque<std::string> TextAnswers;  // the next text prompts' answers; none left cancels
    bool AskText(QWidget*, const std::string&, const std::string&, std::string& Text) override {
        if (TextAnswers.empty()) return false;
        Text = TextAnswers.front();
        TextAnswers.pop_front();
        return true;
    }

    std::vector<std::string> Texts() const {
        std::vector<std::string> texts;
        for (const auto& m : Messages) texts.push_back(m.Text);
        return texts;
    }
};

// Lets the event loop run until the board session, the log recorder and the port prober have run
// and delivered everything asked of them so far.
inline bool Settle(TformMain& Form, int TimeoutMs = 20000) {
    return QTest::qWaitFor([&] { return Form.BackgroundIdle(); }, TimeoutMs);
}

// Runs the close sequence to its end; true when the window closed.
inline bool CloseAndSettle(TformMain& Form) {
    Form.close();
    Settle(Form);
    return !Form.isVisible();
}

using TCommands = std::vector<std::string>;

// The main window with a scripted TUiServices on a simulated board linked as ComName (COM1, the
// port a first start tries first), made for each test and gone before the board and the folders.
// Opening again replaces the window; the old one goes first, as when the program starts again.
class TWindowFixture {
public:
    explicit TWindowFixture(const std::string& ComName = "COM1", velsim::TSimBoardOptions Options = {})
        : FSim(ComName, Options) {}
    ~TWindowFixture() { Destroy(); }
    TWindowFixture(const TWindowFixture&) = delete;
    TWindowFixture& operator=(const TWindowFixture&) = delete;

    // Creates the window without showing it; it connects to the board when shown.
    TformMain& Create() {
        Destroy();
        auto ui = std::make_unique<TScriptedUi>();
        FUi = ui.get();
        FForm = std::make_unique<TformMain>(std::move(ui));
        return *FForm;
    }
    // Creates and shows the window, which connects to the board by itself, and waits for that.
    TformMain& Open() {
        Show();
        FSim.Sim().ClearCommands();
        return *FForm;
    }
    // Opens the window and stops the session's ticks, so that the board hears only what the test does.
    TformMain& OpenWithoutPolling() {
        OpenKeepingStartUp();
        FSim.Sim().ClearCommands();
        return *FForm;
    }
    // As OpenWithoutPolling, but the board's record keeps the start-up's traffic.
    TformMain& OpenKeepingStartUp() {
        Show();
        StopPolling();
        return *FForm;
    }
    // Destroys the window as the program's end does (the driver, then the data log).
    void Destroy() {
        FForm.reset();
        FUi = nullptr;
    }
    // Stops the session's ticks, so that only the test's own actions talk to the board.
    void StopPolling() {
        FForm->Session().SetTicking(false);
        Settle();
    }
    // Key clicks reach the focus widget only in the active window.
    bool Activate() {
        FForm->activateWindow();
        return QTest::qWaitForWindowActive(FForm.get());
    }
    // Waits until the window's board session has run everything posted so far.
    bool Settle() { return ::Settle(*FForm); }
    // After a test changed the driver directly: the window learns the new state as after any job.
    bool Resync() {
        FForm->Session().Resync();
        return Settle();
    }

    TScriptedUi& Ui() { return *FUi; }
    velsim::TSimulator& Sim() { return FSim.Sim(); }
    const std::string& Root() const { return FSim.Root(); }
    std::string Documents() const { return FSim.Root() + "/documents/"; }
    std::string LinksFolder() const { return FSim.LinksFolder(); }

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
        for (const std::string& name : veltest::SortedNames(Folder))
            if (name.rfind(Prefix, 0) == 0) files.push_back((std::filesystem::path(Folder) / name).string());
        return files;
    }

private:
    void Show() {
        Create();
        FForm->show();
        Settle();
    }

    velsim::TSimFixture FSim;
    TScriptedUi* FUi = nullptr;
    std::unique_ptr<TformMain> FForm;
};

// A control of Scope by its name; a name that is not there fails the test at once.
template <typename T>
T* Control(QObject& Scope, const char* Name) {
    T* control = Scope.findChild<T*>(Name);
    if (control == nullptr) qFatal("no control named %s", Name);
    return control;
}

// The window's controls, found by their names in the panel that holds them.
inline QLabel* lblStatus(TformMain& F) {
    return Control<QLabel>(F.Connection(), "lblStatus");
}
inline QLabel* lblConnected(TformMain& F) {
    return Control<QLabel>(F.Connection(), "lblConnected");
}
inline TClickableLabel* imgLogo(TformMain& F) {
    return Control<TClickableLabel>(F.Connection(), "imgLogo");
}
inline TDropDownComboBox* comboPort(TformMain& F) {
    return Control<TDropDownComboBox>(F.Connection(), "comboPort");
}
inline QPushButton* btnFind(TformMain& F) {
    return Control<QPushButton>(F.Connection(), "btnFind");
}
inline QLabel* lblFirmware(TformMain& F) {
    return Control<QLabel>(F.Connection(), "lblFirmware");
}
inline QCheckBox* chkShowTenBits(TformMain& F) {
    return Control<QCheckBox>(F.Analog(), "chkShowTenBits");
}
inline QTableWidget* gridAnalog1(TformMain& F) {
    return Control<QTableWidget>(F.Analog(), "gridAnalog1");
}
inline QTableWidget* gridAnalog2(TformMain& F) {
    return Control<QTableWidget>(F.Analog(), "gridAnalog2");
}
inline QLabel* lblTemp(TformMain& F) {
    return Control<QLabel>(F.Analog(), "lblTemp");
}
inline QSpinBox* spinThermOffset(TformMain& F) {
    return Control<QSpinBox>(F.Analog(), "spinThermOffset");
}
inline QPushButton* btnTempTable(TformMain& F) {
    return Control<QPushButton>(F.Analog(), "btnTempTable");
}
inline QCheckBox* chkEnableDataLogging(TformMain& F) {
    return Control<QCheckBox>(F.Logging(), "chkEnableDataLogging");
}
inline QSpinBox* spinLogInterval(TformMain& F) {
    return Control<QSpinBox>(F.Logging(), "spinLogInterval");
}
inline TFileNameEdit* editLogFilename(TformMain& F) {
    return Control<TFileNameEdit>(F.Logging(), "editLogFilename");
}
inline QCheckBox* chkPullupPort0(TformMain& F) {
    return Control<QCheckBox>(F.Pins(), "chkPullupPort0");
}
inline QCheckBox* chkPullupPort2(TformMain& F) {
    return Control<QCheckBox>(F.Pins(), "chkPullupPort2");
}
inline QCheckBox* chkPLCEnabled(TformMain& F) {
    return Control<QCheckBox>(F.PLC(), "chkPLCEnabled");
}
inline QComboBox* cmbxPeriod(TformMain& F) {
    return Control<QComboBox>(F.PLC(), "cmbxPeriod");
}
inline QToolBar* tbarProgram(TformMain& F) {
    return Control<QToolBar>(F.PLC(), "tbarProgram");
}
inline TPressedToolButton* tbtnStop(TformMain& F) {
    return Control<TPressedToolButton>(F.PLC(), "tbtnStop");
}
inline TPressedToolButton* tbtnSingleStep(TformMain& F) {
    return Control<TPressedToolButton>(F.PLC(), "tbtnSingleStep");
}
inline TPressedToolButton* tbtnRun(TformMain& F) {
    return Control<TPressedToolButton>(F.PLC(), "tbtnRun");
}
inline TMarkupList* listSyntax(TformMain& F) {
    return Control<TMarkupList>(F.PLC(), "listSyntax");
}
inline QPushButton* btnRecallFromEEPROM(TformMain& F) {
    return Control<QPushButton>(F.EEPROM(), "btnRecallFromEEPROM");
}
inline QPushButton* btnSaveToEEPROM(TformMain& F) {
    return Control<QPushButton>(F.EEPROM(), "btnSaveToEEPROM");
}
inline QAction* miRecallfromFile(TformMain& F) {
    return Control<QAction>(F, "miRecallfromFile");
}
inline QAction* miSavetoFile(TformMain& F) {
    return Control<QAction>(F, "miSavetoFile");
}
inline QAction* miOpenDataLog(TformMain& F) {
    return Control<QAction>(F, "miOpenDataLog");
}
inline QAction* miExit(TformMain& F) {
    return Control<QAction>(F, "miExit");
}
inline QAction* miUpdateFirmware(TformMain& F) {
    return Control<QAction>(F, "miUpdateFirmware");
}
inline QAction* miTrends(TformMain& F) {
    return Control<QAction>(F, "miTrends");
}
inline QAction* miAbout(TformMain& F) {
    return Control<QAction>(F, "miAbout");
}
inline std::array<QTableWidget*, TVelmorant::PortCountConst> PortGrids(TformMain& F) {
    std::array<QTableWidget*, TVelmorant::PortCountConst> grids{};
    for (int port = 0; port < TVelmorant::PortCountConst; ++port) grids[port] = F.Pins().PortGrid(port);
    return grids;
}
inline TCaptionPanel* PortPanel(TformMain& F, int Port) {
    return Control<TCaptionPanel>(F.Pins(), qPrintable(QString("pnlPort%1").arg(Port)));
}

inline QString Q(const std::string& Text) {
    return QString::fromStdString(Text);
}

inline QStringList ToQt(const TCommands& Commands) {
    QStringList list;
    for (const auto& c : Commands) list << QString::fromStdString(c);
    return list;
}

inline bool Contains(const TCommands& Commands, const std::string& Command) {
    return std::find(Commands.begin(), Commands.end(), Command) != Commands.end();
}

inline bool HasPrefix(const TCommands& Commands, const std::string& Prefix) {
    return std::any_of(Commands.begin(), Commands.end(),
                       [&Prefix](const std::string& c) { return c.rfind(Prefix, 0) == 0; });
}

inline int ErrorBoxes(const TScriptedUi& Ui) {
    return static_cast<int>(std::count_if(Ui.Messages.begin(), Ui.Messages.end(),
                                          [](const TMessageRequest& m) { return m.Kind == mkError; }));
}

// The lines of a file written with CRLF line ends; a last line without one is marked.
inline std::vector<std::string> Lines(const std::string& Text) {
    std::vector<std::string> lines;
    size_t start = 0;
    for (size_t end; (end = Text.find("\r\n", start)) != std::string::npos; start = end + 2)
        lines.push_back(Text.substr(start, end - start));
    if (start != Text.size()) lines.push_back("<unterminated>" + Text.substr(start));
    return lines;
}

// The byte a port's grid shows, one State cell per bit.
inline int ShownPortState(TformMain& F, int Port) {
    int value = 0;
    for (int pin = 0; pin < 8; ++pin)
        if (PortGrids(F)[Port]->item(pin, pcState)->data(Qt::DisplayRole).toInt() != 0) value |= 1 << pin;
    return value;
}

// The twelve exchanges of one status tick.
inline TCommands TickCommands() {
    return {"PRTRD0", "PRTRD1", "PRTRD2", "PRTRD3", "PRTRD4", "PRTRD5",
            "ADC0",   "ADC1",   "ADC2",   "ADC3",   "ADC4",   "TEMP"};
}

// Runs the test class in an application of AppClass, on the offscreen platform unless another
// one was asked for.
#define VELMORANT_QTEST_MAIN_IN(TestClass, AppClass)                                                 \
    int main(int argc, char** argv) {                                                                \
        if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM")) qputenv("QT_QPA_PLATFORM", "offscreen"); \
        AppClass app(argc, argv);                                                                    \
        TestClass test;                                                                              \
        return QTest::qExec(&test, argc, argv);                                                      \
    }
#define VELMORANT_QTEST_MAIN(TestClass) VELMORANT_QTEST_MAIN_IN(TestClass, QApplication)

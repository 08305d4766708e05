#pragma once
// Window tests: a scripted TUiServices that answers dialogs and records them, and the main
// window on the fixture's simulated board.
#include <QApplication>
#include <QTableWidget>
#include <QtTest>
#include <deque>
#include <memory>
#include <string>
#include <vector>

#include "Main.h"
#include "SimFixture.h"

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

    std::vector<std::string> Texts() const {
        std::vector<std::string> texts;
        for (const auto& m : Messages) texts.push_back(m.Text);
        return texts;
    }
};

// The main window with a scripted TUiServices, shown (and so connected) unless asked not to.
struct TWindowUnderTest {
    TScriptedUi* Ui = nullptr;
    std::unique_ptr<TformMain> Form;

    explicit TWindowUnderTest(bool Show = true) {
        auto ui = std::make_unique<TScriptedUi>();
        Ui = ui.get();
        Form = std::make_unique<TformMain>(std::move(ui));
        if (Show) Form->show();
    }
    // Stops the status timer, so that only the test's own actions talk to the board.
    void StopPolling() { Form->timerStatus->stop(); }
};

using TCommands = std::vector<std::string>;

inline QStringList ToQt(const TCommands& Commands) {
    QStringList list;
    for (const auto& c : Commands) list << QString::fromStdString(c);
    return list;
}

// The twelve exchanges of one status tick.
inline TCommands TickCommands() {
    return {"PRTRD0", "PRTRD1", "PRTRD2", "PRTRD3", "PRTRD4", "PRTRD5",
            "ADC0",   "ADC1",   "ADC2",   "ADC3",   "ADC4",   "TEMP"};
}

// Clicks the centre of a grid cell as the user does.
inline void ClickCell(QTableWidget* Grid, int Row, int Col) {
    const QRect cell = Grid->visualItemRect(Grid->item(Row, Col));
    QTest::mouseClick(Grid->viewport(), Qt::LeftButton, Qt::NoModifier, cell.center());
}

// Runs the test class on the offscreen platform unless another one was asked for.
#define VELMORANT_QTEST_MAIN(TestClass)                                                              \
    int main(int argc, char** argv) {                                                                \
        if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM")) qputenv("QT_QPA_PLATFORM", "offscreen"); \
        QApplication app(argc, argv);                                                                \
        TestClass test;                                                                              \
        return QTest::qExec(&test, argc, argv);                                                      \
    }

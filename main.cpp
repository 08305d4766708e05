// The program: the main window, the temperature table and the about box, and the message loop.
#include "Main.h"

#include <QMessageBox>

#include "AboutDlg.h"
#include "Application.h"
#include "Errors.h"
#include "SerialPort.h"
#include "TempTableDlg.h"

int main(int argc, char** argv) {
    TVelmorantApplication app(argc, argv);
    // The serial layer's raw records are for the command line's tests, not a window's terminal: every
    // failure reaches the user in the window's words.
    SetSerialErrorEcho(false);
    std::unique_ptr<TformMain> formMain;
    try {
        formMain = std::make_unique<TformMain>();
    } catch (const std::exception& e) {
        // Without its folders the program cannot keep anything; stop with the reason.
        QMessageBox::critical(nullptr, "Velmorant", e.what());
        return 1;
    }
    // Both dialogs live as long as the main window, which owns them.
    auto* formTempTable = new TformTempTable(formMain.get());
    auto* formAbout = new TformAbout(&formMain->Ui(), formMain.get());
    formMain->SetDialogs(formTempTable, formAbout);
    // While the window is destroyed (a box at its exit may be open) formMain is already empty.
    app.InstallTerminationHandlers([&formMain] {
        if (formMain) formMain->CloseWithoutQuestion();
    });
    formMain->show();
    const int result = app.exec();
    formMain.reset();
    return result;
}

#pragma once
// The window's side effects that a test cannot click through: message boxes, file dialogs,
// opening a web address and starting a program. The window owns one TUiServices; the real
// one shows and starts things, tests hand the window a scripted one.
#include <cstdint>
#include <exception>
#include <functional>
#include <string>
#include <vector>

class QWidget;

enum TMsgKind : uint8_t { mkInformation, mkQuestion, mkWarning, mkError };
// A button of a message box, and the answer it gives.
enum TMsgButton : uint8_t { mbOK, mbCancel, mbAbort, mbYes, mbNo };
using TMsgButtons = std::vector<TMsgButton>;

struct TMessageRequest {
    TMsgKind Kind = mkInformation;
    std::string Caption;  // empty: the application's title
    std::string Text;
    TMsgButtons Buttons{mbOK};
};

// What an open or save dialog shows. Filters read "Description|pattern|Description|pattern".
struct TFileDialogRequest {
    bool Save = false;
    std::string Title;
    std::string Filter;
    int FilterIndex = 1;        // 1-based
    std::string DefaultSuffix;  // with its dot: ".velmor"
    std::string InitialFolder;
    std::string FileName;
    bool OverwritePrompt = false;
    bool FileMustExist = false;
    bool PathMustExist = false;  // a name in a folder that does not exist is refused in the dialog
};

class TUiServices {
public:
    virtual ~TUiServices() = default;

    // Shows a message box and returns the button chosen; mbCancel when it was closed otherwise.
    virtual TMsgButton Message(QWidget* Owner, const TMessageRequest& Request) = 0;
    // Asks for a file; false when cancelled, else FileName is the full name chosen.
    virtual bool FileDialog(QWidget* Owner, const TFileDialogRequest& Request, std::string& FileName) = 0;
    // Opens a web address with the desktop's browser; false when nothing could take it.
    virtual bool OpenUrl(const std::string& Url) = 0;
    // Starts Program in Folder without waiting for it; false when it could not start.
    virtual bool StartProgram(const std::string& Program, const std::string& Folder) = 0;
    // Asks for one line of text, Text holding the start value; false when cancelled.
    virtual bool AskText(QWidget* Owner, const std::string& Caption, const std::string& Label,
                         std::string& Text);
    // The error box: an error icon, one OK button.
    void ShowError(QWidget* Owner, const std::string& Text);
    // An information box with one OK button.
    void ShowInformation(QWidget* Owner, const std::string& Text);
    // A question with the given buttons; the answer.
    TMsgButton Ask(QWidget* Owner, const std::string& Caption, const std::string& Text, TMsgButtons Buttons);
};

// Message boxes, Qt's file dialogs, QDesktopServices and QProcess.
class TRealUiServices : public TUiServices {
public:
    TMsgButton Message(QWidget* Owner, const TMessageRequest& Request) override;
    bool FileDialog(QWidget* Owner, const TFileDialogRequest& Request, std::string& FileName) override;
    bool OpenUrl(const std::string& Url) override;
    bool StartProgram(const std::string& Program, const std::string& Folder) override;
};

// The Qt name filters of a "Description|pattern|..." filter text, one per pair.
std::vector<std::string> QtNameFilters(const std::string& Filter);

// The text the error box shows for an exception: the message of our own errors, what() of others.
std::string ErrorText(const std::exception& E);

// Runs Handler; an exception it throws is shown in Ui's error box. False when one was shown.
// Qt lets no exception cross its event loop, so every bound handler runs through this.
bool RunGuarded(TUiServices& Ui, QWidget* Owner, const std::function<void()>& Handler);

// The services the application's last-resort handler shows errors through (the main window's).
TUiServices* ErrorBoxServices();
void SetErrorBoxServices(TUiServices* Services);

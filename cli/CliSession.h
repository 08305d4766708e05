#pragma once
// What the commands of velmorant-cli share: the request, the connected driver, the output streams
// and the errors the board reported.
#include <fstream>
#include <functional>
#include <optional>
#include <ostream>
#include <string>
#include <vector>

#include "CliArgs.h"
#include "Device_VL.h"
#include "TickReadings.h"

namespace velcli {

struct TSession {
    const TCliRequest& Request;
    std::ostream& Out;
    std::ostream& Err;
    // The board's driver: the board session's, while a command runs on its worker (RunOnBoard).
    TVelmorant* Board = nullptr;
    int ErrorCount = 0;  // texts the driver reported since the start
    // While set, the driver's texts are counted but not written: the tick tells each kind once.
    bool QuietErrors = false;
    std::ofstream Csv;        // watch --csv, opened before connecting, emptied once connected
    bool CsvCreated = false;  // the run made the file: it goes again when no board is found

    TSession(const TCliRequest& R, std::ostream& O, std::ostream& E);
    // Writes "velmorant-cli: Text" to Err.
    void Error(const std::string& Text) const;
    // The port as the user named it (the device node for --device).
    std::string PortLabel() const;
    TVelmorant& Device() const { return *Board; }
};

// Runs Body on a board session's worker, with the driver to itself (Device()) and the tool's own
// error reporting, on a QCoreApplication; Body's exit code, or what it threw.
int RunOnBoard(TSession& S, const std::function<int()>& Body);

// JSON string literal of Text (UTF-8 passes through; control characters escaped).
std::string JsonString(const std::string& Text);
// A JSON number, or null for a failed read.
std::string JsonValue(const std::optional<int>& Value);

// read, watch and capture on the connected board; each returns the exit code.
int RunRead(TSession& S);
int RunWatch(TSession& S);
int RunCapture(TSession& S);
// The read --json object of a reading.
std::string ReadingsJson(const TTickReadings& R);
// The labels of the twelve readings, taken from the data-log header ("Port0" ... "Temp").
const std::vector<std::string>& ReadingLabels();

// Opens or checks the files a command writes, before any connection; throws EFileError.
void OpenOutputFiles(TSession& S);
// Throws EFileError "Unable to write to File. <reason>" when File could not be written: its folder
// is missing or takes no new file, or it is there and is no regular file we may write.
void CheckFileToWrite(const std::string& File);

// The file commands: program download|upload, settings save|recall.
// Checks a file that is to be sent to the board, before any connection; throws EVelmorantError
// with the reason when the file is unusable. Returns notes on text its program lines leave unread.
std::vector<std::string> CheckFileToSend(const TCliRequest& R);
// Runs a file command on the connected board; the exit code.
int RunFileCommand(TSession& S);

}  // namespace velcli

// The trends window's files: opening data logs (menu and drag and drop) and exporting the view.
#include <qcustomplot.h>

#include <QDragEnterEvent>
#include <QDropEvent>
#include <QFileDialog>
#include <QMimeData>
#include <QSaveFile>
#include <QStatusBar>
#include <cmath>

#include "DataLogReader.h"
#include "DataLogger.h"
#include "Errors.h"
#include "TrendsWnd.h"
#include "UiServices.h"

namespace {

// How long the status bar says where an export went.
constexpr int ExportNoteMs = 20000;

QStringList LocalFiles(const QMimeData* Data) {
    QStringList Files;
    if (Data == nullptr) return Files;
    for (const QUrl& Url : Data->urls())
        if (Url.isLocalFile()) Files << Url.toLocalFile();
    return Files;
}

// The data log's header and the rows of Ring between From and To; Rows gets their number.
std::string DataLogRows(const TTrendRing& Ring, double From, double To, size_t& Rows) {
    std::string Text = std::string(DataLogHeader) + "\r\n";
    for (size_t I = Ring.LowerBound(From); I < Ring.Size() && Ring.Time(I) <= To; ++I) {
        std::string Row;
        bool Any = false;
        for (int C = 0; C < tcColumnCount; ++C) {
            const float V = Ring.Value(I, C);
            if (!std::isnan(V)) {
                Row += std::to_string(static_cast<int>(V));
                Any = true;
            }
            Row += ',';
        }
        // The marks at a new connection or between files are no rows of the board's.
        if (!Any) continue;
        Text += TDataLogger::FormatTimeStamp(Ring.Time(I)) + "," + Row + "\r\n";
        ++Rows;
    }
    return Text;
}

// The export's file, asked for with the overwrite question; false when the user cancelled.
bool ChooseExportFile(TUiServices& Ui, QWidget* Owner, const char* Title, const char* Filter,
                      const char* Suffix, std::string& Name) {
    TFileDialogRequest Request;
    Request.Save = true;
    Request.Title = Title;
    Request.Filter = Filter;
    Request.DefaultSuffix = Suffix;
    Request.OverwritePrompt = true;
    return Ui.FileDialog(Owner, Request, Name);
}

}  // namespace

void TformTrends::OpenLogFiles(const QStringList& Files) {
    if (Files.isEmpty()) return;
    StopLoader();
    std::vector<std::string> Names;
    for (const QString& File : Files) Names.push_back(File.toStdString());
    const unsigned Job = ++FLoadJob;
    FCancelLoad = false;
    FLogFiles = Files;
    // A million rows take about a second to parse: never on the window's thread.
    FLoader = std::thread([this, Names = std::move(Names), Job] {
        std::shared_ptr<TTrendRing> Ring;
        QString Error;
        size_t Rows = 0;
        try {
            Ring = std::make_shared<TTrendRing>(ReadDataLogs(Names, &FCancelLoad, &Rows));
        } catch (const std::exception& E) {
            Error = QString::fromStdString(ErrorText(E));
        }
        QMetaObject::invokeMethod(
            this, [this, Job, Ring, Error, Rows] { LoadFinished(Job, Ring, Error, Rows); },
            Qt::QueuedConnection);
    });
    UpdateStatus();
}

void TformTrends::StopLoader() {
    if (!FLoader.joinable()) return;
    FCancelLoad = true;
    FLoader.join();
}

void TformTrends::LoadFinished(unsigned Job, std::shared_ptr<TTrendRing> Ring, const QString& Error,
                               size_t Rows) {
    if (Job != FLoadJob) return;             // a load replaced by a newer one
    if (FLoader.joinable()) FLoader.join();  // it has posted this and is ending
    if (Error.isEmpty() && Ring) {
        FLog = std::make_unique<TTrendRing>(std::move(*Ring));
        FLogRows = Rows;
        SetCaptureView(false);
        FShowLog = true;
        FWindow = twSinceConnecting;  // the whole log
        FWindowBox->setCurrentIndex(FWindow);
        UpdateTitle();
        ResetView();
    } else {
        UpdateStatus();
        FUi->ShowError(this, Error.toStdString());
    }
    emit LogLoaded(Error);
}

void TformTrends::OpenLogDialog() {
    // Where the logs are saved, not wherever the program was started from.
    const QStringList Files = QFileDialog::getOpenFileNames(
        this, QStringLiteral("Open Data Log"), QString::fromStdString(FLogFolder),
        QStringLiteral("CSV (*.csv *.CSV);;All files (*)"));
    OpenLogFiles(Files);
}

void TformTrends::dragEnterEvent(QDragEnterEvent* Event) {
    if (!LocalFiles(Event->mimeData()).isEmpty()) Event->acceptProposedAction();
}

void TformTrends::dropEvent(QDropEvent* Event) {
    const QStringList Files = LocalFiles(Event->mimeData());
    if (Files.isEmpty()) return;
    Event->acceptProposedAction();
    OpenLogFiles(Files);
}

size_t TformTrends::ExportCsv(const QString& File) {
    double From, To;
    VisibleRange(From, To);
    size_t Rows = 0;
    const std::string Text =
        ShowingCapture() ? FCapture.Csv(From, To, &Rows) : DataLogRows(Shown(), From, To, Rows);
    QSaveFile Out(File);
    if (!Out.open(QIODevice::WriteOnly) || Out.write(Text.data(), static_cast<qint64>(Text.size())) < 0 ||
        !Out.commit())
        throw EFileError("Cannot write file \"" + File.toStdString() + "\". " +
                         Out.errorString().toStdString());
    const QString Note =
        QStringLiteral("Exported %1 rows to %2").arg(Rows).arg(QDir::toNativeSeparators(File));
    statusBar()->showMessage(Note, ExportNoteMs);
    emit Noted(Note);
    return Rows;
}

bool TformTrends::ExportPng(const QString& File) {
    if (!FPlot->savePng(File)) return false;
    const QString Note = QStringLiteral("Exported the picture to %1").arg(QDir::toNativeSeparators(File));
    statusBar()->showMessage(Note, ExportNoteMs);
    emit Noted(Note);
    return true;
}

void TformTrends::ExportPngDialog() {
    std::string Name;
    if (!ChooseExportFile(*FUi, this, "Export Picture", "PNG (*.png)|*.png", ".png", Name)) return;
    if (!ExportPng(QString::fromStdString(Name))) FUi->ShowError(this, "Cannot write file \"" + Name + "\".");
}

void TformTrends::ExportCsvDialog() {
    std::string Name;
    if (!ChooseExportFile(*FUi, this, "Export Data", "CSV (*.csv)|*.csv", ".csv", Name)) return;
    RunGuarded(*FUi, this, [&] { ExportCsv(QString::fromStdString(Name)); });
}

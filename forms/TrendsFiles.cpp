// The trends window's files: opening data logs (menu and drag and drop) and exporting the view.
#include <qcustomplot.h>

#include <QDragEnterEvent>
#include <QDropEvent>
#include <QFileDialog>
#include <QMimeData>
#include <QSaveFile>
#include <cmath>

#include "DataLogReader.h"
#include "DataLogger.h"
#include "Errors.h"
#include "TrendsWnd.h"
#include "UiServices.h"

namespace {

QStringList LocalFiles(const QMimeData* Data) {
    QStringList Files;
    if (Data == nullptr) return Files;
    for (const QUrl& Url : Data->urls())
        if (Url.isLocalFile()) Files << Url.toLocalFile();
    return Files;
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
        try {
            Ring = std::make_shared<TTrendRing>(ReadDataLogs(Names, &FCancelLoad));
        } catch (const std::exception& E) {
            Error = QString::fromStdString(ErrorText(E));
        }
        QMetaObject::invokeMethod(
            this, [this, Job, Ring, Error] { LoadFinished(Job, Ring, Error); }, Qt::QueuedConnection);
    });
    UpdateStatus();
}

void TformTrends::StopLoader() {
    if (!FLoader.joinable()) return;
    FCancelLoad = true;
    FLoader.join();
}

void TformTrends::LoadFinished(unsigned Job, std::shared_ptr<TTrendRing> Ring, const QString& Error) {
    if (Job != FLoadJob) return;             // a load replaced by a newer one
    if (FLoader.joinable()) FLoader.join();  // it has posted this and is ending
    if (Error.isEmpty() && Ring) {
        FLog = std::make_unique<TTrendRing>(std::move(*Ring));
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
    const QStringList Files = QFileDialog::getOpenFileNames(
        this, QStringLiteral("Open Data Log"), QString(), QStringLiteral("CSV (*.csv *.CSV);;All files (*)"));
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

void TformTrends::ExportCsv(const QString& File) const {
    const TTrendRing& Ring = Shown();
    double From, To;
    VisibleRange(From, To);
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
        if (Any) Text += TDataLogger::FormatTimeStamp(Ring.Time(I)) + "," + Row + "\r\n";
    }
    QSaveFile Out(File);
    if (!Out.open(QIODevice::WriteOnly) || Out.write(Text.data(), static_cast<qint64>(Text.size())) < 0 ||
        !Out.commit())
        throw EFileError("Cannot write file \"" + File.toStdString() + "\". " +
                         Out.errorString().toStdString());
}

bool TformTrends::ExportPng(const QString& File) {
    return FPlot->savePng(File);
}

void TformTrends::ExportPngDialog() {
    TFileDialogRequest Request;
    Request.Save = true;
    Request.Title = "Export Picture";
    Request.Filter = "PNG (*.png)|*.png";
    Request.DefaultSuffix = ".png";
    Request.OverwritePrompt = true;
    std::string Name;
    if (!FUi->FileDialog(this, Request, Name)) return;
    if (!ExportPng(QString::fromStdString(Name))) FUi->ShowError(this, "Cannot write file \"" + Name + "\".");
}

void TformTrends::ExportCsvDialog() {
    TFileDialogRequest Request;
    Request.Save = true;
    Request.Title = "Export Data";
    Request.Filter = "CSV (*.csv)|*.csv";
    Request.DefaultSuffix = ".csv";
    Request.OverwritePrompt = true;
    std::string Name;
    if (!FUi->FileDialog(this, Request, Name)) return;
    RunGuarded(*FUi, this, [&] { ExportCsv(QString::fromStdString(Name)); });
}

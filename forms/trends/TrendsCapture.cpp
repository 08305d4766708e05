// The trends window's fast capture: its controls, its picture and its feed from the board session.
#include <qcustomplot.h>

#include <QCheckBox>
#include <QGridLayout>
#include <QGroupBox>
#include <QLabel>
#include <QPushButton>
#include <QSpinBox>
#include <QTimer>
#include <cmath>

#include "BoardSession.h"
#include "Conversions.h"
#include "TrendsWnd.h"

namespace {

// A capture brings up to about 190 samples a second; the picture follows at a screen's pace, not at
// every sample, so that drawing never takes the window's thread for long.
constexpr int CaptureFrameMs = 40;
// A capture without a length shows its last seconds while it runs.
constexpr double FollowSeconds = 10;
const QColor PortColors[] = {QColor(23, 190, 207),  QColor(188, 189, 34), QColor(227, 119, 194),
                             QColor(127, 127, 127), QColor(0, 0, 0),      QColor(180, 0, 90)};

}  // namespace

QWidget* TformTrends::BuildCaptureControls() {
    auto* Box = new QGroupBox(QStringLiteral("Fast capture"));
    auto* Layout = new QGridLayout(Box);
    Layout->setContentsMargins(4, 4, 4, 4);
    // Analog inputs in the left column, ports in the right.
    for (int I = 0; I < TVelmorant::AnalogInputCount + TVelmorant::PortCountConst; ++I) {
        const bool Port = I >= TVelmorant::AnalogInputCount;
        const int Index = Port ? I - TVelmorant::AnalogInputCount : I;
        auto* Check = new QCheckBox(QString::fromStdString(TCaptureChannel{Port, Index}.Name()));
        Check->setChecked(I == 0);
        connect(Check, &QCheckBox::toggled, this, &TformTrends::UpdateCaptureControls);
        Layout->addWidget(Check, Index, Port ? 1 : 0);
        FCaptureBoxes.push_back(Check);
    }
    FCaptureSeconds = new QSpinBox;
    FCaptureSeconds->setRange(0, 3600);
    FCaptureSeconds->setValue(10);
    FCaptureSeconds->setSuffix(QStringLiteral(" s"));
    FCaptureSeconds->setSpecialValueText(QStringLiteral("until stopped"));
    FCaptureSeconds->setToolTip(
        QStringLiteral("How long to capture; a capture also ends when it fills 64 MiB"));
    Layout->addWidget(new QLabel(QStringLiteral("Length")), TVelmorant::PortCountConst, 0);
    Layout->addWidget(FCaptureSeconds, TVelmorant::PortCountConst, 1);
    FCaptureButton = new QPushButton;
    connect(FCaptureButton, &QPushButton::clicked, this, [this] {
        if (FCapturing)
            StopCapture();
        else
            StartCaptureFromControls();
    });
    Layout->addWidget(FCaptureButton, TVelmorant::PortCountConst + 1, 0, 1, 2);
    FCaptureInfo = new QLabel;
    FCaptureInfo->setWordWrap(true);
    // A wrapped text's second line needs its room before the layout knows it wraps.
    FCaptureInfo->setMinimumHeight(2 * FCaptureInfo->fontMetrics().lineSpacing() + 4);
    Layout->addWidget(FCaptureInfo, TVelmorant::PortCountConst + 2, 0, 1, 2);

    FCaptureTimer = new QTimer(this);
    FCaptureTimer->setInterval(CaptureFrameMs);
    connect(FCaptureTimer, &QTimer::timeout, this, [this] {
        if (!FCaptureChanged) return;
        FCaptureChanged = false;
        UpdateCaptureControls();
        if (ShowingCapture() && !FPaused && isVisible()) Redraw();
    });
    UpdateCaptureControls();
    return Box;
}

void TformTrends::SetSession(TBoardSession& Session) {
    if (FSession == &Session) return;
    if (FSession) disconnect(FSession, nullptr, this, nullptr);
    FSession = &Session;
    connect(&Session, &TBoardSession::CaptureSamples, this, &TformTrends::CaptureSamples);
    connect(&Session, &TBoardSession::CaptureEnded, this, &TformTrends::CaptureEnded);
    connect(&Session, &TBoardSession::StateChanged, this, &TformTrends::UpdateCaptureControls);
    UpdateCaptureControls();
}

void TformTrends::UpdateCaptureControls() {
    const bool Board = FSession && FSession->State().DevicePresent;
    const bool Any = std::any_of(FCaptureBoxes.begin(), FCaptureBoxes.end(),
                                 [](const QCheckBox* Box) { return Box->isChecked(); });
    FCaptureButton->setText(FCapturing ? QStringLiteral("Stop Capture") : QStringLiteral("Start Capture"));
    FCaptureButton->setEnabled(FCapturing || (Board && Any && !FSession->Capturing()));
    for (QCheckBox* Box : FCaptureBoxes) Box->setEnabled(!FCapturing);
    FCaptureSeconds->setEnabled(!FCapturing);
    QString Info;
    if (FCapturing)
        Info = QStringLiteral("%1 samples").arg(FCapture.Samples());
    else if (FSession && !Board)
        Info = QStringLiteral("Connect a board to capture.");
    else if (!FSession)
        Info = QStringLiteral("Open the trends from the main window to capture.");
    FCaptureInfo->setText(Info);
}

bool TformTrends::StartCaptureFromControls() {
    TCaptureRequest Request;
    for (size_t I = 0; I < FCaptureBoxes.size(); ++I) {
        if (!FCaptureBoxes[I]->isChecked()) continue;
        const bool Port = I >= TVelmorant::AnalogInputCount;
        Request.Channels.push_back({Port, static_cast<int>(Port ? I - TVelmorant::AnalogInputCount : I)});
    }
    Request.Seconds = FCaptureSeconds->value();
    return StartCapture(Request);
}

bool TformTrends::StartCapture(const TCaptureRequest& Request) {
    if (!FSession || FCapturing || !FSession->StartCapture(Request)) return false;
    FCapturing = true;
    FCaptureRequest = Request;
    FCapture.Start(Request);
    FCaptureEnd = ceRunning;
    FCaptureChanged = false;
    // The ticks pause while it runs: no line joins the readings before it to those after it.
    FHistory->Ring().AddGap(Now());
    for (QCPGraph* Graph : FCaptureGraphs) FPlot->removeGraph(Graph);
    FCaptureGraphs.clear();
    for (const TCaptureChannel& Channel : Request.Channels) {
        QCPGraph* Graph = FPlot->addGraph(FPlot->xAxis, FPlot->yAxis);
        Graph->setName(QString::fromStdString(Channel.Name()));
        Graph->setPen(QPen(
            Channel.Port ? PortColors[Channel.Index] : FCurves[size_t(Channel.Index)].Graph->pen().color(),
            1));
        if (Channel.Port) Graph->setLineStyle(QCPGraph::lsStepLeft);
        Graph->setAdaptiveSampling(false);  // the points are decimated already
        FCaptureGraphs.push_back(Graph);
    }
    SetCaptureView(true);
    FFollow = true;
    FCaptureTimer->start();
    UpdateCaptureControls();
    Redraw();
    return true;
}

void TformTrends::StopCapture() {
    if (FCapturing && FSession) FSession->StopCapture();
}

void TformTrends::ShowCapture() {
    if (FCapture.ChannelCount() == 0) return;
    SetCaptureView(true);
    ResetView();
}

void TformTrends::CaptureSamples(const std::vector<TCaptureSample>& Samples) {
    if (!FCapturing) return;  // a capture this window did not start
    for (const TCaptureSample& Sample : Samples) FCapture.Add(Sample);
    FCaptureChanged = true;
}

void TformTrends::CaptureEnded(TCaptureEnd End) {
    if (!FCapturing) return;
    FCapturing = false;
    FCaptureEnd = End;
    FCaptureTimer->stop();
    FCaptureChanged = false;
    UpdateCaptureControls();
    // Followed to its end, the picture now shows the whole capture.
    if (ShowingCapture())
        Redraw();
    else
        UpdateStatus();
}

void TformTrends::ApplyCaptureRange() {
    const double Last = FCapture.LastTime();
    double From = 0, To = Last > 0 ? Last : 1;
    if (FCapturing && FCaptureRequest.Seconds > 0) {
        To = std::max(FCaptureRequest.Seconds, Last);
    } else if (FCapturing) {
        To = std::max(Last, FollowSeconds);
        From = To - FollowSeconds;
    }
    FSettingRange = true;
    FPlot->xAxis->setRange(From, To);
    FPinRect->axis(QCPAxis::atBottom)->setRange(FPlot->xAxis->range());
    FSettingRange = false;
}

double TformTrends::CaptureValue(size_t Channel, double Value) const {
    if (std::isnan(Value) || FCapture.Channels()[Channel].Port || FTenBits) return Value;
    return EightBitsOf(static_cast<int>(Value));
}

void TformTrends::RedrawCapture() {
    if (FFollow && !FPaused) ApplyCaptureRange();
    const QCPRange Range = FPlot->xAxis->range();
    const int Columns = std::max(1, FPlot->axisRect()->width());
    QVector<double> Keys, Values;
    const auto Fill = [&](QCPGraph* Graph, size_t Channel, int Bit, const auto& Transform) {
        Keys.clear();
        Values.clear();
        DecimateCapture(FCapture, Channel, Bit, Range.lower, Range.upper, Columns, FScratch);
        for (const TTrendPoint& P : FScratch) {
            Keys.push_back(P.Time);
            Values.push_back(std::isnan(P.Value) ? P.Value : Transform(P.Value));
        }
        Graph->setData(Keys, Values, true);
    };
    for (size_t C = 0; C < FCaptureGraphs.size(); ++C)
        Fill(FCaptureGraphs[C], C, -1, [&](double V) { return CaptureValue(C, V); });
    // A pin's trace comes from its port, when the port is captured.
    const int Lanes = static_cast<int>(FPins.size());
    for (int I = 0; I < Lanes; ++I) {
        const auto& Channels = FCapture.Channels();
        const auto It = std::find(Channels.begin(), Channels.end(), TCaptureChannel{true, FPins[I].Port});
        const double Base = Lanes - 1 - I;
        if (It == Channels.end())
            FPins[I].Graph->data()->clear();
        else
            Fill(FPins[I].Graph, size_t(It - Channels.begin()), FPins[I].Bit,
                 [&](double V) { return Base + V * LaneHeight; });
    }
    FPlot->replot();
    UpdateStatus();
}

void TformTrends::CaptureReadOutAt(double X) {
    if (FCapture.Empty()) {
        FReadOut->setText(QStringLiteral(" "));
        FCursor->setVisible(false);
        return;
    }
    // Each channel has times of its own: the nearest sample of each to the time under the mouse.
    QString Text = QStringLiteral("%1 ms").arg(X * 1000, 0, 'f', 3);
    const auto Number = [](double V) {
        return std::isnan(V) ? QStringLiteral("(none)") : QString::number(V, 'f', 0);
    };
    const auto& Channels = FCapture.Channels();
    for (size_t C = 0; C < Channels.size(); ++C) {
        const size_t I = FCapture.Nearest(C, X);
        if (I == FCapture.Size(C)) continue;
        Text += QStringLiteral("   %1 %2")
                    .arg(QString::fromStdString(Channels[C].Name()),
                         Number(CaptureValue(C, FCapture.Value(C, I))));
    }
    FReadOut->setText(Text);
    FCursor->point1->setCoords(X, 0);
    FCursor->point2->setCoords(X, 1);
    FCursor->setVisible(true);
    FPlot->replot(QCustomPlot::rpQueuedReplot);
}

QString TformTrends::CaptureStatus() const {
    const double Seconds = FCapture.LastTime();
    QString Text =
        QStringLiteral("Capture: %1 samples in %2 s").arg(FCapture.Samples()).arg(Seconds, 0, 'f', 2);
    if (Seconds > 0)
        Text += QStringLiteral(", %1 a second").arg(double(FCapture.Samples()) / Seconds, 0, 'f', 1);
    size_t Failed = 0;
    for (size_t C = 0; C < FCapture.ChannelCount(); ++C) Failed += FCapture.Stats(C).Failed;
    if (Failed > 0) Text += QStringLiteral(", %1 failed (gaps)").arg(Failed);
    if (FCapturing)
        Text += QStringLiteral("; running: the main window's readings pause until it ends");
    else
        Text += QStringLiteral("; ended: %1").arg(CaptureEndText(FCaptureEnd));
    return Text;
}

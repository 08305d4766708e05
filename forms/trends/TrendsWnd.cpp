// The trends window: the plot, its controls, and the live feed.
#include "TrendsWnd.h"

#include <qcustomplot.h>

#include <QCheckBox>
#include <QComboBox>
#include <QHBoxLayout>
#include <QLabel>
#include <QListWidget>
#include <QMenuBar>
#include <QSplitter>
#include <QStatusBar>
#include <QTimeZone>
#include <QToolBar>
#include <QVBoxLayout>
#include <cmath>

#include "BoardSession.h"
#include "Conversions.h"
#include "TimeoutMgr.h"
#include "UiServices.h"

namespace {

// Plot keys are seconds since 1970 read as UTC, so the axis shows the local times TDateTime holds.
constexpr double UnixDateDelta = 25569;
constexpr double SecsPerDay = 86400;

double KeyOf(double Time) {
    return (Time - UnixDateDelta) * SecsPerDay;
}
double TimeOf(double Key) {
    return Key / SecsPerDay + UnixDateDelta;
}

const char* const CurveNames[] = {"A0", "A1", "A2", "A3", "A4", "Temperature"};
const QColor CurveColors[] = {QColor(31, 119, 180),  QColor(255, 127, 14), QColor(44, 160, 44),
                              QColor(148, 103, 189), QColor(140, 86, 75),  QColor(214, 39, 40)};
// As the main window's pin grid shows a pin: its number (0..47) in its port's box. The data log's
// columns and the capture keep their own names.
QString PinName(int Port, int Bit) {
    return QStringLiteral("Pin %1 (PORT%2)").arg(Port * 8 + Bit).arg(Port);
}

QSharedPointer<QCPAxisTickerDateTime> TimeTicker() {
    QSharedPointer<QCPAxisTickerDateTime> Ticker(new QCPAxisTickerDateTime);
    Ticker->setDateTimeFormat(QStringLiteral("hh:mm:ss\nd MMM"));
    Ticker->setDateTimeSpec(Qt::UTC);
    Ticker->setTickCount(6);
    return Ticker;
}

}  // namespace

TformTrends::TformTrends(QWidget* Parent, std::shared_ptr<TTrendHistory> History)
    : QMainWindow(Parent),
      FHistory(History ? std::move(History) : std::make_shared<TTrendHistory>()),
      FOwnUi(std::make_unique<TRealUiServices>()),
      FUi(FOwnUi.get()) {
    setWindowTitle(QStringLiteral("Trends"));
    setAcceptDrops(true);
    BuildPlot();
    BuildControls();
    BuildMenus();
    resize(1000, 620);
    SetTenBits(true);
}

TformTrends::~TformTrends() {
    StopLoader();
    StopCapture();
}

void TformTrends::BuildPlot() {
    FPlot = new QCustomPlot(this);
    FPlot->setNoAntialiasingOnDrag(true);
    // Thin pens and plain polylines: a wider pen goes through the stroker, which took about a second
    // for a day of dense min/max zigzags; one pixel draws the same points in milliseconds.
    FPlot->setPlottingHint(QCP::phFastPolylines, true);
    QCPAxisRect* Main = FPlot->axisRect();
    FPlot->xAxis->setTicker(TimeTicker());
    FPlot->yAxis->setLabel(QStringLiteral("Analog inputs"));
    FPlot->yAxis2->setVisible(true);
    FPlot->yAxis2->setTickLabels(true);
    for (int I = 0; I < 6; ++I) {
        const bool Temperature = I == 5;
        QCPGraph* Graph = FPlot->addGraph(FPlot->xAxis, Temperature ? FPlot->yAxis2 : FPlot->yAxis);
        Graph->setName(CurveNames[I]);
        Graph->setPen(QPen(CurveColors[I], 1));
        Graph->setAdaptiveSampling(false);  // the points are decimated already
        FCurves.push_back({Temperature ? int(tcTemperature) : tcAnalog0 + I, Graph, nullptr});
    }
    FPlot->legend->setVisible(true);
    FPlot->legend->setBrush(QColor(255, 255, 255, 200));
    FPlot->legend->setFont(QFont(font().family(), 8));
    FPlot->legend->setFillOrder(QCPLayoutGrid::foColumnsFirst);  // one row across the top
    Main->insetLayout()->setInsetAlignment(0, Qt::AlignTop | Qt::AlignLeft);
    FPlot->setInteractions(QCP::iRangeDrag | QCP::iRangeZoom);
    Main->setRangeDrag(Qt::Horizontal);
    Main->setRangeZoom(Qt::Horizontal);

    FPinRect = new QCPAxisRect(FPlot);
    FPinRect->axis(QCPAxis::atBottom)->setTicker(TimeTicker());
    FPinRect->axis(QCPAxis::atBottom)->setTickLabels(false);
    FPinRect->axis(QCPAxis::atLeft)->setTicker(QSharedPointer<QCPAxisTickerText>(new QCPAxisTickerText));
    FPinRect->axis(QCPAxis::atLeft)->grid()->setVisible(false);
    FPinRect->axis(QCPAxis::atRight)->setVisible(true);
    FPinRect->axis(QCPAxis::atRight)->setTickLabels(false);
    FPinRect->setRangeDrag(Qt::Horizontal);
    FPinRect->setRangeZoom(Qt::Horizontal);
    // Both rects line up on the same time axis however wide their labels are.
    auto* Margins = new QCPMarginGroup(FPlot);
    Main->setMarginGroup(QCP::msLeft | QCP::msRight, Margins);
    FPinRect->setMarginGroup(QCP::msLeft | QCP::msRight, Margins);

    FCursor = new QCPItemStraightLine(FPlot);
    FCursor->setPen(QPen(QColor(0, 0, 0, 110), 1, Qt::DashLine));
    FCursor->setVisible(false);

    connect(FPlot->xAxis, qOverload<const QCPRange&>(&QCPAxis::rangeChanged), this,
            &TformTrends::RangeChanged);
    connect(FPinRect->axis(QCPAxis::atBottom), qOverload<const QCPRange&>(&QCPAxis::rangeChanged), this,
            &TformTrends::RangeChanged);
    connect(FPlot, &QCustomPlot::mouseMove, this,
            [this](QMouseEvent* Event) { ShowReadOutAt(FPlot->xAxis->pixelToCoord(Event->position().x())); });
}

void TformTrends::BuildControls() {
    auto* Bar = addToolBar(QStringLiteral("Trends"));
    Bar->setMovable(false);
    Bar->addAction(QStringLiteral("Open Log..."), this, &TformTrends::OpenLogDialog);
    Bar->addSeparator();
    Bar->addWidget(new QLabel(QStringLiteral(" Show ")));
    FWindowBox = new QComboBox;
    FWindowBox->addItems({QStringLiteral("the last minute"), QStringLiteral("the last 10 minutes"),
                          QStringLiteral("the last hour"), QStringLiteral("since connecting")});
    FWindowBox->setCurrentIndex(FWindow);
    connect(FWindowBox, qOverload<int>(&QComboBox::activated), this,
            [this](int Index) { SetTimeWindow(static_cast<TTimeWindow>(Index)); });
    Bar->addWidget(FWindowBox);
    FPauseAction = Bar->addAction(QStringLiteral("Pause"));
    FPauseAction->setCheckable(true);
    connect(FPauseAction, &QAction::toggled, this, &TformTrends::SetPaused);
    Bar->addAction(QStringLiteral("Reset View"), this, &TformTrends::ResetView);
    FLiveAction = Bar->addAction(QStringLiteral("Back to Live"), this, &TformTrends::ShowLive);
    FLiveAction->setEnabled(false);
    FCaptureAction = Bar->addAction(QStringLiteral("Show Capture"), this, &TformTrends::ShowCapture);
    FCaptureAction->setEnabled(false);

    auto* Side = new QWidget;
    auto* SideLayout = new QVBoxLayout(Side);
    SideLayout->addWidget(new QLabel(QStringLiteral("<b>Curves</b>")));
    for (TCurve& Curve : FCurves) {
        Curve.Box = new QCheckBox(Curve.Graph->name());
        Curve.Box->setChecked(true);
        Curve.Box->setStyleSheet(
            QStringLiteral("QCheckBox { color: %1; }").arg(Curve.Graph->pen().color().name()));
        const int Column = Curve.Column;
        connect(Curve.Box, &QCheckBox::toggled, this, [this, Column](bool On) { ShowCurve(Column, On); });
        SideLayout->addWidget(Curve.Box);
    }
    FCelsiusBox = new QCheckBox(QStringLiteral("Temperature in °C"));
    connect(FCelsiusBox, &QCheckBox::toggled, this, [this](bool On) {
        FCelsius = On;
        FPlot->yAxis2->setLabel(On ? QStringLiteral("Temperature (°C)") : QStringLiteral("Temperature (°F)"));
        Redraw();
    });
    SideLayout->addWidget(FCelsiusBox);
    SideLayout->addSpacing(8);
    SideLayout->addWidget(new QLabel(QStringLiteral("<b>Pins</b> (step traces)")));
    FPinList = new QListWidget;
    for (int Port = 0; Port < 6; ++Port)
        for (int Bit = 0; Bit < 8; ++Bit) {
            auto* Item = new QListWidgetItem(PinName(Port, Bit), FPinList);
            // The pin grid's caption; the list is too narrow for it.
            if (Port >= 3) Item->setToolTip(QStringLiteral("PORT%1 (Virtual)").arg(Port));
            Item->setFlags(Qt::ItemIsUserCheckable | Qt::ItemIsEnabled);
            Item->setCheckState(Qt::Unchecked);
            Item->setData(Qt::UserRole, Port * 8 + Bit);
        }
    connect(FPinList, &QListWidget::itemChanged, this, &TformTrends::PinItemChanged);
    SideLayout->addWidget(FPinList, 1);
    SideLayout->addWidget(BuildCaptureControls());
    Side->setMaximumWidth(190);

    auto* Center = new QWidget;
    auto* CenterLayout = new QVBoxLayout(Center);
    CenterLayout->setContentsMargins(4, 2, 0, 0);
    FReadOut = new QLabel(QStringLiteral(" "));
    FReadOut->setTextFormat(Qt::PlainText);
    FReadOut->setWordWrap(true);
    FReadOut->setMinimumHeight(2 * FReadOut->fontMetrics().lineSpacing() + 4);  // no jump when it wraps
    FReadOut->setAlignment(Qt::AlignLeft | Qt::AlignTop);
    CenterLayout->addWidget(FReadOut);
    CenterLayout->addWidget(FPlot, 1);

    auto* Split = new QSplitter;
    Split->addWidget(Center);
    Split->addWidget(Side);
    Split->setStretchFactor(0, 1);
    setCentralWidget(Split);
    FStatus = new QLabel;
    statusBar()->addWidget(FStatus, 1);
}

void TformTrends::BuildMenus() {
    QMenu* File = menuBar()->addMenu(QStringLiteral("&File"));
    File->addAction(QStringLiteral("&Open Log..."), QKeySequence::Open, this, &TformTrends::OpenLogDialog);
    File->addAction(QStringLiteral("Export Picture (PNG)..."), this, &TformTrends::ExportPngDialog);
    File->addAction(QStringLiteral("Export Data (CSV)..."), this, &TformTrends::ExportCsvDialog);
    File->addSeparator();
    File->addAction(QStringLiteral("&Close"), QKeySequence::Close, this, &QWidget::close);
}

// Hidden, the window skips the ticks' redraws; shown again or resized, it catches up once.
void TformTrends::showEvent(QShowEvent* Event) {
    QMainWindow::showEvent(Event);
    ScheduleRedraw();
}

void TformTrends::resizeEvent(QResizeEvent* Event) {
    QMainWindow::resizeEvent(Event);
    ScheduleRedraw();
}

void TformTrends::SetUiServices(TUiServices* Ui) {
    FUi = Ui != nullptr ? Ui : FOwnUi.get();
}

const TTrendRing& TformTrends::Shown() const {
    return ShowingLog() ? *FLog : FHistory->Ring();
}

void TformTrends::AddTick(const TTickReadings& Readings) {
    FHistory->Add(Readings);
    TickAdded();
}

void TformTrends::TickAdded() {
    if (!FPaused && !ShowingLog() && !ShowingCapture() && isVisible()) ScheduleRedraw();
}

void TformTrends::SetTenBits(bool TenBits) {
    FTenBits = TenBits;
    ApplyValueAxis();
    Redraw();
}

void TformTrends::ApplyValueAxis() {
    // A capture of ports alone has no analog curve to scale for.
    const bool Analog =
        !ShowingCapture() || std::any_of(FCaptureRequest.Channels.begin(), FCaptureRequest.Channels.end(),
                                         [](const TCaptureChannel& C) { return !C.Port; });
    if (!Analog) {
        FPlot->yAxis->setRange(-2.5, 258);
        FPlot->yAxis->setLabel(QStringLiteral("Port states"));
        return;
    }
    FPlot->yAxis->setRange(FTenBits ? QCPRange(-10, 1033) : QCPRange(-2.5, 258));
    FPlot->yAxis->setLabel(FTenBits ? QStringLiteral("Analog inputs (10-bit)")
                                    : QStringLiteral("Analog inputs (8-bit)"));
}

void TformTrends::StartConnection() {
    FHistory->StartConnection(Now());
    ConnectionStarted();
}

void TformTrends::ConnectionStarted() {
    if (!ShowingLog()) ResetView();
}

void TformTrends::SetCaptureView(bool On) {
    FShowCapture = On;
    // The read-out was of the other view's moment.
    FReadOut->setText(QStringLiteral(" "));
    for (TCurve& Curve : FCurves) {
        Curve.Graph->data()->clear();
        if (!On && Curve.Graph->visible())
            Curve.Graph->addToLegend();
        else
            Curve.Graph->removeFromLegend();
        Curve.Box->setEnabled(!On);
    }
    FCelsiusBox->setEnabled(!On);
    for (QCPGraph* Graph : FCaptureGraphs) {
        Graph->setVisible(On);
        if (On)
            Graph->addToLegend();
        else
            Graph->removeFromLegend();
    }
    FPlot->yAxis2->setVisible(!On);
    // A capture's time is counted from its start, in seconds.
    const QSharedPointer<QCPAxisTicker> Ticker =
        On ? QSharedPointer<QCPAxisTicker>(new QCPAxisTicker) : TimeTicker();
    FPlot->xAxis->setTicker(Ticker);
    FPinRect->axis(QCPAxis::atBottom)->setTicker(Ticker);
    FPlot->xAxis->setLabel(On ? QStringLiteral("Seconds since the capture began") : QString());
    ApplyValueAxis();
    UpdateTitle();
    UpdateStatus();
}

void TformTrends::ShowLive() {
    FShowLog = false;
    SetCaptureView(false);
    UpdateTitle();
    ResetView();
}

void TformTrends::SetTimeWindow(TTimeWindow Window) {
    FWindow = Window;
    FWindowBox->setCurrentIndex(Window);
    ResetView();
}

void TformTrends::SetPaused(bool Paused) {
    FPaused = Paused;
    FPauseAction->setChecked(Paused);
    FPauseAction->setText(Paused ? QStringLiteral("Resume") : QStringLiteral("Pause"));
    if (!Paused) ScheduleRedraw();
    UpdateStatus();
}

void TformTrends::ShowCurve(int Column, bool Show) {
    for (TCurve& Curve : FCurves)
        if (Curve.Column == Column) {
            Curve.Graph->setVisible(Show);
            Curve.Box->setChecked(Show);
            if (Show)
                Curve.Graph->addToLegend();
            else
                Curve.Graph->removeFromLegend();
        }
    Redraw();
}

void TformTrends::PinItemChanged(QListWidgetItem* Item) {
    const int Pin = Item->data(Qt::UserRole).toInt();
    ShowPin(Pin / 8, Pin % 8, Item->checkState() == Qt::Checked);
}

void TformTrends::ShowPin(int Port, int Bit, bool Show) {
    if (Port < 0 || Port > 5 || Bit < 0 || Bit > 7) return;
    auto It = std::find_if(FPins.begin(), FPins.end(),
                           [&](const TPinTrace& P) { return P.Port == Port && P.Bit == Bit; });
    if (Show && It == FPins.end()) {
        QCPGraph* Graph = FPlot->addGraph(FPinRect->axis(QCPAxis::atBottom), FPinRect->axis(QCPAxis::atLeft));
        Graph->setLineStyle(QCPGraph::lsStepLeft);
        Graph->setPen(QPen(QColor(0, 110, 60), 1));
        Graph->setAdaptiveSampling(false);
        Graph->removeFromLegend();
        FPins.push_back({Port, Bit, Graph});
    } else if (!Show && It != FPins.end()) {
        FPlot->removeGraph(It->Graph);
        FPins.erase(It);
    } else {
        return;
    }
    QListWidgetItem* Item = FPinList->item(Port * 8 + Bit);
    if ((Item->checkState() == Qt::Checked) != Show) {
        const QSignalBlocker Blocker(FPinList);
        Item->setCheckState(Show ? Qt::Checked : Qt::Unchecked);
    }
    LayOutPins();
    Redraw();
}

void TformTrends::LayOutPins() {
    QCPLayoutGrid* Layout = FPlot->plotLayout();
    const bool InLayout = Layout->elementCount() > 1 && Layout->hasElement(1, 0);
    if (FPins.empty()) {
        if (InLayout) {
            Layout->take(FPinRect);
            Layout->simplify();
        }
        return;
    }
    if (!InLayout) Layout->addElement(1, 0, FPinRect);
    Layout->setRowStretchFactor(0, 1.0);
    Layout->setRowStretchFactor(1, std::min(0.12 * static_cast<double>(FPins.size()) + 0.1, 1.2));
    // The first pin picked is the top lane.
    auto Ticker = qSharedPointerCast<QCPAxisTickerText>(FPinRect->axis(QCPAxis::atLeft)->ticker());
    Ticker->clear();
    const int Lanes = static_cast<int>(FPins.size());
    for (int I = 0; I < Lanes; ++I)
        Ticker->addTick(Lanes - 1 - I + LaneHeight / 2, PinName(FPins[I].Port, FPins[I].Bit));
    FPinRect->axis(QCPAxis::atLeft)->setRange(-0.2, Lanes - 0.1);
    FPinRect->axis(QCPAxis::atBottom)->setRange(FPlot->xAxis->range());
}

double TformTrends::WindowSeconds() const {
    static const double Seconds[] = {60, 600, 3600, 0};
    return Seconds[FWindow];
}

void TformTrends::ResetView() {
    FFollow = true;
    ApplyRange();
    Redraw();
}

void TformTrends::ApplyRange() {
    if (ShowingCapture()) {
        ApplyCaptureRange();
        return;
    }
    const TTrendRing& Ring = Shown();
    double End = Ring.Empty() ? Now() : Ring.Time(Ring.Size() - 1);
    double Begin;
    if (FWindow != twSinceConnecting) {
        Begin = End - WindowSeconds() / SecsPerDay;
    } else {
        Begin = Ring.Empty() ? End : Ring.Time(0);
        if (!ShowingLog() && FHistory->ConnectedAt() > 0) Begin = std::max(Begin, FHistory->ConnectedAt());
        End = std::max(End, Begin + 60 / SecsPerDay);
    }
    FSettingRange = true;
    FPlot->xAxis->setRange(KeyOf(Begin), KeyOf(End));
    FPinRect->axis(QCPAxis::atBottom)->setRange(FPlot->xAxis->range());
    FSettingRange = false;
}

void TformTrends::RangeChanged(const QCPRange& Range) {
    if (FSettingRange) return;
    // Wheel and drag act on one rect; the other follows, and the view stops following the ticks.
    FSettingRange = true;
    FPlot->xAxis->setRange(Range);
    FPinRect->axis(QCPAxis::atBottom)->setRange(Range);
    FSettingRange = false;
    FFollow = false;
    ScheduleRedraw();
}

void TformTrends::VisibleRange(double& From, double& To) const {
    const QCPRange Range = FPlot->xAxis->range();
    From = ShowingCapture() ? Range.lower : TimeOf(Range.lower);
    To = ShowingCapture() ? Range.upper : TimeOf(Range.upper);
}

void TformTrends::ScheduleRedraw() {
    if (FRedrawQueued) return;
    FRedrawQueued = true;
    QMetaObject::invokeMethod(
        this,
        [this] {
            FRedrawQueued = false;
            Redraw();
        },
        Qt::QueuedConnection);
}

double TformTrends::ShownValue(size_t Index, int Column) const {
    const double V = Shown().Value(Index, Column);
    if (std::isnan(V)) return V;
    if (Column == tcTemperature) return FCelsius ? CelsiusOf(V) : V;
    if (Column >= tcAnalog0 && !FTenBits) return EightBitsOf(static_cast<int>(V));
    return V;
}

void TformTrends::Redraw() {
    if (ShowingCapture()) {
        RedrawCapture();
        return;
    }
    if (FFollow && !FPaused) ApplyRange();
    const TTrendRing& Ring = Shown();
    double From, To;
    VisibleRange(From, To);
    const int Columns = std::max(1, FPlot->axisRect()->width());
    QVector<double> Keys, Values;
    double TempLow = HUGE_VAL, TempHigh = -HUGE_VAL;
    const auto Fill = [&](QCPGraph* Graph, TTrendSource Source, const auto& Transform) {
        Keys.clear();
        Values.clear();
        DecimateTrend(Ring, Source, From, To, Columns, FScratch);
        for (const TTrendPoint& P : FScratch) {
            // A pin's step holds its value up to the next point: a gap is put at the last reading,
            // so that no step runs on into the rows a log is missing.
            const bool Gap = std::isnan(P.Value);
            Keys.push_back(Gap && !Keys.isEmpty() ? Keys.back() : KeyOf(P.Time));
            Values.push_back(Gap ? P.Value : Transform(P.Value));
        }
        Graph->setData(Keys, Values, true);
    };
    for (const TCurve& Curve : FCurves) {
        if (!Curve.Graph->visible()) {
            Curve.Graph->data()->clear();
            continue;
        }
        if (Curve.Column == tcTemperature) {
            Fill(Curve.Graph, {Curve.Column, -1}, [&](double V) {
                const double T = FCelsius ? CelsiusOf(V) : V;
                TempLow = std::min(TempLow, T);
                TempHigh = std::max(TempHigh, T);
                return T;
            });
        } else {
            Fill(Curve.Graph, {Curve.Column, -1},
                 [&](double V) { return FTenBits ? V : EightBitsOf(static_cast<int>(V)); });
        }
    }
    const int Lanes = static_cast<int>(FPins.size());
    for (int I = 0; I < Lanes; ++I) {
        const double Base = Lanes - 1 - I;
        Fill(FPins[I].Graph, {tcPort0 + FPins[I].Port, FPins[I].Bit},
             [&](double V) { return Base + V * LaneHeight; });
    }
    if (TempLow <= TempHigh) {
        const double Pad = std::max(2.0, (TempHigh - TempLow) * 0.1);
        FPlot->yAxis2->setRange(std::floor(TempLow - Pad), std::ceil(TempHigh + Pad));
    }
    FPlot->replot();
    UpdateStatus();
}

void TformTrends::ShowReadOutAt(double X) {
    if (ShowingCapture()) {
        CaptureReadOutAt(X);
        return;
    }
    const TTrendRing& Ring = Shown();
    if (Ring.Empty()) {
        FReadOut->setText(QStringLiteral(" "));
        FCursor->setVisible(false);
        return;
    }
    const double T = TimeOf(X);
    size_t I = std::min(Ring.LowerBound(T), Ring.Size() - 1);
    if (I > 0 && std::fabs(Ring.Time(I - 1) - T) <= std::fabs(Ring.Time(I) - T)) --I;
    // A break mark (a new connection, a pause between files) has nothing to read: take a neighbour.
    const auto Mark = [&](size_t J) {
        for (int C = 0; C < tcColumnCount; ++C)
            if (!std::isnan(Ring.Value(J, C))) return false;
        return true;
    };
    if (Mark(I) && I + 1 < Ring.Size() && !Mark(I + 1))
        ++I;
    else if (Mark(I) && I > 0)
        --I;
    const double Key = KeyOf(Ring.Time(I));
    QString Text = QDateTime::fromMSecsSinceEpoch(std::llround(Key * 1000), QTimeZone::utc())
                       .toString(QStringLiteral("yyyy-MM-dd hh:mm:ss"));
    const auto Number = [](double V, int Decimals = 0) {
        return std::isnan(V) ? QStringLiteral("(none)") : QString::number(V, 'f', Decimals);
    };
    for (const TCurve& Curve : FCurves) {
        if (!Curve.Graph->visible()) continue;
        const double V = ShownValue(I, Curve.Column);
        if (Curve.Column == tcTemperature)
            Text += QStringLiteral("   %1 %2 %3")
                        .arg(Curve.Graph->name(), Number(V, FCelsius ? 1 : 0),
                             FCelsius ? QStringLiteral("°C") : QStringLiteral("°F"));
        else
            Text += QStringLiteral("   %1 %2").arg(Curve.Graph->name(), Number(V));
    }
    for (const TPinTrace& Pin : FPins) {
        const double Port = Ring.Value(I, tcPort0 + Pin.Port);
        const QString State = std::isnan(Port) ? QStringLiteral("(none)")
                                               : QString::number((static_cast<int>(Port) >> Pin.Bit) & 1);
        // A pin's name and state stay on one line when the read-out wraps.
        Text += QStringLiteral("   ") +
                QString(PinName(Pin.Port, Pin.Bit) + ' ' + State).replace(' ', QChar::Nbsp);
    }
    FReadOut->setText(Text);
    FCursor->point1->setCoords(Key, 0);
    FCursor->point2->setCoords(Key, 1);
    FCursor->setVisible(true);
    FPlot->replot(QCustomPlot::rpQueuedReplot);
}

QString TformTrends::ReadOut() const {
    return FReadOut->text().replace(QChar::Nbsp, ' ').trimmed();
}

void TformTrends::UpdateTitle() {
    QString Title = QStringLiteral("Trends");
    if (ShowingCapture()) {
        QStringList Names;
        for (const TCaptureChannel& C : FCapture.Channels()) Names << QString::fromStdString(C.Name());
        Title += QStringLiteral(" - capture of ") + Names.join(QStringLiteral(", "));
    } else if (ShowingLog() && !FLogFiles.isEmpty()) {
        Title += QStringLiteral(" - ") + QFileInfo(FLogFiles.front()).fileName();
        if (FLogFiles.size() > 1) Title += QStringLiteral(" and %1 more").arg(FLogFiles.size() - 1);
    }
    setWindowTitle(Title);
    FLiveAction->setEnabled(ShowingLog() || ShowingCapture());
    FCaptureAction->setEnabled(!ShowingCapture() && FCapture.ChannelCount() > 0);
    FWindowBox->setEnabled(!ShowingCapture());
    FWindowBox->setItemText(twSinceConnecting, ShowingLog() ? QStringLiteral("the whole log")
                                                            : QStringLiteral("since connecting"));
}

void TformTrends::UpdateStatus() {
    QString Text;
    if (Loading()) Text = QStringLiteral("Opening the data log...   ");
    const TTrendRing& Ring = Shown();
    if (ShowingCapture())
        Text += CaptureStatus();
    else if (ShowingLog())
        Text += QStringLiteral("Data log: %1 rows").arg(FLogRows);
    else
        Text += QStringLiteral("Live: %1 samples held (up to 24 hours)").arg(Ring.Size());
    const bool TicksPaused = FCapturing && !ShowingCapture();
    if (TicksPaused)
        Text += QStringLiteral("   A capture runs: the ticks pause until it ends (Show Capture)");
    if (FPaused)
        Text += TicksPaused ? QStringLiteral("   Paused: the picture stands still")
                            : QStringLiteral("   Paused: the picture stands still, the readings go on");
    FStatus->setText(Text);
}

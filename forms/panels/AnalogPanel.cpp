#include "AnalogPanel.h"

#include <QCheckBox>
#include <QFocusEvent>
#include <QHBoxLayout>
#include <QHeaderView>
#include <QLabel>
#include <QPushButton>
#include <QSignalBlocker>
#include <QSpinBox>
#include <QTableWidget>
#include <QVBoxLayout>
#include <cstdio>

#include "BoardSession.h"
#include "Conversions.h"
#include "GridDelegates.h"
#include "PanelSupport.h"
#include "TempTableDlg.h"

using panels::BoldLabel;
using panels::Named;

std::string TemperatureText(int DegF) {
    // The decimal separator is the locale's.
    char text[64];
    std::snprintf(text, sizeof text, "Temperature = %dF (%.1fC)", DegF, CelsiusOf(DegF));
    return text;
}

TAnalogPanel::TAnalogPanel(TBoardSession& Session, TUiServices& Ui, QWidget* Parent)
    : TCollapsiblePanel("Analog Inputs", Parent), FSession(Session), FUi(Ui) {
    setObjectName("pnlAnalog");
    SetColor(QColor(192, 220, 192));
    QWidget* body = Body();
    auto* row = new QHBoxLayout(body);
    FRow = row;
    row->setContentsMargins(8, 2, 8, 6);
    row->setSpacing(12);

    auto* grids = new QVBoxLayout;
    grids->setSpacing(3);
    chkShowTenBits = Named(new QCheckBox("Show 10-bit Values", body), "chkShowTenBits",
                           "Check to show all 10 bits (0-1023) of analog inputs, \n"
                           "otherwise values are scaled to 8 bits (0-255).");
    grids->addWidget(chkShowTenBits);
    auto* pair = new QHBoxLayout;
    pair->setSpacing(6);
    gridAnalog1 = CreateGrid("gridAnalog1", 3);
    gridAnalog2 = CreateGrid("gridAnalog2", 2);
    pair->addWidget(gridAnalog1, 0, Qt::AlignTop);
    pair->addWidget(gridAnalog2, 0, Qt::AlignTop);
    grids->addLayout(pair);
    grids->addStretch(1);
    row->addLayout(grids);

    auto* temp = new QVBoxLayout;
    temp->setSpacing(6);
    lblTemp = BoldLabel("Temp (AIN4) = ***F (**C)", "lblTemp", body);
    lblTemp->setMinimumWidth(176);
    auto* offset = new QHBoxLayout;
    lblThermOffset = Named(new QLabel("Thermistor A/D Offset:", body), "lblThermOffset");
    spinThermOffset = Named(new QSpinBox(body), "spinThermOffset");
    spinThermOffset->setRange(-128, 128);
    spinThermOffset->setSingleStep(1);
    spinThermOffset->setValue(0);
    spinThermOffset->setMinimumWidth(56);
    offset->addWidget(lblThermOffset);
    offset->addWidget(spinThermOffset);
    offset->addStretch(1);
    btnTempTable =
        Named(new QPushButton("Temp Table..", body), "btnTempTable", "Display temperature lookup table.");
    temp->addSpacing(4);
    temp->addWidget(lblTemp);
    temp->addLayout(offset);
    temp->addWidget(btnTempTable, 0, Qt::AlignLeft);
    temp->addStretch(1);
    row->addLayout(temp);

    for (int input = 0; input < TVelmorant::AnalogInputCount; ++input) {
        QTableWidget* grid = GridOf(input);
        const int gridRow = input < 3 ? input : input - 3;
        for (int col = 0; col < 3; ++col) {
            auto* item = new QTableWidgetItem;
            item->setFlags(Qt::ItemIsEnabled);
            item->setTextAlignment(col == acValue ? Qt::Alignment(Qt::AlignRight | Qt::AlignVCenter)
                                                  : Qt::Alignment(Qt::AlignCenter));
            grid->setItem(gridRow, col, item);
        }
        grid->item(gridRow, acInput)->setText(QString::number(input));
        grid->item(gridRow, acValue)->setData(Qt::DisplayRole, 0);
        grid->item(gridRow, acGauge)->setData(Qt::DisplayRole, 0);
    }

    connect(chkShowTenBits, &QCheckBox::toggled, this, &TAnalogPanel::TenBitsChanged);
    connect(spinThermOffset, &QSpinBox::valueChanged, this,
            Guarded(FUi, this, [this] { spinThermOffsetChange(); }));
    spinThermOffset->installEventFilter(this);
    connect(btnTempTable, &QPushButton::clicked, this, Guarded(FUi, this, [this] { btnTempTableClick(); }));
}

QTableWidget* TAnalogPanel::CreateGrid(const char* Name, int Rows) {
    auto* grid = Named(new QTableWidget(Rows, 3), Name);
    panels::SetHeader(grid, acInput, "Input", "colInput");
    panels::SetHeader(grid, acValue, "Value", "colValue");
    panels::SetHeader(grid, acGauge, "Gauge", "colBar");
    grid->verticalHeader()->hide();
    grid->setEditTriggers(QAbstractItemView::NoEditTriggers);
    grid->setSelectionMode(QAbstractItemView::NoSelection);
    grid->setFocusPolicy(Qt::NoFocus);
    grid->horizontalHeader()->setSectionsMovable(false);
    grid->horizontalHeader()->setSectionResizeMode(QHeaderView::Fixed);
    grid->setColumnWidth(acInput, 36);
    grid->setColumnWidth(acValue, 44);
    grid->setColumnWidth(acGauge, 90);
    grid->setItemDelegateForColumn(acGauge, new TGaugeDelegate(0, 1023, QColor(0, 0, 255), grid));
    grid->setFixedWidth(36 + 44 + 90 + 2 * grid->frameWidth());
    panels::FitGridHeight(grid, Rows);
    return grid;
}

QTableWidget* TAnalogPanel::GridOf(int Input) const {
    return Input < 3 ? gridAnalog1 : gridAnalog2;
}

void TAnalogPanel::AddLoggingBox(QWidget* Box) {
    auto* row = static_cast<QHBoxLayout*>(FRow);
    row->addWidget(Box, 0, Qt::AlignTop);
    row->addStretch(1);
}

bool TAnalogPanel::TenBits() const {
    return chkShowTenBits->isChecked();
}

void TAnalogPanel::ShowReadings(const TTickReadings& Readings) {
    const bool tenBits = TenBits();
    for (int input = 0; input < TVelmorant::AnalogInputCount; ++input) {
        const std::optional<int>& raw = Readings.Analog[input];
        QTableWidget* grid = GridOf(input);
        const int gridRow = input < 3 ? input : input - 3;
        if (raw) {
            grid->item(gridRow, acValue)->setData(Qt::DisplayRole, tenBits ? *raw : EightBitsOf(*raw));
            grid->item(gridRow, acGauge)->setData(Qt::DisplayRole, *raw);
        }
        panels::MarkStale(grid->item(gridRow, acValue), !raw);
        panels::MarkStale(grid->item(gridRow, acGauge), !raw);
    }

    if (Readings.Temperature)
        lblTemp->setText(QString::fromStdString(TemperatureText(*Readings.Temperature)));
    // A style sheet set again restyles the label even when it is the same: only on a change, not every tick.
    const QString temperatureStyle = Readings.Temperature ? QString() : QString("color: rgb(150, 150, 150);");
    if (lblTemp->styleSheet() != temperatureStyle) lblTemp->setStyleSheet(temperatureStyle);
}

void TAnalogPanel::ShowOffset(int Offset) {
    // Showing the board's offset is not the user changing it: nothing goes back to the board.
    const QSignalBlocker blockOffset(spinThermOffset);
    spinThermOffset->setValue(Offset);
}

bool TAnalogPanel::eventFilter(QObject* Watched, QEvent* Event) {
    // Blocked while the window is taken down: the session may already be gone.
    if (Watched == spinThermOffset && Event->type() == QEvent::FocusOut && !signalsBlocked()) {
        // Focus that goes to another window or a menu comes back without the box being left.
        const Qt::FocusReason reason = static_cast<QFocusEvent*>(Event)->reason();
        if (reason != Qt::ActiveWindowFocusReason && reason != Qt::PopupFocusReason)
            RunGuarded(FUi, window(), [this] { spinThermOffsetExit(); });
    }
    return TCollapsiblePanel::eventFilter(Watched, Event);
}

void TAnalogPanel::spinThermOffsetChange() {
    // Typing alone sends nothing; the offset goes out when the box is left.
}

void TAnalogPanel::spinThermOffsetExit() {
    spinThermOffset->interpretText();
    FSession.SetADCOffset(4, spinThermOffset->value());
}

void TAnalogPanel::btnTempTableClick() {
    if (FTempTable != nullptr && !FTempTable->isVisible()) FTempTable->show();
}

#include "PinsPanel.h"

#include <QCheckBox>
#include <QHBoxLayout>
#include <QHeaderView>
#include <QKeyEvent>
#include <QSignalBlocker>
#include <QTableWidget>
#include <QVBoxLayout>
#include <algorithm>

#include "BoardSession.h"
#include "Controls.h"
#include "GridDelegates.h"
#include "PanelSupport.h"

using panels::Named;

namespace {

const QStringList DirectionItems{"Output", "Input"};

TDropDownDelegate* DirectionColumn(const QTableWidget* Grid) {
    return qobject_cast<TDropDownDelegate*>(Grid->itemDelegateForColumn(pcDirection));
}

// Index of a Direction cell's text among the column's items ("Output" 0, "Input" 1), -1 for none:
// what the user just chose in the cell's list.
int DirectionIndex(const QTableWidget* Grid, int Row) {
    const TDropDownDelegate* column = DirectionColumn(Grid);
    return column != nullptr ? column->Items().indexOf(Grid->item(Row, pcDirection)->text()) : -1;
}

}  // namespace

bool IsBitSet(uint8_t Value, int Bit) {
    return ((Value >> Bit) & 1u) != 0;
}

void SetBitInByte(int Bit, bool State, uint8_t& Value) {
    const auto mask = static_cast<uint8_t>(1u << Bit);
    Value = State ? static_cast<uint8_t>(Value | mask) : static_cast<uint8_t>(Value & ~mask);
}

TPinsPanel::TPinsPanel(TBoardSession& Session, TUiServices& Ui, QWidget* Parent)
    : TCollapsiblePanel("Digital I/O Pins", Parent), FSession(Session), FUi(Ui) {
    setObjectName("pnlPins");
    SetColor(QColor(166, 202, 240));
    QWidget* body = Body();
    auto* row = new QHBoxLayout(body);
    row->setContentsMargins(4, 2, 4, 6);
    row->setSpacing(3);
    for (int port = 0; port < TVelmorant::PortCountConst; ++port) {
        const QString caption =
            port <= 2 ? QString("PORT%1").arg(port) : QString("PORT%1 (Virtual)").arg(port);
        pnlPort[port] = Named(new TCaptionPanel(caption, body), qPrintable(QString("pnlPort%1").arg(port)));
        // Six ports share the window's width; bold captions would not fit the virtual ones.
        QFont captionFont = pnlPort[port]->CaptionLabel()->font();
        captionFont.setBold(false);
        captionFont.setPointSizeF(7.5);
        pnlPort[port]->CaptionLabel()->setFont(captionFont);
        gridPort[port] = CreatePortGrid(port);
        auto* inner = new QVBoxLayout(pnlPort[port]->Body());
        inner->setContentsMargins(0, 0, 0, 0);
        inner->addWidget(gridPort[port]);
        // Shares by stretch alone, so that a caption-bar control does not widen its port.
        pnlPort[port]->setSizePolicy(QSizePolicy::Ignored, QSizePolicy::Preferred);
        row->addWidget(pnlPort[port], port <= 2 ? 11 : 6);
        for (int pin = 0; pin < 8; ++pin)
            gridPort[port]->item(pin, pcPin)->setText(QString::number(port * 8 + pin));
    }
    chkPullupPort0 = Named(new QCheckBox("Enable Pullups"), "chkPullupPort0",
                           "Enable built-in pull-up resistors (to 5V) on Port 0");
    chkPullupPort2 = Named(new QCheckBox("Enable Pullups"), "chkPullupPort2",
                           "Enable built-in pull-up resistors (to 5V) on Port 2");
    pnlPort[0]->SetCaptionControl(chkPullupPort0);
    pnlPort[2]->SetCaptionControl(chkPullupPort2);
    for (TCaptionPanel* panel : pnlPort) panel->SetCaptionHeight(chkPullupPort0->sizeHint().height() + 2);

    for (QTableWidget* grid : gridPort)
        connect(grid, &QTableWidget::cellClicked, this, Guarded(FUi, this, [this, grid](int Row, int Col) {
                    PortGridCellClick(grid, Col, Row);
                    // The direction list opens with the same click that selects its cell.
                    if (Col == pcDirection && PortOfGrid(grid) <= 2) grid->editItem(grid->item(Row, Col));
                }));
    for (QTableWidget* grid : gridPort) grid->installEventFilter(this);
    connect(chkPullupPort0, &QCheckBox::toggled, this,
            Guarded(FUi, this, [this](bool On) { PullupBoxClick(0, On); }));
    connect(chkPullupPort2, &QCheckBox::toggled, this,
            Guarded(FUi, this, [this](bool On) { PullupBoxClick(2, On); }));
}

QTableWidget* TPinsPanel::CreatePortGrid(int Port) {
    const bool physical = Port <= 2;
    auto* grid = Named(new QTableWidget(8, 4), qPrintable(QString("gridPort%1").arg(Port)));
    const QString n = QString::number(Port);
    panels::SetHeader(grid, pcPin, "Pin", qPrintable("colPin" + n));
    panels::SetHeader(grid, pcState, "State", qPrintable("colState" + n));
    panels::SetHeader(grid, pcDirection, "Direction", qPrintable("colDir" + n));
    panels::SetHeader(grid, pcComment, "Comment", qPrintable("colComment" + n));
    grid->verticalHeader()->hide();
    grid->horizontalHeader()->setSectionsMovable(false);
    grid->horizontalHeader()->setHighlightSections(false);
    // Six grids side by side: the headers need every pixel.
    QFont headerFont = grid->horizontalHeader()->font();
    headerFont.setPointSizeF(7.5);
    grid->horizontalHeader()->setFont(headerFont);
    grid->horizontalHeader()->setStyleSheet("QHeaderView::section { padding: 0px 2px; }");
    grid->setSelectionMode(QAbstractItemView::SingleSelection);
    grid->setSelectionBehavior(QAbstractItemView::SelectItems);
    grid->setItemDelegateForColumn(pcState, new TStateBarDelegate(grid));
    // No delayed second-click editing: the Direction list opens at the first click.
    grid->setEditTriggers(QAbstractItemView::DoubleClicked | QAbstractItemView::EditKeyPressed |
                          QAbstractItemView::AnyKeyPressed);
    for (int row = 0; row < 8; ++row) {
        for (int col = 0; col < 4; ++col) {
            auto* item = new QTableWidgetItem;
            if (col == pcPin || col == pcState) item->setFlags(Qt::ItemIsEnabled | Qt::ItemIsSelectable);
            if (col == pcPin) item->setTextAlignment(Qt::AlignCenter);
            grid->setItem(row, col, item);
        }
        grid->item(row, pcState)->setData(Qt::DisplayRole, 0);
    }
    grid->setColumnWidth(pcPin, 22);
    grid->setColumnWidth(pcState, 30);
    if (physical) {
        auto* directions = new TDropDownDelegate(DirectionItems, grid);
        grid->setItemDelegateForColumn(pcDirection, directions);
        connect(directions, &TDropDownDelegate::CloseUp, this,
                Guarded(FUi, this, [this, grid](QWidget* Editor, const QModelIndex&) {
                    DirectionListCloseUp(grid, Editor);
                }));
        auto* comments = new TNotifyingTextDelegate(grid);
        grid->setItemDelegateForColumn(pcComment, comments);
        connect(comments, &TNotifyingTextDelegate::EditAccepted, this,
                Guarded(FUi, this, [this, grid](int Row, int Col, const QString& Value) {
                    PortGridAfterEdit(grid, Col, Row, Value.toStdString());
                }));
        // Wide enough for its header: "Input"/"Output" alone would clip "Direction".
        grid->setColumnWidth(pcDirection,
                             grid->horizontalHeader()->fontMetrics().horizontalAdvance("Direction") + 8);
        grid->horizontalHeader()->setSectionResizeMode(pcComment, QHeaderView::Stretch);
        // A comment's two ends tell pins apart better than its start alone; the hint shows it whole.
        // Wrapping would break it at its spaces and elide each piece.
        grid->setTextElideMode(Qt::ElideMiddle);
        grid->setWordWrap(false);
    } else {
        grid->setColumnHidden(pcDirection, true);
        grid->setColumnHidden(pcComment, true);
        grid->horizontalHeader()->setSectionResizeMode(pcState, QHeaderView::Stretch);
    }
    // Only output pins (and every virtual one) change when their State bar is clicked.
    new TCellCursor(grid, [grid, physical](const QModelIndex& Index) {
        if (Index.column() != pcState) return false;
        const QTableWidgetItem* direction = grid->item(Index.row(), pcDirection);
        return !physical || (direction != nullptr && direction->text() == DirectionItems.front());
    });
    panels::FitGridHeight(grid, 8);
    grid->setSizePolicy(QSizePolicy::Ignored, QSizePolicy::Fixed);
    return grid;
}

bool TPinsPanel::eventFilter(QObject* Watched, QEvent* Event) {
    auto* grid = qobject_cast<QTableWidget*>(Watched);
    if (grid == nullptr || Event->type() != QEvent::KeyPress || signalsBlocked()) return false;
    const auto* key = static_cast<QKeyEvent*>(Event);
    if (key->key() != Qt::Key_Space || key->modifiers() != Qt::NoModifier || grid->currentColumn() != pcState)
        return false;
    RunGuarded(FUi, window(), [&] { PortGridCellClick(grid, pcState, grid->currentRow()); });
    return true;
}

int TPinsPanel::PortOfGrid(const QTableWidget* Grid) const {
    return static_cast<int>(std::find(gridPort.begin(), gridPort.end(), Grid) - gridPort.begin());
}

void TPinsPanel::ShowReadings(const TTickReadings& Readings) {
    for (int port = 0; port < TVelmorant::PortCountConst; ++port) {
        const std::optional<int>& value = Readings.Ports[port];
        for (int pin = 0; pin < 8; ++pin) {
            QTableWidgetItem* cell = gridPort[port]->item(pin, pcState);
            if (value) cell->setData(Qt::DisplayRole, *value & (1 << pin));
            panels::MarkStale(cell, !value);
        }
    }
}

void TPinsPanel::ShowSettings(const TBoardState& State) {
    const QSignalBlocker blockPullup0(chkPullupPort0);
    const QSignalBlocker blockPullup2(chkPullupPort2);
    chkPullupPort0->setChecked(State.Pullups[0]);
    chkPullupPort2->setChecked(State.Pullups[2]);
    for (int port = 0; port <= 2; ++port) {
        for (int pin = 0; pin < 8; ++pin)
            gridPort[port]
                ->item(pin, pcDirection)
                ->setText(IsBitSet(State.Directions[port], pin) ? "Input" : "Output");
        for (int pin = 0; pin < 8; ++pin)
            gridPort[port]
                ->item(pin, pcComment)
                ->setText(QString::fromStdString(State.PinComments[port * 8 + pin]));
    }
}

void TPinsPanel::PortGridCellClick(QTableWidget* Sender, int ACol, int ARow) {
    if (ACol != pcState) return;
    const TBoardState& state = FSession.State();
    const int port = PortOfGrid(Sender);
    // The virtual ports have no direction: every pin of theirs can be written.
    if (port <= 2 && IsBitSet(state.Directions[port], ARow)) return;
    // A pin whose state the board did not tell cannot be toggled.
    const std::optional<int>& reading = state.Readings.Ports[port];
    if (!reading) {
        emit Refused(QString::fromStdString(
            state.Lost
                ? "The pin cannot be switched while the Velmorant is away: waiting for " + state.LostPort
                : "The pin cannot be switched: the Velmorant did not tell its state"));
        return;
    }
    const int pin = port * 8 + ARow;
    FSession.SetPinState(pin, !IsBitSet(static_cast<uint8_t>(*reading), ARow));
}

void TPinsPanel::PortGridAfterEdit(QTableWidget* Sender, int ACol, int ARow, const std::string& Value) {
    if (ACol != pcComment) return;
    FSession.SetPinComment(PortOfGrid(Sender) * 8 + ARow, Value);
}

void TPinsPanel::DirectionListCloseUp(QTableWidget* Sender, QWidget* Editor) {
    if (TDropDownDelegate* column = DirectionColumn(Sender)) column->CommitAndClose(Editor);
    const int pin = Sender->currentRow();
    if (pin < 0 || pin > 7) return;
    FSession.SetDirection(PortOfGrid(Sender), pin, DirectionIndex(Sender, pin) != 0);
}

void TPinsPanel::PullupBoxClick(int Port, bool Checked) {
    // Both ports' pull-ups go out, the other as the session holds it.
    const TBoardState& state = FSession.State();
    FSession.SetPullups(Port == 0 ? Checked : state.Pullups[0], Port == 2 ? Checked : state.Pullups[2]);
}

// The main window's controls, their captions and hints, and the binding of their handlers.
#include <QAction>
#include <QCheckBox>
#include <QComboBox>
#include <QEvent>
#include <QGridLayout>
#include <QGroupBox>
#include <QHBoxLayout>
#include <QHeaderView>
#include <QKeySequence>
#include <QLabel>
#include <QLineEdit>
#include <QMenuBar>
#include <QPushButton>
#include <QSpinBox>
#include <QStatusBar>
#include <QTableWidget>
#include <QTimer>
#include <QToolBar>
#include <QVBoxLayout>

#include "CollapsiblePanel.h"
#include "Controls.h"
#include "GridDelegates.h"
#include "Main.h"
#include "MarkupList.h"
#include "Pictures.h"

namespace {

constexpr int RowHeight = 18;
constexpr int HeaderHeight = 20;

const QColor CommColor(222, 230, 238);
const QColor AnalogColor(192, 220, 192);
const QColor PinsColor(166, 202, 240);
const QColor PLCColor(240, 240, 240);

const QStringList DirectionItems{"Output", "Input"};

const QStringList PeriodItems{"Full Speed", "1/2",    "1/4",     "1/8",    "1/16",   "1/32",
                              "1/64",       "1/128",  "1/256",   "1/512",  "1/1024", "1/2048",
                              "1/4096",     "1/8192", "1/16384", "1/32768"};

template <typename T>
T* Named(T* Widget, const char* Name, const char* Hint = nullptr) {
    Widget->setObjectName(Name);
    if (Hint != nullptr) Widget->setToolTip(QString::fromUtf8(Hint));
    return Widget;
}

QLabel* BoldLabel(const QString& Text, const char* Name, QWidget* Parent) {
    auto* label = Named(new QLabel(Text, Parent), Name);
    QFont f = label->font();
    f.setBold(true);
    label->setFont(f);
    return label;
}

// A grid of fixed rows that shows all of them without scrolling.
void FitGridHeight(QTableWidget* Grid, int Rows) {
    Grid->verticalHeader()->setMinimumSectionSize(RowHeight);
    Grid->verticalHeader()->setDefaultSectionSize(RowHeight);
    Grid->horizontalHeader()->setFixedHeight(HeaderHeight);
    Grid->setVerticalScrollBarPolicy(Qt::ScrollBarAlwaysOff);
    Grid->setHorizontalScrollBarPolicy(Qt::ScrollBarAlwaysOff);
    Grid->setFixedHeight(HeaderHeight + Rows * RowHeight + 2 * Grid->frameWidth());
}

void SetHeader(QTableWidget* Grid, int Column, const QString& Caption, const char* Name) {
    auto* item = new QTableWidgetItem(Caption);
    item->setData(Qt::UserRole, QString(Name));
    Grid->setHorizontalHeaderItem(Column, item);
}

}  // namespace

void TformMain::CreateControls() {
    setObjectName("formMain");
    setWindowTitle("Velmorant");
    setWindowIcon(ApplicationIcon());
    // System menu and minimize only: the layout is made for one height per panel state.
    setWindowFlags(Qt::Window | Qt::CustomizeWindowHint | Qt::WindowTitleHint | Qt::WindowSystemMenuHint |
                   Qt::WindowMinimizeButtonHint | Qt::WindowCloseButtonHint);
    QFont font("DejaVu Sans");
    font.setPointSize(8);
    setFont(font);

    CreateMenu();

    auto* central = new QWidget(this);
    central->setObjectName("central");
    auto* layout = new QVBoxLayout(central);
    layout->setContentsMargins(3, 3, 3, 0);
    layout->setSpacing(3);
    layout->addWidget(CreateCommPanel());
    layout->addWidget(CreateAnalogPanel());
    layout->addWidget(CreatePinsPanel());
    layout->addWidget(CreatePLCPanel(), 1);
    // Takes the room the PLC panel leaves while it is collapsed.
    layout->addStretch(0);
    layout->addWidget(CreateBottomPanel());
    setCentralWidget(central);

    sbarStatus = Named(new QLabel(this), "sbarStatus");
    statusBar()->setObjectName("statusBar");
    statusBar()->setSizeGripEnabled(false);
    statusBar()->addWidget(sbarStatus, 1);

    timerStatus = new QTimer(this);
    timerStatus->setObjectName("timerStatus");
    timerStatus->setInterval(500);

    dlgOpen = TFileDialogRequest{false,
                                 "Recall Settings",
                                 "Velmorant Settings (*.velmor)|*.velmor",
                                 1,
                                 ".velmor",
                                 std::string(),
                                 std::string(),
                                 false,
                                 true};
    dlgSave = TFileDialogRequest{true,
                                 "Save Settings",
                                 "Velmorant Settings (*.velmor)|*.velmor",
                                 1,
                                 ".velmor",
                                 std::string(),
                                 std::string(),
                                 true,
                                 false};

    // Hints stay up long enough to read the longer ones.
    for (QWidget* w : findChildren<QWidget*>())
        if (!w->toolTip().isEmpty()) w->setToolTipDuration(10000);

    // The window's frame takes the rest of 800 by 300. Set on the central widget, so that the
    // layout can still ask for more than that.
    central->setMinimumSize(784, 262 - menuBar()->sizeHint().height() - statusBar()->sizeHint().height());
}

void TformMain::CreateMenu() {
    menuBar()->setObjectName("menuMain");
    miFile = Named(menuBar()->addMenu("&File"), "miFile");
    miRecallfromFile = Named(miFile->addAction("Recall from File.."), "miRecallfromFile");
    miSavetoFile = Named(miFile->addAction("Save to File.."), "miSavetoFile");
    miRecallfromFile->setShortcut(QKeySequence(Qt::CTRL | Qt::Key_O));
    miSavetoFile->setShortcut(QKeySequence(Qt::CTRL | Qt::Key_S));
    // Added beside the settings-file commands; the specified items keep their places.
    miOpenDataLog = Named(miFile->addAction("Open Data Log.."), "miOpenDataLog");
    miFile->addSeparator();
    miExit = Named(miFile->addAction("E&xit"), "miExit");
    miOptions = Named(menuBar()->addMenu("&Options"), "miOptions");
    miUpdateFirmware = Named(miOptions->addAction("&Update firmware on Velmorant.."), "miUpdateFirmware");
    miTrends = Named(miOptions->addAction("&Trends.."), "miTrends");
    miTrends->setShortcut(QKeySequence(Qt::CTRL | Qt::Key_T));
    miHelp = Named(menuBar()->addMenu("&Help"), "miHelp");
    miAbout = Named(miHelp->addAction("&About.."), "miAbout");
}

QWidget* TformMain::CreateCommPanel() {
    pnlComm = Named(new TCollapsiblePanel("COM Port Connection"), "pnlComm");
    pnlComm->SetColor(CommColor);
    QWidget* body = pnlComm->Body();
    auto* grid = new QGridLayout(body);
    grid->setContentsMargins(8, 2, 8, 4);
    grid->setHorizontalSpacing(6);
    grid->setVerticalSpacing(4);

    lblStatus = Named(new QLabel("Status:", body), "lblStatus");
    lblConnected = BoldLabel(" NOT CONNECTED", "lblConnected", body);
    lblConnected->setStyleSheet("color: rgb(255, 0, 0);");
    imgLogo = Named(new TClickableLabel(body), "imgLogo", MakerWebAddress);
    imgLogo->setPixmap(LogoPixmap(QSize(190, 48)));
    imgLogo->setAlignment(Qt::AlignRight | Qt::AlignVCenter);

    pnlCOM = Named(new QWidget(body), "pnlCOM");
    auto* row = new QHBoxLayout(pnlCOM);
    row->setContentsMargins(0, 0, 0, 0);
    row->setSpacing(6);
    comboPort = Named(new TDropDownComboBox(pnlCOM), "comboPort");
    comboPort->setEditable(false);
    comboPort->setMinimumWidth(90);
    btnFind = Named(new QPushButton("Connect", pnlCOM), "btnFind",
                    "Click to try to connect to the Velmorant on the specified port.");
    btnFind->setCheckable(true);
    btnFind->setMinimumWidth(90);
    lblVersion = Named(new QLabel("Firmware Version:", pnlCOM), "lblVersion");
    lblFirmware = BoldLabel("?.?", "lblFirmware", pnlCOM);
    row->addWidget(comboPort);
    row->addWidget(btnFind);
    row->addSpacing(16);
    row->addWidget(lblVersion);
    row->addWidget(lblFirmware);
    row->addStretch(1);

    auto* status = new QHBoxLayout;
    status->setSpacing(4);
    status->addWidget(lblStatus);
    status->addWidget(lblConnected);
    status->addStretch(1);
    grid->addLayout(status, 0, 0);
    grid->addWidget(pnlCOM, 1, 0);
    grid->addWidget(imgLogo, 0, 1, 2, 1);
    grid->setColumnStretch(0, 1);
    return pnlComm;
}

QTableWidget* TformMain::CreateAnalogGrid(const char* Name) {
    auto* grid = Named(new QTableWidget(0, 3), Name);
    SetHeader(grid, acInput, "Input", "colInput");
    SetHeader(grid, acValue, "Value", "colValue");
    SetHeader(grid, acGauge, "Gauge", "colBar");
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
    FitGridHeight(grid, std::string(Name) == "gridAnalog1" ? 3 : 2);
    return grid;
}

QWidget* TformMain::CreateAnalogPanel() {
    pnlAnalog = Named(new TCollapsiblePanel("Analog Inputs"), "pnlAnalog");
    pnlAnalog->SetColor(AnalogColor);
    QWidget* body = pnlAnalog->Body();
    auto* row = new QHBoxLayout(body);
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
    gridAnalog1 = CreateAnalogGrid("gridAnalog1");
    gridAnalog2 = CreateAnalogGrid("gridAnalog2");
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

    grpLogging = Named(new QGroupBox("Data Logging", body), "grpLogging");
    auto* log = new QGridLayout(grpLogging);
    log->setContentsMargins(8, 4, 8, 6);
    log->setVerticalSpacing(5);
    chkEnableDataLogging = Named(new QCheckBox("Enable Logging", grpLogging), "chkEnableDataLogging");
    lblInterval = Named(new QLabel("Interval:", grpLogging), "lblInterval");
    spinLogInterval = Named(new QSpinBox(grpLogging), "spinLogInterval");
    spinLogInterval->setRange(1, 3600);
    spinLogInterval->setSingleStep(10);
    spinLogInterval->setValue(60);
    spinLogInterval->setSuffix(" secs");
    spinLogInterval->setMinimumWidth(84);
    editLogFilename = Named(new TFileNameEdit(grpLogging), "editLogFilename");
    editLogFilename->BrowseButton()->setToolTip("Browse for file..");
    editLogFilename->setMinimumWidth(170);
    TFileDialogRequest& browse = editLogFilename->Dialog();
    browse.Title = "Log File Name";
    browse.Filter = "All files (*.*)|*.*|CSV (*.CSV)|*.CSV";
    browse.FilterIndex = 2;
    browse.DefaultSuffix = ".CSV";
    log->addWidget(chkEnableDataLogging, 0, 0, 1, 3);
    log->addWidget(lblInterval, 1, 0);
    log->addWidget(spinLogInterval, 1, 1);
    log->setColumnStretch(2, 1);
    log->addWidget(editLogFilename, 2, 0, 1, 3);
    row->addWidget(grpLogging, 0, Qt::AlignTop);
    row->addStretch(1);
    return pnlAnalog;
}

QTableWidget* TformMain::CreatePortGrid(int Port) {
    const bool physical = Port <= 2;
    auto* grid = Named(new QTableWidget(8, 4), qPrintable(QString("gridPort%1").arg(Port)));
    const QString n = QString::number(Port);
    SetHeader(grid, pcPin, "Pin", qPrintable("colPin" + n));
    SetHeader(grid, pcState, "State", qPrintable("colState" + n));
    SetHeader(grid, pcDirection, "Direction", qPrintable("colDir" + n));
    SetHeader(grid, pcComment, "Comment", qPrintable("colComment" + n));
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
    // No delayed second-click editing: the Direction list opens at the first click (BindHandlers).
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
                Guarded([this, grid](QWidget* Editor, const QModelIndex&) { colDir0CloseUp(grid, Editor); }));
        auto* comments = new TNotifyingTextDelegate(grid);
        grid->setItemDelegateForColumn(pcComment, comments);
        connect(comments, &TNotifyingTextDelegate::EditAccepted, this,
                Guarded([this, grid](int Row, int Col, const QString& Value) {
                    gridPort0AfterEdit(grid, Col, Row, Value.toStdString());
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
    FitGridHeight(grid, 8);
    grid->setSizePolicy(QSizePolicy::Ignored, QSizePolicy::Fixed);
    return grid;
}

QWidget* TformMain::CreatePinsPanel() {
    pnlPins = Named(new TCollapsiblePanel("Digital I/O Pins"), "pnlPins");
    pnlPins->SetColor(PinsColor);
    QWidget* body = pnlPins->Body();
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
    }
    chkPullupPort0 = Named(new QCheckBox("Enable Pullups"), "chkPullupPort0",
                           "Enable built-in pull-up resistors (to 5V) on Port 0");
    chkPullupPort2 = Named(new QCheckBox("Enable Pullups"), "chkPullupPort2",
                           "Enable built-in pull-up resistors (to 5V) on Port 2");
    pnlPort[0]->SetCaptionControl(chkPullupPort0);
    pnlPort[2]->SetCaptionControl(chkPullupPort2);
    for (TCaptionPanel* panel : pnlPort) panel->SetCaptionHeight(chkPullupPort0->sizeHint().height() + 2);
    return pnlPins;
}

QWidget* TformMain::CreatePLCPanel() {
    pnlPLC = Named(new TCollapsiblePanel("PLC Program"), "pnlPLC");
    pnlPLC->SetColor(PLCColor);
    pnlPLC->SetFillsHeight(true);
    pnlPLC->SetBodyHeight(180);
    QWidget* body = pnlPLC->Body();
    auto* column = new QVBoxLayout(body);
    column->setContentsMargins(9, 5, 8, 4);
    column->setSpacing(3);

    auto* top = new QHBoxLayout;
    chkPLCEnabled = Named(new QCheckBox("PLC Mode Enabled", body), "chkPLCEnabled",
                          "Check to enable PLC mode. \n"
                          "You cannot edit or execute PLC programs unless this option is checked.");
    lblPeriod = Named(new QLabel("Logic Update Period:", body), "lblPeriod");
    cmbxPeriod = Named(new QComboBox(body), "cmbxPeriod",
                       "Change the rate at which the Velmorant performs logic calculations.");
    cmbxPeriod->addItems(PeriodItems);
    cmbxPeriod->setMaxVisibleItems(PeriodItems.size());
    top->addWidget(chkPLCEnabled);
    top->addSpacing(24);
    top->addWidget(lblPeriod);
    top->addWidget(cmbxPeriod);
    top->addStretch(1);
    column->addLayout(top);

    tbarProgram = Named(new QToolBar(body), "tbarProgram");
    tbarProgram->setIconSize(QSize(16, 16));
    tbarProgram->setFixedHeight(24);
    tbarProgram->addSeparator();
    tbarProgram->addSeparator();
    const auto addButton = [this](const char* Name, const char* Caption, const char* Hint,
                                  const QIcon& Icon) {
        auto* b = Named(new TPressedToolButton(tbarProgram), Name, Hint);
        b->setText(Caption);
        b->setIcon(Icon);
        b->setFixedSize(27, 22);
        tbarProgram->addWidget(b);
        return b;
    };
    tbtnStop = addButton("tbtnStop", "Stop", "Stop program", StopIcon());
    tbtnSingleStep = addButton("tbtnSingleStep", "Single Step", "Single step program", SingleStepIcon());
    tbtnRun = addButton("tbtnRun", "Run", "Run program", RunIcon());
    // A key presses the button, so it acts only when a click would.
    tbtnStop->setShortcut(QKeySequence(Qt::SHIFT | Qt::Key_F5));
    tbtnSingleStep->setShortcut(QKeySequence(Qt::Key_F10));
    tbtnRun->setShortcut(QKeySequence(Qt::Key_F5));
    column->addWidget(tbarProgram);

    auto* editor = new QHBoxLayout;
    editor->setSpacing(4);
    gridProgram = Named(new QTableWidget(20, 4, body), "gridProgram",
                        "LValues:\nPORT0..PORT5\nPIN0..PIN47\n\nRValues:\nPORT0..5\nPIN0..PIN47\nAIN0..AIN4\n"
                        "Constant (0-255)");
    SetHeader(gridProgram, pgLineNo, "Line #", "colProgLineNo");
    SetHeader(gridProgram, pgCode, "Code", "colProgLineCode");
    SetHeader(gridProgram, pgComments, "Comments", "colComments");
    SetHeader(gridProgram, pgErrors, "Errors", "colErrors");
    gridProgram->setColumnWidth(pgLineNo, 40);
    gridProgram->setColumnWidth(pgCode, 140);
    gridProgram->setColumnWidth(pgComments, 120);
    gridProgram->setColumnWidth(pgErrors, 164);
    gridProgram->horizontalHeader()->setStretchLastSection(true);
    gridProgram->horizontalHeader()->setSectionsMovable(false);
    // A highlighted section draws its caption bold, measured for the regular font: "Line #" lost
    // its first letter to the 40 pixels.
    gridProgram->horizontalHeader()->setHighlightSections(false);
    gridProgram->horizontalHeader()->setFixedHeight(HeaderHeight);
    gridProgram->verticalHeader()->setDefaultSectionSize(RowHeight);
    gridProgram->verticalHeader()->setMinimumSectionSize(RowHeight);
    gridProgram->verticalHeader()->setFixedWidth(14);
    gridProgram->setHorizontalScrollBarPolicy(Qt::ScrollBarAlwaysOff);
    gridProgram->setSelectionMode(QAbstractItemView::SingleSelection);
    gridProgram->setSelectionBehavior(QAbstractItemView::SelectItems);
    gridProgram->setEditTriggers(QAbstractItemView::SelectedClicked | QAbstractItemView::EditKeyPressed |
                                 QAbstractItemView::AnyKeyPressed);
    auto* programDelegate = new TNotifyingTextDelegate(gridProgram);
    gridProgram->setItemDelegate(programDelegate);
    connect(programDelegate, &TNotifyingTextDelegate::EditAccepted, this,
            Guarded([this](int Row, int Col, const QString& Value) {
                gridProgramEndEditing(Col, Row, Value.toStdString());
            }));
    // Enter goes on to the next line, as in a spreadsheet, so that a program is typed line by line.
    connect(programDelegate, &TNotifyingTextDelegate::EnterCommitted, this, [this](int Row, int Col) {
        if (Row + 1 < gridProgram->rowCount()) gridProgram->setCurrentCell(Row + 1, Col);
    });
    // Only error texts wrap, and their rows grow to them (MarkProgramLineError); code and
    // comments stay on one line.
    gridProgram->setWordWrap(false);
    gridProgram->setItemDelegateForColumn(pgErrors, new TWrappingTextDelegate(gridProgram));
    connect(gridProgram->horizontalHeader(), &QHeaderView::sectionResized, gridProgram, [this](int Column) {
        if (Column == pgErrors) gridProgram->resizeRowsToContents();
    });
    editor->addWidget(gridProgram, 1);

    listSyntax =
        Named(new TMarkupList(body), "listSyntax",
              "LValues:\nPORT0..PORT5   PIN0..PIN47\n\nRValues:\n"
              "PORT0..5  PIN0..PIN47  AIN0..AIN4  Constant (0-255)\n\nOperations:\n+ - AND OR XOR \n\n"
              "Comparisons:\n= <> > <");
    listSyntax->setFixedWidth(280);
    listSyntax->setFrameShape(QFrame::NoFrame);
    QPalette p = listSyntax->palette();
    p.setColor(QPalette::Base, PLCColor);
    listSyntax->setPalette(p);
    listSyntax->AddMarkup("<U><B>Program Line Syntax</B></U>");
    listSyntax->AddMarkup("NOP");
    listSyntax->AddMarkup("GOTO <A HREF=line>&lt;Line&gt;</A>");
    listSyntax->AddMarkup(
        "IF <A HREF=rvalue>&lt;RValue1&gt;</A> <A HREF=comp>&lt;Comparison&gt;</A> "
        "<A HREF=rvalue>&lt;RValue2&gt;</A> GOTO <A HREF=Line>&lt;Line&gt;</A>");
    listSyntax->AddMarkup(
        "SET <A HREF=lvalue>&lt;LValue&gt;</A> = <A HREF=rvalue>&lt;RValue1&gt;</A> "
        "<A HREF=oper>&lt;Operation&gt;</A> <A HREF=rvalue>&lt;RValue2&gt;</A>");
    listSyntax->setWordWrap(true);
    editor->addWidget(listSyntax);
    column->addLayout(editor, 1);
    return pnlPLC;
}

QWidget* TformMain::CreateBottomPanel() {
    pnlBottom = Named(new QWidget, "pnlBottom");
    auto* row = new QHBoxLayout(pnlBottom);
    row->setContentsMargins(4, 3, 4, 3);
    btnRecallFromEEPROM =
        Named(new QPushButton("Recall Settings from EEPROM on Velmorant", pnlBottom), "btnRecallFromEEPROM",
              "Recall all current settings from non-volatile memory on Velmorant");
    btnSaveToEEPROM =
        Named(new QPushButton("Save Settings in EEPROM on Velmorant", pnlBottom), "btnSaveToEEPROM",
              "Save all current settings to non-volatile memory on Velmorant");
    btnRecallFromEEPROM->setEnabled(false);
    btnSaveToEEPROM->setEnabled(false);
    row->addWidget(btnRecallFromEEPROM);
    row->addStretch(1);
    row->addWidget(btnSaveToEEPROM);
    return pnlBottom;
}

void TformMain::BindHandlers() {
    connect(miRecallfromFile, &QAction::triggered, this, Guarded([this] { miRecallfromFileClick(); }));
    connect(miSavetoFile, &QAction::triggered, this, Guarded([this] { miSavetoFileClick(); }));
    connect(miExit, &QAction::triggered, this, Guarded([this] { miExitClick(); }));
    connect(miTrends, &QAction::triggered, this, Guarded([this] { miTrendsClick(); }));
    connect(miOpenDataLog, &QAction::triggered, this, Guarded([this] { miOpenDataLogClick(); }));
    setAcceptDrops(true);
    connect(miUpdateFirmware, &QAction::triggered, this, Guarded([this] { miUpdateFirmwareClick(); }));
    connect(miAbout, &QAction::triggered, this, Guarded([this] { miAboutClick(); }));

    connect(imgLogo, &TClickableLabel::Clicked, this, Guarded([this] { imgLogoClick(); }));
    connect(btnFind, &QPushButton::clicked, this, Guarded([this] { btnFindClick(); }));
    connect(comboPort, &QComboBox::activated, this, Guarded([this] { comboPortClick(); }));
    connect(comboPort, &TDropDownComboBox::DropDown, this, Guarded([this] { comboPortDropDown(); }));

    for (QTableWidget* grid : gridPort)
        connect(grid, &QTableWidget::cellClicked, this, Guarded([this, grid](int Row, int Col) {
                    gridPort0CellClick(grid, Col, Row);
                    // The direction list opens with the same click that selects its cell.
                    if (Col == pcDirection && PortOfGrid(grid) <= 2)
                        grid->editItem(grid->item(Row, Col));
                }));
    connect(chkPullupPort0, &QCheckBox::toggled, this, Guarded([this](bool On) { chkPullupPort0Click(0, On); }));
    connect(chkPullupPort2, &QCheckBox::toggled, this, Guarded([this](bool On) { chkPullupPort0Click(2, On); }));
    connect(cmbxPeriod, &QComboBox::activated, this, Guarded([this] { cmbxPeriodChange(); }));
    connect(spinThermOffset, &QSpinBox::valueChanged, this, Guarded([this] { spinThermOffsetChange(); }));
    spinThermOffset->installEventFilter(this);
    connect(btnRecallFromEEPROM, &QPushButton::clicked, this,
            Guarded([this] { btnRecallFromEEPROMClick(); }));
    connect(btnSaveToEEPROM, &QPushButton::clicked, this, Guarded([this] { btnSaveToEEPROMClick(); }));
    connect(btnTempTable, &QPushButton::clicked, this, Guarded([this] { btnTempTableClick(); }));

    connect(chkPLCEnabled, &QCheckBox::toggled, this, Guarded([this] { chkPLCEnabledClick(); }));
    connect(tbtnRun, &QToolButton::clicked, this, Guarded([this] { tbtnRunClick(); }));
    connect(tbtnStop, &QToolButton::clicked, this, Guarded([this] { tbtnStopClick(); }));
    connect(tbtnSingleStep, &QToolButton::clicked, this, Guarded([this] { tbtnSingleStepClick(); }));
    connect(gridProgram, &QTableWidget::currentCellChanged, this, [this](int Row, int, int PreviousRow) {
        // The row indicator at the left follows the current line.
        if (auto* old = gridProgram->verticalHeaderItem(PreviousRow)) old->setText(QString());
        if (Row >= 0) {
            if (gridProgram->verticalHeaderItem(Row) == nullptr)
                gridProgram->setVerticalHeaderItem(Row, new QTableWidgetItem);
            gridProgram->verticalHeaderItem(Row)->setText(QString::fromUtf8("\u25B8"));
        }
    });

    connect(chkEnableDataLogging, &QCheckBox::toggled, this,
            Guarded([this] { chkEnableDataLoggingClick(); }));
    editLogFilename->SetDialogRunner([this](const TFileDialogRequest& Request, std::string& Name) {
        return FUi->FileDialog(this, Request, Name);
    });
    editLogFilename->SetAfterDialog(
        [this](std::string& Name, bool& Action) { editLogFilenameAfterDialog(Name, Action); });

    connect(timerStatus, &QTimer::timeout, this, Guarded([this] { timerStatusTimer(); }));
    for (TCollapsiblePanel* panel : {pnlComm, pnlAnalog, pnlPins, pnlPLC})
        connect(panel, &TCollapsiblePanel::ExpandedChanged, this,
                [this](bool, int HeightDelta) { PanelHeightChanged(HeightDelta); });
}

void TformMain::PanelHeightChanged(int HeightDelta) {
    // Before the first showing the stored placement already holds the height for the stored panels.
    if (!isVisible() || isMaximized() || HeightDelta == 0) return;
    resize(width(), std::max(minimumHeight(), height() + HeightDelta));
}

// The pins and analog panels and the EEPROM buttons under them: what each user action sends to
// the simulated board, and what the display update shows.
#include <QCheckBox>
#include <QLabel>
#include <QPushButton>
#include <QSpinBox>
#include <QToolTip>
#include <clocale>

#include "FormsTestSupport.h"
#include "GridInput.h"

class TPinsAnalogPanelTests : public QObject {
    Q_OBJECT
private slots:
    void initTestCase() { std::setlocale(LC_NUMERIC, "C"); }
    void PinClicks_data();
    void PinClicks();
    void DirectionChoiceSendsTheWholeByte();
    void DirectionWithoutABoardOnlyChangesTheCache();
    void PullupsWriteBothPortsButNotDuringAnUpdate();
    void OffsetIsSentEachTimeTheBoxIsLeft();
    void CommentEditIsStoredNotSent();
    void PortGridHover_data();
    void PortGridHover();
    void EEPROMButtons();
    void LiveValuesAreShown_data();
    void LiveValuesAreShown();
    void TemperatureLine_data();
    void TemperatureLine();
    void BitHelpers_data();
    void BitHelpers();
};

void TPinsAnalogPanelTests::PinClicks_data() {
    QTest::addColumn<int>("port");
    QTest::addColumn<int>("row");
    QTest::addColumn<QString>("direction");
    QTest::addColumn<int>("state");
    QTest::addColumn<int>("column");
    QTest::addColumn<QString>("expected");
    QTest::addColumn<bool>("bySpace");  // Space on the focused cell instead of a click
    QTest::newRow("lit output pin 12") << 1 << 4 << "Output" << 16 << int(pcState) << "PINWR12 0" << false;
    QTest::newRow("grey output pin 12") << 1 << 4 << "Output" << 0 << int(pcState) << "PINWR12 1" << false;
    QTest::newRow("input pin 3") << 0 << 3 << "Input" << 0 << int(pcState) << "" << false;
    QTest::newRow("virtual pin 32, board says input")
        << 4 << 0 << "Input" << 0 << int(pcState) << "PINWR32 1" << false;
    QTest::newRow("lit virtual pin 47") << 5 << 7 << "" << 128 << int(pcState) << "PINWR47 0" << false;
    QTest::newRow("pin number cell") << 1 << 4 << "Output" << 0 << int(pcPin) << "" << false;
    QTest::newRow("comment cell") << 2 << 1 << "Output" << 0 << int(pcComment) << "" << false;
    QTest::newRow("Space on grey output pin 12")
        << 1 << 4 << "Output" << 0 << int(pcState) << "PINWR12 1" << true;
    QTest::newRow("Space on input pin 3") << 0 << 3 << "Input" << 0 << int(pcState) << "" << true;
    QTest::newRow("Space on a comment") << 2 << 1 << "Output" << 0 << int(pcComment) << "" << true;
}

void TPinsAnalogPanelTests::PinClicks() {
    QFETCH(int, port);
    QFETCH(int, row);
    QFETCH(QString, direction);
    QFETCH(int, state);
    QFETCH(int, column);
    QFETCH(QString, expected);
    QFETCH(bool, bySpace);
    TWindowFixture fx;
    TformMain& w = fx.OpenWithoutPolling();
    QTableWidget* grid = PortGrids(w)[port];
    {
        // The board's own directions and pins: the window takes them from the board, not from its cells.
        auto lock = fx.Sim().Lock();
        auto& board = fx.Sim().Board();
        board.InputsFrozen = true;
        if (port <= 2) {
            const auto bit = static_cast<uint8_t>(1u << row);
            uint8_t& byte = board.Working.Direction[size_t(port)];
            byte = direction == "Input" ? uint8_t(byte | bit) : uint8_t(byte & ~bit);
        }
        board.PortState[size_t(port)] = static_cast<uint8_t>(state);
    }
    w.EEPROM().RecallFromDevice(false, false);
    QVERIFY(fx.Settle());
    fx.Sim().ClearCommands();

    if (bySpace) {
        grid->setCurrentCell(row, column);
        QTest::keyClick(grid, Qt::Key_Space);
    } else {
        ClickCell(grid, row, column);
    }
    QVERIFY(fx.Settle());
    QCOMPARE(ToQt(fx.Sim().Commands()), expected.isEmpty() ? QStringList() : QStringList{expected});
    // The cell waits for the board's answer at the next tick.
    QCOMPARE(grid->item(row, pcState)->data(Qt::DisplayRole).toInt(), state);
}

void TPinsAnalogPanelTests::DirectionChoiceSendsTheWholeByte() {
    TWindowFixture fx;
    TformMain& f = fx.OpenWithoutPolling();
    QCOMPARE(int(f.Velmorant().GetPortDirection(2)), 255);
    QVERIFY(!f.Velmorant().Changed());
    fx.Sim().ClearCommands();

    QVERIFY(ChooseInCell(PortGrids(f)[2], 5, pcDirection, "Output"));
    QTRY_COMPARE(ToQt(fx.Sim().Commands()), QStringList{"DIRWR2 223"});
    QVERIFY(fx.Settle());
    QCOMPARE(PortGrids(f)[2]->item(5, pcDirection)->text(), QString("Output"));
    QVERIFY(f.Velmorant().Changed());

    QVERIFY(ChooseInCell(PortGrids(f)[2], 5, pcDirection, "Input"));
    QTRY_COMPARE(ToQt(fx.Sim().Commands()), (QStringList{"DIRWR2 223", "DIRWR2 255"}));

    // The same item again still sends the byte.
    QVERIFY(ChooseInCell(PortGrids(f)[2], 5, pcDirection, "Input"));
    QTRY_COMPARE(fx.Sim().Commands().size(), size_t(3));
    QCOMPARE(fx.Sim().Commands().back(), std::string("DIRWR2 255"));
}

void TPinsAnalogPanelTests::DirectionWithoutABoardOnlyChangesTheCache() {
    TWindowFixture fx;
    fx.Sim().OverrideReply("VER", "?");
    TformMain& f = fx.Open();
    QVERIFY(!f.Velmorant().DevicePresent());

    QVERIFY(ChooseInCell(PortGrids(f)[0], 2, pcDirection, "Output"));
    QTRY_VERIFY(f.Session().State().Changed);
    QVERIFY(fx.Settle());
    QCOMPARE(int(f.Velmorant().GetPortDirection(0)), 251);
    QVERIFY(fx.Sim().Commands().empty());
}

void TPinsAnalogPanelTests::PullupsWriteBothPortsButNotDuringAnUpdate() {
    TWindowFixture fx;
    TformMain& f = fx.OpenWithoutPolling();

    QTest::mouseClick(chkPullupPort0(f), Qt::LeftButton);
    QVERIFY(fx.Settle());
    QVERIFY(chkPullupPort0(f)->isChecked());
    QCOMPARE(ToQt(fx.Sim().Commands()), (QStringList{"PU0 1", "PU2 0"}));
    QVERIFY(f.Velmorant().Changed());

    QTest::mouseClick(chkPullupPort2(f), Qt::LeftButton);
    QVERIFY(fx.Settle());
    QCOMPARE(ToQt(fx.Sim().Commands()), (QStringList{"PU0 1", "PU2 0", "PU0 1", "PU2 1"}));

    // A display update that ticks a box sends nothing.
    {
        QSignalBlocker quiet(chkPullupPort0(f));
        chkPullupPort0(f)->setChecked(false);
    }
    fx.Sim().ClearCommands();
    f.RefreshDisplay(true, false);
    QVERIFY(fx.Settle());
    QVERIFY(chkPullupPort0(f)->isChecked());
    QVERIFY(!HasPrefix(fx.Sim().Commands(), "PU"));
}

void TPinsAnalogPanelTests::OffsetIsSentEachTimeTheBoxIsLeft() {
    TWindowFixture fx;
    TformMain& f = fx.OpenWithoutPolling();
    QVERIFY(fx.Activate());
    f.Session().SetTicking(false);
    spinThermOffset(f)->setFocus();
    fx.Sim().ClearCommands();

    spinThermOffset(f)->setValue(-5);
    QVERIFY(fx.Sim().Commands().empty());
    btnTempTable(f)->setFocus();
    QVERIFY(fx.Settle());
    QCOMPARE(ToQt(fx.Sim().Commands()), QStringList{"AOWR4 -5"});
    QVERIFY(f.Velmorant().Changed());
    f.Velmorant().SetChanged(false);
    QVERIFY(fx.Resync());
    spinThermOffset(f)->setFocus();
    btnTempTable(f)->setFocus();
    QVERIFY(fx.Settle());
    QCOMPARE(ToQt(fx.Sim().Commands()), (QStringList{"AOWR4 -5", "AOWR4 -5"}));
    QVERIFY(!f.Velmorant().Changed());
}

void TPinsAnalogPanelTests::CommentEditIsStoredNotSent() {
    TWindowFixture fx;
    TformMain& f = fx.OpenWithoutPolling();
    QVERIFY(fx.Activate());
    QTableWidget* grid = PortGrids(f)[2];

    grid->setCurrentCell(1, pcComment);
    QVERIFY(EditCurrentCellByTyping(grid, "pump on"));
    QTRY_COMPARE(f.Session().State().PinComments[17], std::string("pump on"));
    QVERIFY(fx.Settle());
    QVERIFY(fx.Sim().Commands().empty());
    QVERIFY(!f.Velmorant().Changed());
}

void TPinsAnalogPanelTests::PortGridHover_data() {
    QTest::addColumn<int>("port");
    QTest::addColumn<int>("column");
    QTest::addColumn<QString>("direction");  // "" leaves the cell alone (virtual ports have none)
    QTest::addColumn<QString>("comment");
    QTest::addColumn<bool>("pointing");
    QTest::addColumn<QString>("hint");
    QTest::newRow("output pin's State") << 0 << int(pcState) << "Output"
                                        << "" << true << "";
    QTest::newRow("input pin's State") << 1 << int(pcState) << "Input"
                                       << "" << false << "";
    QTest::newRow("virtual pin's State") << 4 << int(pcState) << ""
                                         << "" << true << "";
    QTest::newRow("comment cut off") << 2 << int(pcComment) << "Output"
                                     << "Pump relay left, north tank" << false
                                     << "Pump relay left, north tank";
}

void TPinsAnalogPanelTests::PortGridHover() {
    QFETCH(int, port);
    QFETCH(int, column);
    QFETCH(QString, direction);
    QFETCH(QString, comment);
    QFETCH(bool, pointing);
    QFETCH(QString, hint);
    TWindowFixture fx;
    TformMain& f = fx.OpenWithoutPolling();
    QVERIFY(fx.Activate());
    QTableWidget* grid = PortGrids(f)[port];
    if (!direction.isEmpty()) grid->item(5, pcDirection)->setText(direction);
    grid->item(5, pcComment)->setText(comment);
    // A hand left over from the cell before must go where a click does nothing.
    grid->viewport()->setCursor(Qt::PointingHandCursor);
    QToolTip::hideText();

    const QPoint at = CellCentre(grid, 5, column);
    const QPoint global = grid->viewport()->mapToGlobal(at);
    QMouseEvent move(QEvent::MouseMove, at, global, Qt::NoButton, Qt::NoButton, Qt::NoModifier);
    QApplication::sendEvent(grid->viewport(), &move);
    QHelpEvent help(QEvent::ToolTip, at, global);
    QApplication::sendEvent(grid->viewport(), &help);
    QCOMPARE(grid->viewport()->cursor().shape(), pointing ? Qt::PointingHandCursor : Qt::ArrowCursor);
    QCOMPARE(QToolTip::text(), hint);
}

void TPinsAnalogPanelTests::EEPROMButtons() {
    TWindowFixture fx;
    TformMain& f = fx.OpenWithoutPolling();
    QTest::mouseClick(btnSaveToEEPROM(f), Qt::LeftButton);
    QVERIFY(fx.Settle());
    QCOMPARE(ToQt(fx.Sim().Commands()), QStringList{"SAVE"});

    fx.Sim().ClearCommands();
    fx.Ui().Answers = {mbNo};
    QTest::mouseClick(btnRecallFromEEPROM(f), Qt::LeftButton);
    QVERIFY(fx.Settle());
    QVERIFY(fx.Sim().Commands().empty());
    fx.Ui().Answers = {mbYes};
    QTest::mouseClick(btnRecallFromEEPROM(f), Qt::LeftButton);
    QVERIFY(fx.Settle());
    const TCommands cmds = fx.Sim().Commands();
    QVERIFY(cmds.size() > 13);
    QCOMPARE(cmds.front(), std::string("RECALL"));
    QCOMPARE(cmds[cmds.size() - 13], std::string("AORD4"));
    QCOMPARE(cmds.back(), std::string("TEMP"));
    QCOMPARE(fx.Ui().Messages.size(), size_t(2));
}

void TPinsAnalogPanelTests::LiveValuesAreShown_data() {
    QTest::addColumn<bool>("tenBits");
    QTest::addColumn<int>("raw");
    QTest::addColumn<int>("shown");
    QTest::newRow("1023 in 8 bits") << false << 1023 << 255;
    QTest::newRow("1023 in 10 bits") << true << 1023 << 1023;
    QTest::newRow("3 in 8 bits") << false << 3 << 0;
    QTest::newRow("3 in 10 bits") << true << 3 << 3;
}

void TPinsAnalogPanelTests::LiveValuesAreShown() {
    QFETCH(bool, tenBits);
    QFETCH(int, raw);
    QFETCH(int, shown);
    TWindowFixture fx;
    TformMain& f = fx.OpenWithoutPolling();
    fx.Sim().OverrideReply("PRTRD1", "5");
    fx.Sim().OverrideReply("ADC3", std::to_string(raw));
    fx.Sim().OverrideReply("TEMP", "77");
    chkShowTenBits(f)->setChecked(tenBits);
    f.RefreshDisplay(false, false);
    QVERIFY(fx.Settle());
    QCOMPARE(gridAnalog2(f)->item(0, acValue)->data(Qt::DisplayRole).toInt(), shown);
    QCOMPARE(gridAnalog2(f)->item(0, acGauge)->data(Qt::DisplayRole).toInt(), raw);
    const int expectedPins[8] = {1, 0, 4, 0, 0, 0, 0, 0};
    for (int pin = 0; pin < 8; ++pin)
        QCOMPARE(PortGrids(f)[1]->item(pin, pcState)->data(Qt::DisplayRole).toInt(), expectedPins[pin]);
    QCOMPARE(lblTemp(f)->text(), QString("Temperature = 77F (25.0C)"));
}

void TPinsAnalogPanelTests::TemperatureLine_data() {
    QTest::addColumn<int>("degF");
    QTest::addColumn<QString>("text");
    QTest::newRow("77") << 77 << "Temperature = 77F (25.0C)";
    QTest::newRow("0") << 0 << "Temperature = 0F (-17.8C)";
    QTest::newRow("33") << 33 << "Temperature = 33F (0.6C)";
    QTest::newRow("-40") << -40 << "Temperature = -40F (-40.0C)";
    QTest::newRow("700") << 700 << "Temperature = 700F (371.1C)";
}

void TPinsAnalogPanelTests::TemperatureLine() {
    QFETCH(int, degF);
    QFETCH(QString, text);
    QCOMPARE(QString::fromStdString(TemperatureText(degF)), text);
}

void TPinsAnalogPanelTests::BitHelpers_data() {
    QTest::addColumn<int>("bit");
    QTest::addColumn<bool>("state");
    QTest::addColumn<int>("before");
    QTest::addColumn<int>("after");
    QTest::newRow("clear bit 5 of 255") << 5 << false << 255 << 223;
    QTest::newRow("set bit 5 of 223") << 5 << true << 223 << 255;
    QTest::newRow("set a set bit") << 0 << true << 1 << 1;
    QTest::newRow("clear a clear bit") << 3 << false << 0 << 0;
    QTest::newRow("set bit 7") << 7 << true << 0 << 128;
    QTest::newRow("clear bit 7") << 7 << false << 255 << 127;
}

void TPinsAnalogPanelTests::BitHelpers() {
    QFETCH(int, bit);
    QFETCH(bool, state);
    QFETCH(int, before);
    QFETCH(int, after);
    auto value = static_cast<uint8_t>(before);
    QCOMPARE(IsBitSet(value, bit), (before >> bit & 1) != 0);
    SetBitInByte(bit, state, value);
    QCOMPARE(int(value), after);
    QCOMPARE(IsBitSet(value, bit), state);
}

VELMORANT_QTEST_MAIN(TPinsAnalogPanelTests)
#include "PinsAnalogPanelTests.moc"

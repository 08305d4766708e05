// The temperature table and the about box.
#include <QHeaderView>
#include <QLabel>
#include <clocale>

#include "AboutDlg.h"
#include "Controls.h"
#include "FormsTestSupport.h"
#include "TempTableDlg.h"

class TDialogTests : public QObject {
    Q_OBJECT
private slots:
    void initTestCase() { std::setlocale(LC_NUMERIC, "C"); }
    void TableRows_data();
    void TableRows();
    void TableNeverFalls();
    void HeaderClickSortsNumerically_data();
    void HeaderClickSortsNumerically();
    void VersionText_data();
    void VersionText();
    void AboutShowsVersionAndOpensTheSite();
    void EscapeClosesTheTable();
};

void TDialogTests::TableRows_data() {
    QTest::addColumn<int>("row");
    QTest::addColumn<QStringList>("cells");
    QTest::newRow("0") << 0 << QStringList{"0", "0", "-90", "-67.8"};
    QTest::newRow("15") << 15 << QStringList{"60", "15", "0", "-17.8"};
    QTest::newRow("64") << 64 << QStringList{"256", "64", "64", "17.8"};
    QTest::newRow("255") << 255 << QStringList{"1020", "255", "700", "371.1"};
}

void TDialogTests::TableRows() {
    QFETCH(int, row);
    QFETCH(QStringList, cells);
    TformTempTable dlg;
    QCOMPARE(dlg.gridTempTable->rowCount(), 256);
    QStringList shown;
    for (int col = 0; col < 4; ++col) shown << dlg.gridTempTable->item(row, col)->text();
    QCOMPARE(shown, cells);
}

void TDialogTests::TableNeverFalls() {
    for (size_t i = 1; i < TemperatureTable.size(); ++i)
        QVERIFY(TemperatureTable[i - 1] <= TemperatureTable[i]);
}

void TDialogTests::HeaderClickSortsNumerically_data() {
    QTest::addColumn<int>("column");
    QTest::newRow("10 bits") << int(TformTempTable::colADC);
    QTest::newRow("Fahrenheit") << int(TformTempTable::colTempF);
    QTest::newRow("Celsius") << int(TformTempTable::colTempC);
}

void TDialogTests::HeaderClickSortsNumerically() {
    QFETCH(int, column);
    TformTempTable dlg;
    dlg.show();
    QTableWidget* grid = dlg.gridTempTable;
    const auto values = [grid, column] {
        std::vector<double> v;
        for (int row = 0; row < grid->rowCount(); ++row)
            v.push_back(grid->item(row, column)->text().toDouble());
        return v;
    };
    QHeaderView* header = grid->horizontalHeader();
    const QPoint middle(header->sectionViewportPosition(column) + header->sectionSize(column) / 2,
                        header->height() / 2);

    // Descending first, so that the ascending click has work to do.
    QTest::mouseClick(header->viewport(), Qt::LeftButton, Qt::NoModifier, middle);
    if (header->sortIndicatorOrder() == Qt::AscendingOrder)
        QTest::mouseClick(header->viewport(), Qt::LeftButton, Qt::NoModifier, middle);
    std::vector<double> v = values();
    QVERIFY(std::is_sorted(v.rbegin(), v.rend()));

    QTest::mouseClick(header->viewport(), Qt::LeftButton, Qt::NoModifier, middle);
    v = values();
    QVERIFY(std::is_sorted(v.begin(), v.end()));
    // As text "-17.8" would sort before "-67.8"; as numbers the coldest row comes first.
    QCOMPARE(grid->item(0, TformTempTable::colTempC)->text(), QString("-67.8"));
    QCOMPARE(grid->item(255, TformTempTable::colADC)->text(), QString("1020"));
}

void TDialogTests::VersionText_data() {
    QTest::addColumn<QString>("version");
    QTest::addColumn<QString>("text");
    QTest::newRow("four parts") << "2016.8.28.0"
                                << "2016.8.28.0";
    QTest::newRow("two parts") << "1.2"
                               << "1.2.0.0";
    QTest::newRow("empty") << ""
                           << "0.0.0.0";
    QTest::newRow("16-bit parts") << "65536.1.2.3"
                                  << "0.1.2.3";
}

void TDialogTests::VersionText() {
    QFETCH(QString, version);
    QFETCH(QString, text);
    QCOMPARE(QString::fromStdString(FileVersionText(version.toStdString())), text);
}

void TDialogTests::AboutShowsVersionAndOpensTheSite() {
    QApplication::setApplicationDisplayName("Velmorant");
    TScriptedUi ui;
    TformAbout about(&ui);
    QCOMPARE(about.labelTitle->text(), QString("Velmorant"));
    QCOMPARE(about.labelVersion->text(), QString("Version: 1.0.0.0"));
    about.show();
    QTest::mouseClick(about.imgLogo, Qt::LeftButton);
    QCOMPARE(ui.Urls, std::vector<std::string>{MakerWebAddress});
}

void TDialogTests::EscapeClosesTheTable() {
    TformTempTable dlg;
    dlg.show();
    QVERIFY(QTest::qWaitForWindowExposed(&dlg));
    dlg.gridTempTable->setFocus();
    QTest::keyClick(dlg.gridTempTable, Qt::Key_Escape);
    QVERIFY(!dlg.isVisible());
}

VELMORANT_QTEST_MAIN(TDialogTests)
#include "DialogTests.moc"

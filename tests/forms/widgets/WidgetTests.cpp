// The widget set: collapsible panels, the window-state store, gauges, file filters.
#include <QHeaderView>
#include <QVBoxLayout>
#include <cstdlib>
#include <filesystem>

#include "CollapsiblePanel.h"
#include "Controls.h"
#include "FormsTestSupport.h"
#include "GridDelegates.h"
#include "IniFile.h"
#include "MarkupList.h"
#include "WindowStateStore.h"

class TWidgetTests : public QObject {
    Q_OBJECT
private slots:
    void ParseBool_data();
    void ParseBool();
    void StoreRoundTrip();
    void StoreLeavesDesignValuesWithoutAFile();
    void CollapseGivesBackWhatItTook();
    void GaugeWidth_data();
    void GaugeWidth();
    void NameFilters_data();
    void NameFilters();
    void MarkupPlainText_data();
    void MarkupPlainText();
    void FileNameBoxTakesTheConfirmedName();
};

void TWidgetTests::ParseBool_data() {
    QTest::addColumn<QString>("text");
    QTest::addColumn<int>("value");  // -1: not a truth value
    for (const char* t : {"TRUE", "True", "yes", "Y", " y "}) QTest::newRow(t) << t << 1;
    for (const char* t : {"FALSE", "false", "No", "n"}) QTest::newRow(t) << t << 0;
    for (const char* t : {"", "1", "0", "on", "yess"}) QTest::newRow(t[0] ? t : "empty") << t << -1;
}

void TWidgetTests::ParseBool() {
    QFETCH(QString, text);
    QFETCH(int, value);
    const auto parsed = TWindowStateStore::ParseBool(text.toStdString());
    QCOMPARE(parsed.has_value() ? int(*parsed) : -1, value);
}

void TWidgetTests::StoreRoundTrip() {
    QTemporaryDir dir;
    const std::string file = dir.filePath("Velmorant.ini").toStdString();
    std::string port = "COM7";
    bool open = false;
    TWindowStateStore store;
    store.SetFileName(file);
    store.AddProperty(
        "lblPort.Caption", [&] { return port; }, [&](const std::string& v) { port = v; });
    store.AddBoolProperty(
        "pnlPLC.Expanded", [&] { return open; }, [&](bool v) { open = v; });
    store.Save(TWindowPlacement{QRect(40, 50, 700, 500), Qt::WindowMaximized});

    port = "COM1";
    open = true;
    const auto placement = store.Restore();
    QVERIFY(placement.has_value());
    QCOMPARE(placement->Geometry, QRect(40, 50, 700, 500));
    QCOMPARE(placement->State, Qt::WindowMaximized);
    QCOMPARE(port, std::string("COM7"));
    QVERIFY(!open);

    // What another program wrote is read with the same rules.
    TIniFile(file).WriteString("formMain", "pnlPLC.Expanded", "Y");
    QVERIFY(store.Restore().has_value());
    QVERIFY(open);
    TIniFile(file).WriteString("formMain", "pnlPLC.Expanded", "maybe");
    store.Restore();
    QVERIFY(open);
}

void TWidgetTests::StoreLeavesDesignValuesWithoutAFile() {
    QTemporaryDir dir;
    std::string port = "COM1";
    TWindowStateStore store;
    store.SetFileName(dir.filePath("missing.ini").toStdString());
    store.AddProperty(
        "lblPort.Caption", [&] { return port; }, [&](const std::string& v) { port = v; });
    QVERIFY(!store.Restore().has_value());
    QCOMPARE(port, std::string("COM1"));
}

void TWidgetTests::CollapseGivesBackWhatItTook() {
    QWidget window;
    auto* layout = new QVBoxLayout(&window);
    auto* panel = new TCollapsiblePanel("PLC Program");
    panel->SetCollapsedCaption("PLC (closed)");
    auto* inner = new QVBoxLayout(panel->Body());
    auto* filler = new QWidget;
    filler->setMinimumHeight(120);
    inner->addWidget(filler);
    layout->addWidget(panel);
    window.show();
    QVERIFY(QTest::qWaitForWindowExposed(&window));

    QList<int> deltas;
    connect(panel, &TCollapsiblePanel::ExpandedChanged, [&](bool, int d) { deltas << d; });
    panel->SetExpanded(false);
    QCOMPARE(panel->Caption(), QString("PLC (closed)"));
    panel->SetExpanded(false);  // no change, no signal
    panel->SetExpanded(true);
    QCOMPARE(panel->Caption(), QString("PLC Program"));
    QCOMPARE(deltas.size(), 2);
    QVERIFY(deltas[0] <= -120);
    QCOMPARE(deltas[1], -deltas[0]);
}

void TWidgetTests::GaugeWidth_data() {
    QTest::addColumn<int>("value");
    QTest::addColumn<int>("width");
    QTest::newRow("empty") << 0 << 0;
    QTest::newRow("full") << 1023 << 100;
    QTest::newRow("half") << 512 << 50;
    QTest::newRow("below range") << -5 << 0;
    QTest::newRow("above range") << 4000 << 100;
}

void TWidgetTests::GaugeWidth() {
    QFETCH(int, value);
    QFETCH(int, width);
    const TGaugeDelegate gauge(0, 1023, Qt::blue);
    QCOMPARE(gauge.FilledWidth(value, 100), width);
}

void TWidgetTests::NameFilters_data() {
    QTest::addColumn<QString>("filter");
    QTest::addColumn<QStringList>("expected");
    QTest::newRow("settings") << "Velmorant Settings (*.velmor)|*.velmor"
                              << QStringList{"Velmorant Settings (*.velmor)"};
    QTest::newRow("log files") << "All files (*.*)|*.*|CSV (*.CSV)|*.CSV"
                               << QStringList{"All files (*.*)", "CSV (*.CSV)"};
    QTest::newRow("pattern not shown") << "Text|*.txt;*.log" << QStringList{"Text (*.txt *.log)"};
    QTest::newRow("empty") << "" << QStringList{};
}

void TWidgetTests::NameFilters() {
    QFETCH(QString, filter);
    QFETCH(QStringList, expected);
    QStringList got;
    for (const auto& f : QtNameFilters(filter.toStdString())) got << QString::fromStdString(f);
    QCOMPARE(got, expected);
}

void TWidgetTests::MarkupPlainText_data() {
    QTest::addColumn<QString>("markup");
    QTest::addColumn<QString>("plain");
    QTest::newRow("title") << "<U><B>Program Line Syntax</B></U>"
                           << "Program Line Syntax";
    QTest::newRow("link") << "GOTO <A HREF=line>&lt;Line&gt;</A>"
                          << "GOTO <Line>";
}

void TWidgetTests::MarkupPlainText() {
    QFETCH(QString, markup);
    QFETCH(QString, plain);
    QCOMPARE(TMarkupList::PlainText(markup), plain);
}

void TWidgetTests::FileNameBoxTakesTheConfirmedName() {
    TScriptedUi ui;
    TFileNameEdit box;
    box.SetText("Velmorant Datalog.csv");
    box.Dialog().Title = "Log File Name";
    box.SetDialogRunner(
        [&](const TFileDialogRequest& r, std::string& name) { return ui.FileDialog(nullptr, r, name); });
    bool refuse = false;
    box.SetAfterDialog([&](std::string&, bool& action) { action = !refuse; });

    ui.FileNames = {"/data/one.csv"};
    QVERIFY(box.Browse());
    QCOMPARE(box.Text(), QString("/data/one.csv"));
    QCOMPARE(ui.FileRequests.back().FileName, std::string("Velmorant Datalog.csv"));
    QCOMPARE(ui.FileRequests.back().Title, std::string("Log File Name"));

    ui.FileNames = {""};  // cancelled
    QVERIFY(!box.Browse());
    refuse = true;
    ui.FileNames = {"/data/two.csv"};
    QVERIFY(!box.Browse());
    QCOMPARE(box.Text(), QString("/data/one.csv"));
}

VELMORANT_QTEST_MAIN(TWidgetTests)
#include "WidgetTests.moc"

// Fault drills: the window against a board that is pulled out or misbehaves, and against disks
// and files that do not cooperate. Each drill ends by showing that the window is still usable.
#include <fcntl.h>
#include <sys/mount.h>
#include <sys/stat.h>
#include <unistd.h>

#include <QCheckBox>
#include <QLabel>
#include <QPushButton>
#include <QSpinBox>
#include <QTableWidget>
#include <QTimer>
#include <QtTest>

#include "Controls.h"
#include "FormsTestSupport.h"
#include "GeneralLib.h"
#include "GridDelegates.h"
#include "GridInput.h"
#include "IniFile.h"

using velsim::TFault;

namespace {

// What the board's ports hold in every drill: distinct bytes, so that a reply taken for another
// command's shows.
constexpr std::array<int, TVelmorant::PortCountConst> BoardPorts{0xA5, 0x0F, 0xC3, 0x5A, 0x33, 0x81};
constexpr int Port3State = BoardPorts[3];

// Deterministic noise without line ends, so that it stays inside one line of a file.
std::string Noise(size_t Size, unsigned Seed) {
    std::string text;
    for (size_t i = 0; i < Size; ++i) {
        Seed = Seed * 1103515245u + 12345u;
        char c = static_cast<char>((Seed >> 16) & 0xFF);
        if (c == '\r' || c == '\n' || c == '\0' || c == '[') c = '#';
        text += c;
    }
    return text;
}

// Everything a settings file carries that a recall may have changed.
std::vector<std::string> FileContentOf(TVelmorant& V) {
    std::vector<std::string> content;
    for (int pin = 0; pin < TVelmorant::PinCount; ++pin) content.push_back(V.GetPinComment(pin));
    for (int line = 0; line < V.ProgramLineCount(); ++line) {
        const TProgramLine l = V.GetProgramLine(line);
        content.push_back(ProgramLineToText(l) + " ; " + l.Comment);
    }
    for (int port = 0; port < 3; ++port) content.push_back(std::to_string(V.GetPortDirection(port)));
    content.push_back(std::to_string(V.UpdatePeriod()));
    return content;
}

// A folder that fails writes: a full disk (a small tmpfs mounted over it) or read-only. The mounts
// live in a private mount namespace, so that nothing outlives the test process.
class TSpoiledFolder {
public:
    TSpoiledFolder(std::string Folder, bool FullDisk) : FFolder(std::move(Folder)), FFullDisk(FullDisk) {}
    ~TSpoiledFolder() {
        Heal();
        if (FTmpfs) umount2(FFolder.c_str(), MNT_DETACH);
    }
    TSpoiledFolder(const TSpoiledFolder&) = delete;
    TSpoiledFolder& operator=(const TSpoiledFolder&) = delete;

    // Before the files that must survive are written: the small disk, when it is to be filled.
    bool Prepare() {
        if (!FFullDisk) return true;
        FTmpfs = veltest::MountSmallTmpfs(FFolder);
        return FTmpfs;
    }
    // Fills the disk, or takes the write permission away (which the INI writer honours even for root).
    bool Spoil() {
        if (!FFullDisk) return chmod(FFolder.c_str(), 0555) == 0;
        const int fd = open((FFolder + "/filler").c_str(), O_WRONLY | O_CREAT | O_CLOEXEC, 0644);
        const std::string block(4096, 'x');
        while (fd >= 0 && write(fd, block.data(), block.size()) > 0) {
        }
        if (fd >= 0) close(fd);
        return fd >= 0;
    }
    // For writers that leave the judgement to the kernel, which lets root write anywhere: a read-only
    // bind mount refuses root as well.
    bool SpoilForRoot() {
        if (FFullDisk || geteuid() != 0) return true;
        FReadOnlyMount = veltest::PrivateMountNamespace() &&
                         mount(FFolder.c_str(), FFolder.c_str(), nullptr, MS_BIND, nullptr) == 0;
        if (FReadOnlyMount &&
            mount(nullptr, FFolder.c_str(), nullptr, MS_REMOUNT | MS_BIND | MS_RDONLY, nullptr) != 0)
            Heal();
        return FReadOnlyMount;
    }
    // Room again, or write permission again.
    void Heal() {
        if (FFullDisk) {
            unlink((FFolder + "/filler").c_str());
            return;
        }
        if (FReadOnlyMount) umount2(FFolder.c_str(), MNT_DETACH);
        FReadOnlyMount = false;
        chmod(FFolder.c_str(), 0755);
    }
    // The names in the folder, without the filler.
    std::vector<std::string> Names() const {
        std::vector<std::string> names = veltest::SortedNames(FFolder);
        std::erase(names, "filler");
        return names;
    }

private:
    std::string FFolder;
    bool FFullDisk;
    bool FTmpfs = false;
    bool FReadOnlyMount = false;
};

}  // namespace

class FaultDrillTests : public QObject {
    Q_OBJECT

private slots:
    // A mount namespace belongs to the thread that made it and the threads it starts after: made
    // first, so that the windows' worker threads see the drills' mounts too.
    void initTestCase() { veltest::PrivateMountNamespace(); }
    void init() { FFixture = std::make_unique<TWindowFixture>(); }
    void cleanup() {
        FSpoiled.reset();
        FFixture.reset();
    }

    void BoardPulledOut_data();
    void BoardPulledOut();
    void SilentBoardThenAnswering();
    void UnsavedChangesOfALostBoardAreOffered();
    void MisbehavingBoard_data();
    void MisbehavingBoard();
    void MisbehavingBoardAtStartUp_data();
    void MisbehavingBoardAtStartUp();

    void AutosaveAtCloseOnBadDisk_data() { BadDiskRows(); }
    void AutosaveAtCloseOnBadDisk();
    void SettingsSaveOnBadDisk_data() { BadDiskRows(); }
    void SettingsSaveOnBadDisk();
    void LogSaveOnBadDisk_data() { BadDiskRows(); }
    void LogSaveOnBadDisk();

    void BadSettingsFile_data();
    void BadSettingsFile();

private:
    std::unique_ptr<TWindowFixture> FFixture;
    std::unique_ptr<TSpoiledFolder> FSpoiled;

    // The window connected to a board whose virtual ports hold known values, without polling.
    TformMain& OpenQuiet() {
        {
            auto lock = FFixture->Sim().Lock();
            velsim::TSimBoard& board = FFixture->Sim().Board();
            board.InputsFrozen = true;
            for (int port = 0; port < 3; ++port) {
                board.Driven[port] = 0xFF;
                board.DrivenLevel[port] = static_cast<uint8_t>(BoardPorts[port]);
            }
            for (int port = 3; port < TVelmorant::PortCountConst; ++port)
                board.PortState[port] = static_cast<uint8_t>(BoardPorts[port]);
        }
        return FFixture->OpenWithoutPolling();
    }

    static void BadDiskRows() {
        QTest::addColumn<bool>("fullDisk");
        QTest::newRow("full disk") << true;
        QTest::newRow("read-only folder") << false;
    }

    // Prepares Folder to fail writes; skips the test where this process may not mount.
    TSpoiledFolder& Spoiled(const std::string& Folder, bool FullDisk) {
        std::filesystem::create_directories(Folder);
        FSpoiled = std::make_unique<TSpoiledFolder>(Folder, FullDisk);
        return *FSpoiled;
    }

    // A tick goes through: every reading as the board has it, and a click sends its command.
    void CheckUsable(TformMain& W) {
        // An error report restarts the polling; only this test's tick may run here.
        W.Session().SetTicking(false);
        QVERIFY(FFixture->Settle());
        FFixture->Sim().ClearCommands();
        W.Session().Tick();
        QVERIFY(FFixture->Settle());
        QCOMPARE(ToQt(FFixture->Sim().Commands()), ToQt(TickCommands()));
        for (int port = 0; port < TVelmorant::PortCountConst; ++port)
            QCOMPARE(ShownPortState(W, port), BoardPorts[port]);
        int temperature = 0;
        {
            auto lock = FFixture->Sim().Lock();
            temperature = FFixture->Sim().Board().TemperatureF();
        }
        QCOMPARE(lblTemp(W)->text(), Q(TemperatureText(temperature)));

        const bool pullups = chkPullupPort0(W)->isChecked();
        FFixture->Sim().ClearCommands();
        QTest::mouseClick(chkPullupPort0(W), Qt::LeftButton);
        QVERIFY(FFixture->Settle());
        QVERIFY(FFixture->Sim().Commands().size() >= 1);
        QCOMPARE(Q(FFixture->Sim().Commands().front()), QString(pullups ? "PU0 0" : "PU0 1"));
        auto lock = FFixture->Sim().Lock();
        QCOMPARE(FFixture->Sim().Board().Working.Pullups[0], !pullups);
    }
};

// ---------------------------------------------------------------------------------------------
// The board

void FaultDrillTests::BoardPulledOut_data() {
    QTest::addColumn<QString>("during");
    QTest::addColumn<int>("hangUpAt");   // the command the cable comes out at, 1-based
    QTest::addColumn<QString>("after");  // what happens while the window waits
    QTest::newRow("mid-retrieval at start-up") << "start-up" << 6 << "replug";
    QTest::newRow("mid-tick") << "tick" << 3 << "replug";
    QTest::newRow("mid-retrieval from the EEPROM") << "recall from the board" << 5 << "replug";
    QTest::newRow("mid-download of a file") << "recall from a file" << 2 << "replug";
    QTest::newRow("back with another version") << "tick" << 1 << "new version";
    QTest::newRow("user disconnects while waiting") << "tick" << 1 << "disconnect";
}

void FaultDrillTests::BoardPulledOut() {
    QFETCH(QString, during);
    QFETCH(int, hangUpAt);
    QFETCH(QString, after);
    if (during == "start-up") FFixture->Sim().HangUpAtCommand(size_t(hangUpAt));
    TformMain& w = OpenQuiet();
    auto& ui = FFixture->Ui();
    const std::string file = ApplicationFolders.UserDataPath + "drill.velmor";
    WriteFile(file, "[PinComments]\r\nPin3=from the file\r\n[Program]\r\nLine0=set port4 = 1\r\n");
    const int port3Before = ShownPortState(w, 3);
    const QString temperatureBefore = lblTemp(w)->text();
    if (during != "start-up") FFixture->Sim().HangUpAtCommand(size_t(hangUpAt));

    if (during == "tick") {
        w.Session().Tick();
    } else if (during == "recall from the board") {
        ui.Answers.push_back(mbYes);
        QTest::mouseClick(btnRecallFromEEPROM(w), Qt::LeftButton);
    } else if (during == "recall from a file") {
        ui.FileNames.push_back(file);
        miRecallfromFile(w)->trigger();
    }
    QVERIFY(FFixture->Settle());

    // The port is closed and awaited; nothing the board never sent is shown.
    QCOMPARE(lblConnected(w)->text(), QString("CONNECTION LOST: waiting for COM1"));
    QVERIFY(Q(w.StatusText()).contains("lost"));
    QCOMPARE(ErrorBoxes(ui), 0);
    QVERIFY(!w.Session().Ticking());
    QCOMPARE(ShownPortState(w, 3), port3Before);
    QCOMPARE(lblTemp(w)->text(), temperatureBefore);
    QVERIFY(PortGrids(w)[3]->item(0, pcState)->data(StaleRole).toBool());

    if (after == "disconnect") {
        QTest::mouseClick(btnFind(w), Qt::LeftButton);
        QVERIFY(FFixture->Settle());
        QCOMPARE(lblConnected(w)->text(), QString("NOT CONNECTED"));
        FFixture->Sim().ClearCommands();
        QVERIFY(FFixture->Sim().Replug());
        QTest::qWait(1500);  // longer than the watch's period: the window must not come back
        QVERIFY(FFixture->Sim().Commands().empty());
        QCOMPARE(lblConnected(w)->text(), QString("NOT CONNECTED"));
        return;
    }
    if (after == "new version") {
        auto lock = FFixture->Sim().Lock();
        FFixture->Sim().Board().Options.FirmwareVersion = "2.10";
    }
    // Plugged in again, it comes back on a new pseudo-terminal behind the same COM name, and the
    // window connects by itself the way a Connect click does.
    FFixture->Sim().ClearCommands();
    QVERIFY(FFixture->Sim().Replug());
    QTRY_COMPARE_WITH_TIMEOUT(lblConnected(w)->text(), QString("CONNECTED to COM1"), 15000);
    QVERIFY(FFixture->Settle());
    w.Session().SetTicking(false);
    QVERIFY(FFixture->Settle());
    const TCommands cmds = FFixture->Sim().Commands();
    QVERIFY(cmds.size() > 5);
    // Read back as it is: a board that kept its power still has the changes its EEPROM lacks.
    QCOMPARE(ToQt(TCommands(cmds.begin(), cmds.begin() + 4)), ToQt({"", "VER", "PC", "PLCRM 0"}));
    QVERIFY(!Contains(cmds, "RECALL"));
    QCOMPARE(lblFirmware(w)->text(), after == "new version" ? QString("2.10") : QString("1.05"));
    QVERIFY(!PortGrids(w)[3]->item(0, pcState)->data(StaleRole).toBool());
    CheckUsable(w);
}

// The kept file holds only what the board gave: Yes sends the period and writes no output.
void FaultDrillTests::UnsavedChangesOfALostBoardAreOffered() {
    TformMain& w = OpenQuiet();
    cmbxPeriod(w)->setCurrentIndex(5);
    emit cmbxPeriod(w)->activated(5);
    QVERIFY(FFixture->Settle());
    w.Session().Tick();  // the port states are read before the loss
    QVERIFY(FFixture->Settle());
    FFixture->Sim().HangUp();
    w.Session().Tick();
    QVERIFY(FFixture->Settle());
    // A line typed in error while the board was away, which no file or board has.
    QVERIFY(EditCellByClick(w.PLC().ProgramGrid(), 2, pgCode, "goto 99"));
    const auto kept = TWindowFixture::Files(ApplicationFolders.UserDataPath, "Unsaved changes COM1 ");
    QCOMPARE(kept.size(), size_t(1));
    QVERIFY(Q(w.StatusText()).contains(Q(kept[0])));
    QVERIFY(ReadFile(kept[0]).find("Period=5") != std::string::npos);

    FFixture->Ui().Answers.push_back(mbYes);
    FFixture->Sim().ClearCommands();
    {
        // Unplugged, the board lost its power and reloads its EEPROM.
        auto lock = FFixture->Sim().Lock();
        FFixture->Sim().Board().Recall();
    }
    QVERIFY(FFixture->Sim().Replug());
    QTRY_VERIFY_WITH_TIMEOUT(Contains(FFixture->Sim().Commands(), "UR 5"), 15000);
    QVERIFY(FFixture->Settle());
    QVERIFY(Q(FFixture->Ui().Messages.back().Text).contains("send them to the Velmorant"));
    QCOMPARE(cmbxPeriod(w)->currentIndex(), 5);
    for (const std::string& cmd : FFixture->Sim().Commands())
        QVERIFY2(cmd.rfind("PRTWR", 0) != 0, cmd.c_str());
    QVERIFY(!w.windowTitle().contains("Unsaved changes"));
    QCOMPARE(w.PLC().LinesInError(), std::vector<int>{2});
    QCOMPARE(w.PLC().ProgramGrid()->item(2, pgCode)->text(), QString("goto 99"));
}

void FaultDrillTests::SilentBoardThenAnswering() {
    TformMain& w = OpenQuiet();
    FFixture->Sim().SetFault(TFault::Silent);
    for (int tick = 0; tick < 2; ++tick) {
        // The last delivery restarted the polling: a slow silent read would let it tick in too.
        w.Session().SetTicking(false);
        FFixture->Sim().ClearCommands();
        w.Session().Tick();
        QVERIFY(FFixture->Settle());
        // The first read found no board: the rest of the tick is not tried.
        QCOMPARE(ToQt(FFixture->Sim().Commands()), QStringList{"PRTRD0"});
    }
    QCOMPARE(lblConnected(w)->text(), QString("NO RESPONSE from COM1"));
    QCOMPARE(ShownPortState(w, 3), Port3State);
    QCOMPARE(ErrorBoxes(FFixture->Ui()), 0);

    FFixture->Sim().SetFault(TFault::None);
    CheckUsable(w);
    QCOMPARE(lblConnected(w)->text(), QString("CONNECTED to COM1"));
}

void FaultDrillTests::MisbehavingBoard_data() {
    QTest::addColumn<int>("fault");
    QTest::addColumn<QString>("command");  // the one whose reply goes wrong
    QTest::addColumn<int>("delayMs");
    QTest::addColumn<QString>("status");
    QTest::addColumn<int>("port3");     // what port 3's grid shows after the tick
    QTest::addColumn<int>("settleMs");  // before the next tick
    // A failed read keeps the last good value; so does a reply that is no reading.
    QTest::newRow("silent") << int(TFault::Silent) << "PRTRD3" << 0 << "Error reading port" << Port3State
                            << 0;
    QTest::newRow("garbage") << int(TFault::Garbage) << "PRTRD3" << 0
                             << "Error reading port: the board's reply is not a valid value" << Port3State
                             << 0;
    QTest::newRow("question") << int(TFault::Question) << "PRTRD3" << 0
                              << "Error reading port: the board did not understand the command" << Port3State
                              << 0;
    QTest::newRow("pieces") << int(TFault::Pieces) << "PRTRD3" << 300 << "" << Port3State << 0;
    // The late reply comes in while the next command waits for its own: the purge came too early.
    QTest::newRow("late, mid-tick") << int(TFault::Late) << "PRTRD3" << 1300 << "Error reading port"
                                    << Port3State << 0;
    QTest::newRow("late, last of the tick")
        << int(TFault::Late) << "TEMP" << 1300 << "Error reading temperature" << Port3State << 0;
    // The late reply is waiting when the next tick begins: its purge drops it.
    QTest::newRow("late, then a pause")
        << int(TFault::Late) << "TEMP" << 1200 << "Error reading temperature" << Port3State << 500;
}

void FaultDrillTests::MisbehavingBoard() {
    QFETCH(int, fault);
    QFETCH(QString, command);
    QFETCH(int, delayMs);
    QFETCH(QString, status);
    QFETCH(int, port3);
    QFETCH(int, settleMs);
    TformMain& w = OpenQuiet();
    FFixture->Sim().SetFaultFilter(command.toStdString());
    FFixture->Sim().SetFault(TFault(fault), 1, std::chrono::milliseconds(delayMs));

    const QString temperatureBefore = lblTemp(w)->text();
    w.Session().Tick();
    QVERIFY(FFixture->Settle());

    QCOMPARE(Q(w.StatusText()), status);
    QCOMPARE(ShownPortState(w, 3), port3);
    for (int port = 0; port < TVelmorant::PortCountConst; ++port)
        if (port != 3) QCOMPARE(ShownPortState(w, port), BoardPorts[port]);
    QCOMPARE(lblTemp(w)->text(), temperatureBefore);
    QVERIFY(w.Velmorant().DevicePresent());
    QCOMPARE(ErrorBoxes(FFixture->Ui()), 0);
    if (settleMs > 0) QTest::qWait(settleMs);
    CheckUsable(w);
    QCOMPARE(Q(w.StatusText()), status);  // a good tick does not clear the last error
}

void FaultDrillTests::MisbehavingBoardAtStartUp_data() {
    QTest::addColumn<QString>("command");  // the one whose reply goes wrong
    QTest::addColumn<int>("fault");
    QTest::addColumn<QString>("reply");  // instead of a fault
    QTest::addColumn<QString>("error");  // a part of the error box's text; "" for none
    QTest::addColumn<QString>("status");
    // Eight garbled characters read as a line that is not hexadecimal.
    QTest::newRow("program line garbled") << "PLCRD3" << int(TFault::Garbage) << ""
                                          << "is not a valid integer value"
                                          << "";
    QTest::newRow("program line not hexadecimal") << "PLCRD3" << int(TFault::None) << "12G45678"
                                                  << "'$G4' is not a valid integer value"
                                                  << "";
    QTest::newRow("direction out of range") << "DIRRD1" << int(TFault::None) << "300"
                                            << "outside"
                                            << "";
    QTest::newRow("pull-ups not answered") << "PU0?" << int(TFault::Silent) << ""
                                           << ""
                                           << "Error getting pullups";
    QTest::newRow("run mode not understood")
        << "PLCRM?" << int(TFault::Question) << ""
        << ""
        << "Error getting PLC run mode: the board did not understand the command";
}

void FaultDrillTests::MisbehavingBoardAtStartUp() {
    QFETCH(QString, command);
    QFETCH(int, fault);
    QFETCH(QString, reply);
    QFETCH(QString, error);
    QFETCH(QString, status);
    FFixture->Sim().SetFaultFilter(command.toStdString());
    FFixture->Sim().SetFault(TFault(fault), 1);
    if (!reply.isEmpty()) FFixture->Sim().OverrideReply(command.toStdString(), reply.toStdString());

    TformMain& w = OpenQuiet();
    FFixture->Sim().OverrideReply(command.toStdString(), "");

    auto& ui = FFixture->Ui();
    QCOMPARE(ErrorBoxes(ui), error.isEmpty() ? 0 : 1);
    if (!error.isEmpty())
        QVERIFY2(Q(ui.Messages.back().Text).contains(error), ui.Messages.back().Text.c_str());
    QCOMPARE(Q(w.StatusText()), status);
    QCOMPARE(lblConnected(w)->text(), QString("CONNECTED to COM1"));
    CheckUsable(w);
}

// ---------------------------------------------------------------------------------------------
// Disks that refuse to write

void FaultDrillTests::AutosaveAtCloseOnBadDisk() {
    QFETCH(bool, fullDisk);
    TformMain& w = OpenQuiet();
    std::string folder = ApplicationFolders.UserDataPath;
    folder.pop_back();
    TSpoiledFolder& spoiled = Spoiled(folder, fullDisk);
    if (!spoiled.Prepare()) QSKIP("no tmpfs can be mounted here (needs root)");
    const std::string old = "[PortDirections]\r\nPort0=1\r\n";
    WriteFile(w.AutosaveFile(), old);
    if (!spoiled.Spoil()) QSKIP("the folder cannot be made to refuse writes here");
    const auto before = spoiled.Names();

    QVERIFY(CloseAndSettle(w));
    QVERIFY(FFixture->Ui().Messages.empty());
    QCOMPARE(Q(ReadFile(w.AutosaveFile())), Q(old));
    QCOMPARE(spoiled.Names(), before);
    // The rest of the close sequence ran: the window state was stored.
    QVERIFY(std::filesystem::exists(ApplicationFolders.AppSettingsPath + "Velmorant.ini"));
}

void FaultDrillTests::SettingsSaveOnBadDisk() {
    QFETCH(bool, fullDisk);
    TformMain& w = OpenQuiet();
    auto& ui = FFixture->Ui();
    const std::string folder = FFixture->Root() + "/stick";
    const std::string file = folder + "/bench.velmor";
    TSpoiledFolder& spoiled = Spoiled(folder, fullDisk);
    if (!spoiled.Prepare()) QSKIP("no tmpfs can be mounted here (needs root)");
    ui.FileNames.push_back(file);
    miSavetoFile(w)->trigger();
    QVERIFY(FFixture->Settle());
    QCOMPARE(ErrorBoxes(ui), 0);
    const std::string old = ReadFile(file);
    QVERIFY(old.find("[Program]") != std::string::npos);
    if (!spoiled.Spoil()) QSKIP("the folder cannot be made to refuse writes here");
    const auto before = spoiled.Names();
    w.Velmorant().SetPinComment(0, "changed since");
    w.setWindowTitle("Velmorant");

    ui.FileNames.push_back(file);
    miSavetoFile(w)->trigger();
    QVERIFY(FFixture->Settle());

    QCOMPARE(ErrorBoxes(ui), 1);
    QCOMPARE(Q(ui.Messages.back().Text), Q("Unable to write to " + file));
    QCOMPARE(w.windowTitle(), QString("Velmorant"));
    QVERIFY(ReadFile(file) == old);
    QCOMPARE(spoiled.Names(), before);

    // With room again the same command writes the file.
    spoiled.Heal();
    ui.FileNames.push_back(file);
    miSavetoFile(w)->trigger();
    QVERIFY(FFixture->Settle());
    QCOMPARE(ErrorBoxes(ui), 1);
    QVERIFY(ReadFile(file).find("Pin0=changed since") != std::string::npos);
}

void FaultDrillTests::LogSaveOnBadDisk() {
    QFETCH(bool, fullDisk);
    TformMain& w = OpenQuiet();
    auto& ui = FFixture->Ui();
    const std::string folder = FFixture->Root() + "/stick";
    TSpoiledFolder& spoiled = Spoiled(folder, fullDisk);
    if (!spoiled.Prepare()) QSKIP("no tmpfs can be mounted here (needs root)");
    ui.FileNames.push_back(folder + "/log.csv");
    QVERIFY(editLogFilename(w)->Browse());
    if (!spoiled.Spoil() || !spoiled.SpoilForRoot()) QSKIP("the folder cannot be made to refuse writes here");
    w.Logging().DataLogger().SetAutosaveInterval(0);  // every row is due for a save

    spinLogInterval(w)->setValue(1);
    QTest::mouseClick(chkEnableDataLogging(w), Qt::LeftButton);
    QVERIFY(Settle(w));
    w.Session().SetTicking(true);
    QTRY_VERIFY_WITH_TIMEOUT(w.Logging().DataLogger().Count() >= 2, 15000);
    QVERIFY(Settle(w));  // the recorder's word on the failed saves has arrived
    const int waiting = w.Logging().DataLogger().Count();

    QCOMPARE(ErrorBoxes(ui), 1);
    QVERIFY(spoiled.Names().empty());  // no half-written log either
    QVERIFY(Q(w.StatusText()).contains("waiting, last save failed"));
    QVERIFY(w.Logging().DataLoggingEnabled());

    spoiled.Heal();
    QTRY_COMPARE_WITH_TIMEOUT(w.Logging().DataLogger().Count(), 0, 15000);
    w.Session().SetTicking(false);  // with no autosave interval every later row makes a file of its own
    QVERIFY(Settle(w));
    QCOMPARE(ErrorBoxes(ui), 1);
    const auto files = TWindowFixture::Files(folder, "log ");
    QCOMPARE(files.size(), size_t(1));
    const auto lines = Lines(ReadFile(files[0]));
    // The header, every row that waited, and the row whose save went through.
    QVERIFY2(lines.size() >= size_t(waiting) + 2, qPrintable(QString::number(lines.size())));
    for (size_t i = 1; i < lines.size(); ++i) {
        QCOMPARE(std::count(lines[i].begin(), lines[i].end(), ','), 13);
        QVERIFY(i == 1 ||
                lines[i].substr(0, lines[i].find(',')) != lines[i - 1].substr(0, lines[i - 1].find(',')));
    }
}

// ---------------------------------------------------------------------------------------------
// Settings files that are not what they claim

void FaultDrillTests::BadSettingsFile_data() {
    QTest::addColumn<QByteArray>("contents");  // "folder" and "pipe" make one of that name
    QTest::addColumn<QString>("error");        // a part of the error box's text; "" for none
    QTest::addColumn<int>("pin");
    QTest::addColumn<QByteArray>("comment");  // the pin's comment afterwards
    const QByteArray noise = QByteArray::fromStdString(Noise(300, 7));
    const QByteArray mega(1 << 20, 'x');
    const QByteArray cut(int(TIniFile::MaxValueLength), 'x');

    QTest::newRow("binary garbage") << QByteArray::fromStdString(Noise(4096, 3))
                                    << "is not a Velmorant settings file" << 0 << QByteArray("before");
    QTest::newRow("garbage values") << "[PinComments]\r\nPin0=" + noise + "\r\n[Program]\r\nPeriod=" + noise +
                                           "\r\nLine0=" + noise + "\r\n"
                                    << "" << 0 << noise.trimmed();
    QTest::newRow("1 MB line") << "[PinComments]\r\nPin0=" + mega +
                                      "\r\n[Program]\r\nLine0=set port1 = " + mega + "\r\n"
                               << "" << 0 << cut;
    static const char nul[] =
        "[PinComments]\r\nPin0=ab\0cd\r\n\0\0\0\r\nPin1=after\r\n[Program]\r\nLine0=\0\r\n";
    QTest::newRow("NUL bytes") << QByteArray(nul, sizeof nul - 1) << "" << 1 << QByteArray("after");
    QTest::newRow("a folder") << QByteArray("folder") << "Is a directory" << 0 << QByteArray("before");
    // Opened as a file, a pipe without a writer would block the window for good.
    QTest::newRow("a named pipe") << QByteArray("pipe") << "Invalid argument" << 0 << QByteArray("before");
}

void FaultDrillTests::BadSettingsFile() {
    QFETCH(QByteArray, contents);
    QFETCH(QString, error);
    QFETCH(int, pin);
    QFETCH(QByteArray, comment);
    TformMain& w = OpenQuiet();
    auto& ui = FFixture->Ui();
    TVelmorant& v = w.Velmorant();
    const std::string file = ApplicationFolders.UserDataPath + "odd.velmor";
    const bool regular = contents != "folder" && contents != "pipe";
    if (contents == "folder") std::filesystem::create_directory(file);
    if (contents == "pipe") QCOMPARE(mkfifo(file.c_str(), 0644), 0);
    if (regular) WriteFile(file, contents.toStdString());
    TProgramLine line;
    TextToProgramLine(line, "set port5 = 7");
    v.SetProgramLine(0, line);
    v.SetPinComment(0, "before");
    v.SetPinComment(1, "before");
    const auto contentBefore = FileContentOf(v);
    FFixture->Sim().ClearCommands();

    ui.FileNames.push_back(file);
    miRecallfromFile(w)->trigger();
    QVERIFY(FFixture->Settle());

    QCOMPARE(ErrorBoxes(ui), error.isEmpty() ? 0 : 1);
    if (!error.isEmpty()) {
        QVERIFY2(Q(ui.Messages[0].Text).contains(error), ui.Messages[0].Text.c_str());
        QCOMPARE(w.windowTitle(), QString("Velmorant"));
        QVERIFY(FFixture->Sim().Commands().empty());
        QVERIFY(FileContentOf(v) == contentBefore);
    } else {
        QCOMPARE(w.windowTitle(), QString("odd.velmor - Velmorant"));
        // A line that does not parse keeps what it had.
        QCOMPARE(Q(ProgramLineToText(v.GetProgramLine(0))), QString("set PORT5 = 7 OR 0"));
    }
    QCOMPARE(QByteArray::fromStdString(v.GetPinComment(pin)), comment);
    if (regular) QVERIFY(ReadFile(file) == contents.toStdString());  // recalling never writes

    // What the window holds now survives a save and a recall unchanged.
    const auto content = FileContentOf(v);
    const std::string copy = ApplicationFolders.UserDataPath + "copy.velmor";
    ui.FileNames.push_back(copy);
    miSavetoFile(w)->trigger();
    QVERIFY(FFixture->Settle());
    ui.FileNames.push_back(copy);
    miRecallfromFile(w)->trigger();
    QVERIFY(FFixture->Settle());
    QCOMPARE(ErrorBoxes(ui), error.isEmpty() ? 0 : 1);
    QVERIFY(FileContentOf(v) == content);
    CheckUsable(w);
}

VELMORANT_QTEST_MAIN(FaultDrillTests)
#include "FaultDrillTests.moc"

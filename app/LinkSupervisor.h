#pragma once
// The link supervisor: watches the board session's link and acts on it. It waits for a lost board's
// port and connects again by itself, reads the board back as it is, and offers once the changes
// that were kept when the board was lost, only where the board differs from them.
#include <QObject>
#include <QString>
#include <string>

class QTimer;
class TBoardSession;
struct TBoardState;

class TLinkSupervisor : public QObject {
    Q_OBJECT
public:
    // Follows Session's link from now on; connect the window's own LinkChanged handler first, so
    // that what this says comes after the window has shown the new state.
    explicit TLinkSupervisor(TBoardSession& Session, QObject* Parent = nullptr);

    // The port of the last connection: the one the port list selects and the next start tries first.
    const std::string& PortName() const { return FPortName; }
    void SetPortName(const std::string& Name) { FPortName = Name; }
    // The user ended the connection or the waiting for a board.
    void Stop();
    // While the window closes nothing is tried again.
    void SetClosing(bool Closing) { FClosing = Closing; }
    // The kept changes were offered (whatever the answer): they are not offered again.
    void KeptChangesOffered();
    // Tries the awaited board's port now rather than at the next look.
    void TryNow() { TryReconnect(); }
    // A read-back with a failed read is made again until it is whole, for a front end that decides
    // by the settings (which pins are outputs) and so trusts none until then: first after
    // FirstRereadMs, then twice as long each time, up to LastRereadMs, so that a board that never
    // answers one of them costs its line little.
    void SetRereadsUntilWhole(bool On) { FRereads = On; }
    static constexpr int FirstRereadMs = 5000, LastRereadMs = 80000;

signals:
    // The board went away; KeptFile holds its changes not saved in the EEPROM ("" when none).
    void Lost(const QString& Port, const QString& KeptFile);
    // The board stopped answering.
    void Silent(const QString& Port);
    // A board is there that was not before: a new connection.
    void NewConnection();
    // The lost board is back; its settings are read next, over what the window shows.
    void ReadingBack();
    // An attempt while the board is away did not find it: once per absence, with a network peer's
    // reason when there is one (its first, or a new one).
    void StillAway(const QString& Port, const QString& Reason);
    // The lost board is back and its settings were read (State().SettingsKnown: all of them).
    void Reconnected(const QString& Port);
    // The board is back without the changes kept in File: ask the user, then KeptChangesOffered.
    void OfferKeptChanges(const QString& File);

private:
    void LinkChanged(const TBoardState& State);
    void TryReconnect();
    void ReadBack();
    void Away(const std::string& Port, const std::string& Reason);
    void RereadLater();

    TBoardSession& FSession;
    QTimer* FTimer = nullptr;
    std::string FPortName = "COM1";
    // Changes of a lost board kept in a settings file, offered once it is back.
    std::string FKeptFile;
    bool FReconnecting = false;
    bool FClosing = false;
    bool FWasPresent = false;
    bool FAwaySaid = false;
    bool FRereads = false;
    QTimer* FReread = nullptr;
    std::string FAwayReason;
};

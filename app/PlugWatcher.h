#pragma once
// Notices serial ports that appear while no board is connected, by their device nodes alone:
// nothing is opened, so the devices on other ports are left alone.
#include <QObject>
#include <QStringList>
#include <set>
#include <string>

class QTimer;

class TPlugWatcher : public QObject {
    Q_OBJECT
public:
    explicit TPlugWatcher(QObject* Parent = nullptr);

    // Watching starts from the ports there now: only the ones that appear later are told.
    void SetWatching(bool On);
    bool Watching() const;

signals:
    void Plugged(const QStringList& Names);

private:
    void Look();

    QTimer* FTimer;
    std::set<std::string> FKnown;
};

#include "PlugWatcher.h"

#include <QTimer>

#include "SerialPort.h"

TPlugWatcher::TPlugWatcher(QObject* Parent) : QObject(Parent), FTimer(new QTimer(this)) {
    // As often as the link supervisor looks for a lost board: a plugged cable is found as soon.
    FTimer->setInterval(1000);
    connect(FTimer, &QTimer::timeout, this, &TPlugWatcher::Look);
}

void TPlugWatcher::SetWatching(bool On) {
    if (On == FTimer->isActive()) return;
    if (On) {
        const std::vector<std::string> present = PresentSerialPortNames();
        FKnown = std::set<std::string>(present.begin(), present.end());
        FTimer->start();
    } else {
        FTimer->stop();
    }
}

bool TPlugWatcher::Watching() const {
    return FTimer->isActive();
}

void TPlugWatcher::Look() {
    QStringList added;
    std::set<std::string> present;
    for (const std::string& name : PresentSerialPortNames()) {
        present.insert(name);
        if (FKnown.count(name) == 0) added << QString::fromStdString(name);
    }
    // A port unplugged and plugged again is new again.
    FKnown = std::move(present);
    if (!added.isEmpty()) emit Plugged(added);
}

#pragma once
// The log recorder: takes the data-log rows from the ticks and owns the interval, the journal and
// the saves, on a thread of its own, so that a save or a journal's sync never holds the window up.
// Calls come from the window's thread and run on the recorder's in the order made; what they
// bring back arrives as signals on the window's thread.
#include <QObject>
#include <QString>
#include <atomic>
#include <deque>
#include <functional>
#include <memory>
#include <mutex>
#include <string>

#include "DataJournal.h"
#include "LogSchedule.h"
#include "TickReadings.h"
#include "Worker.h"

class TDataLogger;

class TLogRecorder : public QObject {
    Q_OBJECT
public:
    // Rows go to Target (a time stamp added at each save) under Header, saved every AutosaveSecs.
    TLogRecorder(const std::string& Target, const std::string& Header, int AutosaveSecs,
                 QObject* Parent = nullptr);
    // Ends the thread; rows not saved stay in the journal for the next start (see Finish).
    ~TLogRecorder() override;

    // Saves the rows that journals of earlier runs in Folder hold, then journals this run's rows
    // there. Recovered says what was found.
    void RecoverAndJournal(const std::string& Folder);
    // The file the rows go to; the name shown until the first save.
    const std::string& Target() const { return FTarget; }
    void SetTarget(const std::string& Target);
    // Takes a row at the next tick (unless the last row is less than an interval ago: then when the
    // interval since it has passed) and then one per interval of IntervalSecs: the first tick of
    // each, so that no two rows share a stamp's second and no second with a tick goes without one.
    void Start(int IntervalSecs);
    // Saves the rows taken; Done(true, file written) and rows no longer taken, or Done(false, reason)
    // and rows still taken, so that none is left with no one to write it.
    void Stop(std::function<void(bool Saved, const std::string& FileOrReason)> Done);
    // A tick's readings: a row when logging runs and one is due, stamped with the time of reading.
    void AddTick(const TTickReadings& Readings);
    // Saves what is waiting and waits for it: at the program's end. Empty, or why the rows are not
    // in a file (then JournalHolds says whether the journal keeps them for the next start).
    std::string Finish(bool& JournalHolds);

    // Rows taken and not yet saved.
    int Count() const { return FCount; }
    // Tests make every row due for a save.
    void SetAutosaveInterval(int Secs);
    // The clock (ms) that decides when rows are due, read on the caller's thread at AddTick; by
    // default the readings' own stamps. Tests step it by hand.
    void SetClock(TTickClock Clock);
    // Every call made has run and its signals have arrived.
    bool Idle() const { return FPending == 0; }

signals:
    // Rows gathered and waiting since the start; Taken counts the rows since Start.
    void RowTaken(int Taken);
    // A save failed; the rows are kept (Waiting of them) and the save is tried again.
    void SaveFailed(const QString& Reason, int Waiting);
    // A save after failed ones went through.
    void SaveRecovered();
    // Rows of an earlier run were saved at start (or kept to be): the text for the status bar.
    void Recovered(const QString& Note);
    // Every call made has run.
    void BecameIdle();

private:
    // Runs Work on the recorder's thread; its deliveries, then Done, come back in order.
    void Post(std::function<void()> Work);
    // Recorder's thread: hands Delivery to the window's thread.
    void Deliver(std::function<void()> Delivery);
    Q_INVOKABLE void DeliverNext();

    std::unique_ptr<TDataLogger> FLogger;  // recorder's thread only, once constructed
    std::string FTarget;
    TTickClock FClock;
    int FPending = 0;
    std::atomic<int> FCount{0};
    // Recorder's thread only.
    bool FRunning = false;
    TLogSchedule FSchedule;
    int FTaken = 0;
    bool FSaveFailed = false;

    std::mutex FLock;
    std::deque<std::function<void()>> FDeliveries;
    // Last: its thread ends before anything it uses goes.
    TWorker FWorker;
};

// The log recorder's thread: the data logger, its journal and its saves.
#include "LogRecorder.h"

#include <future>
#include <vector>

#include "DataJournal.h"
#include "DataLogger.h"
#include "Errors.h"
#include "GeneralLib.h"
#include "TimeoutMgr.h"

namespace {

std::string RowsText(int Rows) {
    return std::to_string(Rows) + (Rows == 1 ? " row" : " rows");
}

// The status line about rows a crash left behind, empty when there were none.
std::string RecoveryText(const std::vector<TJournalRecovery>& Recoveries) {
    int rows = 0, unsaved = 0;
    std::vector<std::string> files;
    std::string error, aside;
    for (const TJournalRecovery& r : Recoveries) {
        // A journal set aside is not waiting for the next start: its message says where it went.
        if (!r.KeptAside.empty()) {
            aside = "Data log: " + r.Error;
            continue;
        }
        rows += r.Rows;
        for (const std::string& f : r.Files) files.push_back(NameWithoutFolder(f));
        if (!r.Error.empty()) {
            unsaved += 1;
            error = r.Error;
        }
    }
    std::string text;
    if (unsaved > 0)
        text = "Data log: rows of an earlier run are kept to be saved at the next start. " + error;
    else if (rows > 0)
        text = "Data log: " + RowsText(rows) + " of an earlier run recovered into " +
               (files.size() == 1 ? files.front() : std::to_string(files.size()) + " files");
    if (aside.empty()) return text;
    return text.empty() ? aside : text + " " + aside;
}

}  // namespace

TLogRecorder::TLogRecorder(const std::string& Target, const std::string& Header, int AutosaveSecs,
                           QObject* Parent)
    : QObject(Parent),
      FLogger(std::make_unique<TDataLogger>(
          Target, Header, AutosaveSecs,
          TDataLogOptions{loAppendTimestampToFilename, loAutosaveAtIntervals, loClearWhenSaved})),
      FTarget(Target),
      FClock() {}

TLogRecorder::~TLogRecorder() {
    // The calls made still run first: none of their rows is lost.
    FWorker.Stop(true);
    FWorker.Join();
}

void TLogRecorder::RecoverAndJournal(const std::string& Folder) {
    Post([this, Folder] {
        // Rows that a crash or a kill left in a journal are saved first, under their own names.
        const std::string note = RecoveryText(RecoverJournals(Folder));
        FLogger->SetJournal(TDataJournal::NewName(Folder));
        if (!note.empty()) Deliver([this, note] { emit Recovered(QString::fromStdString(note)); });
    });
}

void TLogRecorder::SetTarget(const std::string& Target) {
    FTarget = Target;
    Post([this, Target] { FLogger->SetDataFilename(Target); });
}

void TLogRecorder::Start(int IntervalSecs) {
    Post([this, IntervalSecs] {
        FRunning = true;
        FSchedule.Start(IntervalSecs * int64_t{1000});
        FTaken = 0;
    });
}

void TLogRecorder::Stop(std::function<void(bool Saved, const std::string& FileOrReason)> Done) {
    Post([this, Done = std::move(Done)] {
        bool saved = true;
        std::string text;
        try {
            text = FLogger->SaveToFile();
            FRunning = false;
        } catch (const EFileError& e) {
            saved = false;
            text = e.what();
        }
        FCount = FLogger->Count();
        const bool recovered = saved && FSaveFailed;
        if (saved) FSaveFailed = false;
        Deliver([this, Done, saved, text, recovered] {
            if (recovered) emit SaveRecovered();
            Done(saved, text);
        });
    });
}

void TLogRecorder::AddTick(const TTickReadings& Readings) {
    // Stamped here, as the tick arrives, not when the recorder's thread gets to it behind a save.
    const TDateTime stamp = Readings.Time != 0 ? Readings.Time : Now();
    // The row's own stamp decides, so that the seconds the log shows are the ones scheduled.
    const int64_t due = FClock ? FClock() : DateTimeToMillisecs(stamp);
    Post([this, Readings, stamp, due] {
        if (!FRunning || !FSchedule.TakeRow(due)) return;
        std::string failure;
        try {
            FLogger->AddValue(stamp, LogRowOf(Readings));
            ++FTaken;
            // A failed save at switching off is tried again here; a failed autosave retries by itself.
            if (FSaveFailed && FLogger->Count() > 0) FLogger->SaveToFile();
        } catch (const EFileError& e) {
            failure = e.what();
        }
        FCount = FLogger->Count();
        const int taken = FTaken, waiting = FLogger->Count();
        if (!failure.empty()) {
            FSaveFailed = true;
            Deliver([this, taken, failure, waiting] {
                emit RowTaken(taken);
                emit SaveFailed(QString::fromStdString(failure), waiting);
            });
            return;
        }
        const bool recovered = FSaveFailed && waiting == 0;
        if (recovered) FSaveFailed = false;
        Deliver([this, taken, recovered] {
            emit RowTaken(taken);
            if (recovered) emit SaveRecovered();
        });
    });
}

std::string TLogRecorder::Finish(bool& JournalHolds) {
    auto result = std::make_shared<std::promise<std::pair<std::string, bool>>>();
    std::future<std::pair<std::string, bool>> done = result->get_future();
    FWorker.Post([this, result] {
        std::string error;
        if (FRunning && FLogger->Count() > 0) {
            try {
                FLogger->SaveToFile();
            } catch (const EFileError& e) {
                error = e.what();
            }
        }
        FRunning = false;
        result->set_value({error, FLogger->JournalHoldsRows()});
    });
    // At the program's end only: the window is going, and the rows must be in a file first.
    const auto [error, holds] = done.get();
    JournalHolds = holds;
    return error;
}

void TLogRecorder::SetAutosaveInterval(int Secs) {
    Post([this, Secs] { FLogger->SetAutosaveInterval(Secs); });
}

void TLogRecorder::SetClock(TTickClock Clock) {
    FClock = std::move(Clock);
}

void TLogRecorder::Post(std::function<void()> Work) {
    ++FPending;
    FWorker.Post([this, Work = std::move(Work)] {
        Work();
        // Marks the end of this call among its deliveries.
        Deliver({});
    });
}

void TLogRecorder::Deliver(std::function<void()> Delivery) {
    {
        std::lock_guard<std::mutex> lock(FLock);
        FDeliveries.push_back(std::move(Delivery));
    }
    // As in the board session: the handover crosses under FLock, the queued call only wakes.
    QMetaObject::invokeMethod(this, "DeliverNext", Qt::QueuedConnection);
}

void TLogRecorder::DeliverNext() {
    std::function<void()> delivery;
    {
        std::lock_guard<std::mutex> lock(FLock);
        if (FDeliveries.empty()) return;
        delivery = std::move(FDeliveries.front());
        FDeliveries.pop_front();
    }
    if (delivery) {
        delivery();
        return;
    }
    if (--FPending == 0) emit BecameIdle();
}

// The worker's thread and queue.
#include "Worker.h"

TWorker::TWorker(std::function<bool()> Idle, std::function<void(int Kind)> Started)
    : FIdle(std::move(Idle)), FStarted(std::move(Started)) {
    FThread = std::thread([this] { Run(); });
}

TWorker::~TWorker() {
    Join();
}

void TWorker::Post(TJob Job, int Kind) {
    {
        std::lock_guard<std::mutex> lock(FLock);
        FQueue.push_back(TEntry{std::move(Job), Kind});
    }
    FWake.notify_one();
}

std::vector<int> TWorker::Drop(const std::function<bool(int Kind)>& Which) {
    std::vector<int> kinds;
    // Destroyed once the lock is let go: what a job holds may take locks of its own as it goes.
    std::deque<TEntry> dropped;
    {
        std::lock_guard<std::mutex> lock(FLock);
        for (auto it = FQueue.begin(); it != FQueue.end();) {
            if (Which(it->Kind)) {
                kinds.push_back(it->Kind);
                dropped.push_back(std::move(*it));
                it = FQueue.erase(it);
            } else {
                ++it;
            }
        }
    }
    return kinds;
}

void TWorker::Stop(bool RunQueued) {
    std::deque<TEntry> dropped;
    {
        std::lock_guard<std::mutex> lock(FLock);
        if (FStopping) return;
        FStopping = true;
        if (!RunQueued) dropped.swap(FQueue);
    }
    FWake.notify_one();
}

void TWorker::Join() {
    Stop();
    if (FThread.joinable()) FThread.join();
}

void TWorker::Run() {
    // Only a job can leave idle work behind.
    bool idle = false;
    for (;;) {
        TEntry entry;
        bool taken = false;
        {
            std::unique_lock<std::mutex> lock(FLock);
            if (!idle) FWake.wait(lock, [this] { return FStopping || !FQueue.empty(); });
            if (FQueue.empty() && FStopping) return;
            if (!FQueue.empty()) {
                entry = std::move(FQueue.front());
                FQueue.pop_front();
                taken = true;
                if (FStarted) FStarted(entry.Kind);
            }
        }
        if (taken) {
            if (entry.Job) entry.Job();
            idle = static_cast<bool>(FIdle);
        } else {
            idle = FIdle();
        }
    }
}

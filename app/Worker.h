#pragma once
// A worker: one thread that runs posted jobs one at a time, in the order posted. The app layer's
// one way to keep work off the window's thread; the owner posts from one thread of its own.
#include <condition_variable>
#include <deque>
#include <functional>
#include <mutex>
#include <thread>
#include <vector>

class TWorker {
public:
    using TJob = std::function<void()>;

    // Starts the thread. Idle, when given, runs on it after a job while no other job waits, again as
    // long as it returns true: work that yields to every job posted. Started, when given, runs on it
    // under the queue's lock as it takes each job, so that Drop finds every job queued or started.
    explicit TWorker(std::function<bool()> Idle = {}, std::function<void(int Kind)> Started = {});
    // Stop, then Join.
    ~TWorker();

    // Queues Job behind every job posted before; Kind is the owner's own tag, for Drop and Started.
    void Post(TJob Job, int Kind = 0);
    // Takes the queued jobs whose kind Which picks out of the queue; their kinds, oldest first.
    std::vector<int> Drop(const std::function<bool(int Kind)>& Which);
    // No job is taken after the running one, but for the queued ones when RunQueued; returns at once.
    // Only the first Stop counts.
    void Stop(bool RunQueued = false);
    // Stops, then waits for the thread's end.
    void Join();

private:
    struct TEntry {
        TJob Job;
        int Kind = 0;
    };
    void Run();

    const std::function<bool()> FIdle;
    const std::function<void(int)> FStarted;
    std::mutex FLock;
    std::condition_variable FWake;
    std::deque<TEntry> FQueue;
    bool FStopping = false;
    std::thread FThread;
};

// The board session's capture: started and stopped from the window's thread, stepped on the worker
// between the other jobs, its samples handed over a few at a time.
#include "BoardSession.h"

namespace {

// Samples wait at most this long on the worker before they are handed over; a window redraws far
// less often, so handing each over alone would only cost events.
constexpr auto HandOverInterval = std::chrono::milliseconds(20);

QString CaptureNote(const TCaptureRequest& Request) {
    QStringList names;
    for (const TCaptureChannel& channel : Request.Channels) names << QString::fromStdString(channel.Name());
    return QString(
               "Capturing %1 as fast as the line allows: the readings of the panels and the data log "
               "pause until it ends")
        .arg(names.join(", "));
}

}  // namespace

bool TBoardSession::StartCapture(const TCaptureRequest& Request) {
    if (FCapturing || !FState.DevicePresent || !Request.Problem().empty()) return false;
    FCapturing = true;
    {
        std::lock_guard<std::mutex> lock(FLock);
        FCaptureStop = false;
    }
    // The capture's end is delivered as a result of its own, so the session is not idle until then.
    ++FPending;
    FCaptureNote = CaptureNote(Request);
    emit Progress(FCaptureNote);
    const uint64_t connection = FConnection;
    Post([this, Request, connection](TVelmorant& V) {
        FCapture = std::make_unique<TCaptureRun>(V, Request);
        FCaptureConnection = connection;
        FCaptureHandedOver = std::chrono::steady_clock::now();
    });
    return true;
}

void TBoardSession::StopCapture() {
    if (!FCapturing) return;
    {
        std::lock_guard<std::mutex> lock(FLock);
        FCaptureStop = true;
        // Ends a read that waits for a silent board at once, not at its deadline.
        if (FRunningKind == jkCapture) FDriver->Interrupt();
    }
}

bool TBoardSession::RunCaptureStep() {
    // The worker asks only while nothing else is: the user's commands go between two samples.
    if (!FCapture) return false;
    Started(jkCapture);
    // A flag beside the sample rather than an optional: GCC 12 at -O3 takes the optional's flag for
    // one that may be read unset.
    TCaptureSample sample{};
    bool sampled = false;
    std::string failure;
    try {
        if (const auto step = FCapture->Step()) {
            sample = *step;
            sampled = true;
        }
    } catch (const TStopped&) {
        FCapture->Stop();
    } catch (const std::exception& e) {
        FCapture->Stop();
        failure = e.what();
    }
    // Each text once a capture, as a tick's; an interrupted read is no error of the board's.
    for (const std::string& text : FCapture->NewErrors())
        if (!FDriver->Interrupted())
            emit DeviceError(QString::fromStdString(text), FDriver->DevicePresent(), true);
    const TCaptureEnd end = FCapture->End();
    const auto now = std::chrono::steady_clock::now();
    // A failed read may be followed by a slow one (a silent board): what came before goes at once.
    const bool handOver =
        end != ceRunning || (sampled && !sample.Value) || now - FCaptureHandedOver >= HandOverInterval;
    {
        std::lock_guard<std::mutex> lock(FLock);
        FRunningKind = jkAction;
        if (sampled) FCaptureBatch.push_back(sample);
        // One hand-over queued at a time; it takes every sample added until it runs.
        if (handOver && !FCaptureBatch.empty() && !FCaptureDeliveryQueued) {
            FCaptureDeliveryQueued = true;
            FCaptureHandedOver = now;
            QMetaObject::invokeMethod(this, "DeliverCapture", Qt::QueuedConnection);
        }
    }
    if (end == ceRunning) return true;
    // The end goes out as a job's result, after the last samples: a lost port reaches the window in
    // order with everything else.
    CheckLink(*FDriver);
    TResult result;
    result.Job.Connection = FCaptureConnection;
    result.State = WorkerState();
    result.Ran = true;
    result.Failure = std::move(failure);
    result.CaptureEnd = end;
    FCapture.reset();
    {
        std::lock_guard<std::mutex> lock(FLock);
        FResults.push_back(std::move(result));
    }
    QMetaObject::invokeMethod(this, "DeliverNext", Qt::QueuedConnection);
    return true;
}

void TBoardSession::DeliverCapture() {
    std::vector<TCaptureSample> samples;
    {
        std::lock_guard<std::mutex> lock(FLock);
        samples.swap(FCaptureBatch);
        FCaptureDeliveryQueued = false;
    }
    if (!samples.empty()) emit CaptureSamples(samples);
}

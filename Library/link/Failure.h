#pragma once
// A failed exchange or open, with what kind of failure it was, so that callers decide on the kind
// and show the text, never the other way round.
#include <functional>
#include <string>

enum class TFailureKind {
    None,
    NoAnswer,       // nothing, or no whole reply, came back in time
    NotUnderstood,  // the board answered "?"
    BadReply,       // the board answered, but not with a value the command returns
    HungUp,         // the device or the connection went away
    Interrupted,    // our own Disconnect or Close ended the exchange
    OsError,        // a system call failed; Errno says why
    Network,        // a network port's peer failed; Text says why, in the user's words
};

struct TFailure {
    TFailureKind Kind = TFailureKind::None;
    int Errno = 0;
    std::string Text;

    // A reply that was no reading still came from a board that answers.
    bool BoardAnswered() const {
        return Kind == TFailureKind::NotUnderstood || Kind == TFailureKind::BadReply;
    }
};

using TFailureProc = std::function<void(const TFailure&)>;

#pragma once
// serve --listen: the board's own line protocol for several clients at once (the window, this
// tool's --port socket://HOST:PORT, a user's script), one exchange at a time through the session.
#include "CliBoardHost.h"

namespace velcli {

struct TSession;

// The shared port as a front end of a served board, on the request's Share address.
TFrontEndMaker SharedPort(TSession& S);

}  // namespace velcli

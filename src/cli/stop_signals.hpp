#pragma once

// SIGINT and SIGTERM while the command works: noted, not obeyed at once, so
// that the operation can stop and clean up as after a failure (scratch
// directory removed, no unnamed file named, no partial file), after which
// the command ends by the same signal.

#include "common/interruption.hpp"

namespace quastor::cli {

// What operations are given to ask whether to stop: yes once SIGINT or
// SIGTERM has come while a StopSignals was in place.
Interruption* stop_signals();

// Notes SIGINT and SIGTERM for its lifetime instead of letting them end the
// process. A second one while the first is being honoured ends the process
// at once, in case the clean-up itself hangs. Main thread, one at a time.
class StopSignals {
public:
    StopSignals();
    ~StopSignals(); // the previous dispositions back
    StopSignals(StopSignals const&) = delete;
    StopSignals& operator=(StopSignals const&) = delete;

    // Passes `status` through when no signal came. Otherwise ends the
    // process by the signal, its default action restored, so that the
    // parent sees how the command ended (a shell reports 130 or 143).
    int finish(int status);
};

} // namespace quastor::cli

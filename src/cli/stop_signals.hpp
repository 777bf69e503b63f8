#pragma once

// The stop signals (SIGINT, SIGTERM, SIGHUP, SIGQUIT, SIGPIPE) while the
// command works: noted, not obeyed at once, so that the operation can stop
// and clean up as after a failure (scratch directory removed, no unnamed
// file named, no partial file), after which the command ends by the same
// signal.

#include "common/interruption.hpp"

namespace quastor::cli {

// What operations are given to ask whether to stop: yes once a stop signal
// has come while a StopSignals was in place, until the operation commits
// to finishing (its result then stands, and is reported). Its stop
// descriptor turns readable at that signal.
CallerHook* stop_signals();

// Notes the stop signals for its lifetime instead of letting them end the
// process. A second one while the first is being honoured ends the process
// at once, in case the clean-up itself hangs, but only after removing the
// names the call has made (common/leftovers), and never once the operation
// has committed; the others wait while a handler runs. A signal the command
// was started to ignore (a background job's SIGINT) stays ignored. Main
// thread, one at a time.
class StopSignals {
public:
    enum class Ending {
        // The operation stops at its next look and cleans up first.
        after_cleanup,
        // For an operation that leaves nothing to finish (output to a
        // stream, which may block on a reader for ever): the first signal
        // ends the process, leftovers removed.
        at_once,
    };

    explicit StopSignals(Ending ending = Ending::after_cleanup);
    ~StopSignals(); // the previous dispositions back
    StopSignals(StopSignals const&) = delete;
    StopSignals& operator=(StopSignals const&) = delete;

    // Passes `status` through when no signal came, or when the operation
    // had committed before it ended. Otherwise ends the process by the
    // signal, its default action restored, so that the parent sees how the
    // command ended (a shell reports 130 or 143).
    int finish(int status);
};

} // namespace quastor::cli

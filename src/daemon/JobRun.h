// The run sequence every job shares. A job's run() hands its own steps to
// runJobSteps; whatever escapes them becomes the job's recorded failure,
// so that no job family writes the mapping of failures again:
//   - Plume::ThrowableException: its throwable (an IOError with the
//     exception's text when it carries none);
//   - another standard exception: an IOError with its what() text;
//   - anything else: an IOError "Caught unknown exception.".
// Each failure is logged at level 3 through the job's log (logMessage, so
// that the recent-message ring records it), then the job's cleanup runs,
// then setFailed records the error and wakes the waiting requests.
//
// Thread-safety: runs on the thread that runs the job; takes the jobs mutex
// only inside setFailed.
#pragma once

#include "RendererJob.h"

#include <functional>

namespace Xadra {

struct JobRunOptions {
    // Put before the text of a ThrowableException in the log line
    // ("Throwable: " for render jobs, nothing for the download job).
    const char* throwablePrefix = "";
    // Runs before a failure is recorded (releases what the steps held, such
    // as a registered hpgs reader). May be empty.
    std::function<void()> cleanup;
};

// Runs steps, which record their own outcome on success (cacheResult, or
// setFailed for a failure they report themselves), and records what escapes
// them as described above. Throws only what the cleanup or the recording
// itself throws (memory exhaustion); the worker loop catches that.
void runJobSteps(RendererJob& job, const std::function<void()>& steps, const JobRunOptions& options = {});

// The failure an escaping exception stands for, as runJobSteps records it;
// call only inside a catch handler. The log line goes through job.log.
Plume::ObjPtr<Plume::Throwable> currentFailure(const RendererJob& job, const char* throwablePrefix);

}  // namespace Xadra

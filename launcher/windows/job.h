// The server's job on Windows: a job object holding the command processor
// and everything it starts, ended with the launcher.
#pragma once

#include <optional>
#include <system_error>

#include "handle.h"

namespace launcher::platform {

// A job object that ends every process in it when its last handle closes,
// that is when the launcher ends, however it ends. A process in it may still
// leave it on purpose (CREATE_BREAKAWAY_FROM_JOB). None, with the system's
// reason in `error`, when it cannot be made.
UniqueHandle create_kill_on_close_job(std::error_code& error);

// Puts the suspended `process` into `job`; on systems before Windows 8 a
// process that is in a job already cannot join another. A job that cannot be
// had costs only the clean-up, so this warns and leaves `job` empty.
void join_job(UniqueHandle& job, HANDLE process, std::error_code error);

// How many processes the job has held in all, the command processor
// included, and how many of them run now (JobObjectBasicAccountingInformation).
struct JobCounts {
    DWORD total = 0;
    DWORD active = 0;
};

// None for no job, or when the system does not tell.
std::optional<JobCounts> job_counts(HANDLE job);

}  // namespace launcher::platform

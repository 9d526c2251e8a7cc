#include "job.h"

#include "report.h"

namespace launcher::platform {

UniqueHandle create_kill_on_close_job(std::error_code& error) {
    UniqueHandle job(CreateJobObjectW(nullptr, nullptr));
    if (!job.valid()) {
        error = last_windows_error();
        return {};
    }
    JOBOBJECT_EXTENDED_LIMIT_INFORMATION limits{};
    limits.BasicLimitInformation.LimitFlags = JOB_OBJECT_LIMIT_KILL_ON_JOB_CLOSE |
                                              JOB_OBJECT_LIMIT_BREAKAWAY_OK;
    if (SetInformationJobObject(job.get(), JobObjectExtendedLimitInformation, &limits,
                                sizeof limits) == FALSE) {
        error = last_windows_error();
        return {};
    }
    return job;
}

void join_job(UniqueHandle& job, HANDLE process, std::error_code error) {
    if (job.valid() && AssignProcessToJobObject(job.get(), process) == FALSE) {
        error = last_windows_error();
        job.reset();
    }
    if (!job.valid()) {
        report("warning: cannot put the server into a job object; it may outlive the launcher",
               error);
    }
}

std::optional<JobCounts> job_counts(HANDLE job) {
    JOBOBJECT_BASIC_ACCOUNTING_INFORMATION accounting{};
    if (job == nullptr ||
        QueryInformationJobObject(job, JobObjectBasicAccountingInformation, &accounting,
                                  sizeof accounting, nullptr) == FALSE) {
        return std::nullopt;
    }
    return JobCounts{accounting.TotalProcesses, accounting.ActiveProcesses};
}

}  // namespace launcher::platform

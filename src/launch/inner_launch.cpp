#include "launch/inner_launch.h"

#include <vector>

#include "core/failure.h"
#include "core/locations.h"
#include "core/names.h"
#include "launch/environment.h"
#include "platform/scoped_handle.h"

namespace veltomarn {
namespace {

constexpr uint32_t kAssignFailureWaitMs = 5000;
constexpr uint32_t kDescendantPollMs = 100;

}  // namespace

WideString QuoteArgument(const WideString& argument) {
    WideString quoted = u"\"";
    std::size_t backslashes = 0;
    for (const WideChar c : argument) {
        if (c == u'\\') {
            ++backslashes;
            continue;
        }
        // Backslashes before a quote are doubled and the quote escaped; elsewhere they stand.
        quoted.append(c == u'"' ? 2 * backslashes + 1 : backslashes, u'\\');
        quoted.push_back(c);
        backslashes = 0;
    }
    quoted.append(2 * backslashes, u'\\');
    quoted.push_back(u'"');
    return quoted;
}

uint32_t RunInnerLauncher(Platform& platform, const WideString& sessionDirectory, LaunchKind kind) {
    const WideString path = sessionDirectory + u"\\" + kBootstrapFileNameWide;
    const WideString text =
        QuoteArgument(path) + (kind == LaunchKind::kVerify ? u" --verify-only" : u"");
    std::vector<WideChar> commandLine(text.begin(), text.end());
    commandLine.push_back(0);
    const WideString system = SystemDirectory(platform);
    const std::vector<WideChar> environment = BuildInnerEnvironment(platform, system);

    // The bootstrap connects to its desktop before any job exists. Wine starts the process that
    // serves a desktop from the first process of its session that needs one, inside that
    // process's job: started by an inner launcher, it would keep the job from ever emptying, and
    // a killed start would take it down so that the next start starts it in its job again. On
    // Windows the desktop exists already and this only reads its handle; a failure changes
    // nothing the run needs.
    platform.GetDesktopWindow();
    JobProcess run;
    run.job = ScopedHandle(platform, platform.CreateJobObjectW(nullptr, nullptr));
    check(run.job.valid(), "INNER_JOB");
    const JobExtendedLimitInformation limits{win::kJobObjectLimitKillOnJobClose};
    check(platform.SetInformationJobObject(run.job.get(), win::kJobObjectExtendedLimitInformation,
                                           &limits),
          "INNER_JOB_POLICY");

    // Born in the job: a bootstrap that dies at any moment after this call leaves no process
    // outside it, suspended and holding the session's files. Its images load from system32
    // before its own directory, never from a remote share or a low-integrity file.
    const StartupInfo startup{.job = run.job.get(),
                              .mitigationPolicy = win::kMitigationImageLoadPreferSystem32AlwaysOn |
                                                  win::kMitigationImageLoadNoRemoteAlwaysOn |
                                                  win::kMitigationImageLoadNoLowLabelAlwaysOn};
    ProcessInformation started;
    check(platform.CreateProcessW(path.c_str(), commandLine.data(), nullptr, nullptr, false,
                                  win::kCreateSuspended | win::kCreateUnicodeEnvironment,
                                  environment.data(), system.c_str(), &startup, &started),
          "INNER_START");
    run.process = ScopedHandle(platform, started.process);
    run.thread = ScopedHandle(platform, started.thread);

    if (!platform.AssignProcessToJobObject(run.job.get(), run.process.get())) {
        // Still suspended: none of its code has run.
        platform.TerminateProcess(run.process.get(), 1);
        platform.WaitForSingleObject(run.process.get(), kAssignFailureWaitMs);
        fail("INNER_JOB_ASSIGN");
    }
    if (platform.ResumeThread(run.thread.get()) == win::kResumeThreadFailed) {
        platform.TerminateJobObject(run.job.get(), 1);
        fail("INNER_RESUME");
    }
    check(platform.WaitForSingleObject(run.process.get(), win::kInfinite) == win::kWaitObject0,
          "INNER_WAIT");
    uint32_t exitCode = 1;
    check(platform.GetExitCodeProcess(run.process.get(), &exitCode), "INNER_EXIT");

    // Everything the inner launcher started is awaited too, however long it runs.
    while (true) {
        JobBasicAccountingInformation accounting;
        check(platform.QueryInformationJobObject(
                  run.job.get(), win::kJobObjectBasicAccountingInformation, &accounting),
              "INNER_DESCENDANTS");
        if (accounting.activeProcesses == 0) break;
        platform.Sleep(kDescendantPollMs);
    }
    return exitCode;
}

}  // namespace veltomarn

// The service that the SCM tests install and start: a bare service written against the platform,
// so that the same code runs in a simulated process and, under Wine, in the suite's own executable
// started by the SCM. Its first start argument picks what it does; it waits for the test through
// events named after the service, and says what it saw the same way.
#pragma once

#include <string>

#include "platform/platform.h"

namespace conformance {

// Start arguments.
// Runs until stopped.
inline constexpr const wchar_t* kRunScript = L"run";
// Stays in SERVICE_START_PENDING until the proceed event is set, and in SERVICE_STOP_PENDING
// (reported by its stop handler) until it is set again.
inline constexpr const wchar_t* kHoldPendingScript = L"hold-pending";
// Reports SERVICE_RUNNING once more after its SERVICE_STOPPED, then sets the late-report event,
// and the late-report-accepted event too when SetServiceStatus returned nonzero.
inline constexpr const wchar_t* kReportAfterStoppedScript = L"report-after-stopped";

// Auto-reset: each SetEvent lets the service past one hold. The test creates it first.
std::wstring ProceedEventName(const std::wstring& service);
std::wstring LateReportEventName(const std::wstring& service);
std::wstring LateReportAcceptedEventName(const std::wstring& service);

// The process entry of the service named `service`: runs the dispatcher and returns once the
// service has ended. Returns 0, or 1 when the dispatcher could not start.
int RunTestService(platform::Platform& platform, const std::wstring& service);

}  // namespace conformance

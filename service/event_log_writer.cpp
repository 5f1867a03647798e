// The service's event-log writers. Every record opens and closes its own event source, so no
// handle lives between records and any thread may write.
#include "service/diagnostic_text.h"
#include "service/service_base.h"

namespace {
// The formatting buffer of an error record holds 260 characters, the terminator included.
constexpr std::size_t kErrorTextChars = 260;
}  // namespace

void WriteServiceRecord(platform::Platform& platform, LPCWSTR serviceName, LPCWSTR message,
                        WORD type) {
    HANDLE eventSource = platform.RegisterEventSourceW(nullptr, serviceName);
    if (eventSource == nullptr) return;
    LPCWSTR strings[2] = {serviceName, message};
    platform.ReportEventW(eventSource, type, 0, 0, nullptr, 2, 0, strings, nullptr);
    platform.DeregisterEventSource(eventSource);
}

void WriteServiceErrorRecord(platform::Platform& platform, LPCWSTR serviceName, LPCWSTR function,
                             DWORD error) {
    wchar_t text[kErrorTextChars];
    diagnostic::FailedText(function, error, text, kErrorTextChars);
    WriteServiceRecord(platform, serviceName, text, EVENTLOG_ERROR_TYPE);
}

void CServiceBase::WriteEventLogEntry(LPCWSTR message, WORD type) {
    WriteServiceRecord(m_platform, m_name, message, type);
}

void CServiceBase::WriteErrorLogEntry(LPCWSTR function, DWORD error) {
    WriteServiceErrorRecord(m_platform, m_name, function, error);
}

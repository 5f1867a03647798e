// The service's event-log writers. Every record opens and closes its own event source, so no
// handle lives between records and any thread may write.
#include "service/diagnostic_text.h"
#include "service/service_base.h"

namespace {
// The formatting buffer of an error record holds 260 characters, the terminator included.
constexpr std::size_t kErrorTextChars = 260;
}  // namespace

void CServiceBase::WriteEventLogEntry(LPCWSTR message, WORD type) {
    HANDLE eventSource = m_platform.RegisterEventSourceW(nullptr, m_name);
    if (eventSource == nullptr) return;
    LPCWSTR strings[2] = {m_name, message};
    m_platform.ReportEventW(eventSource, type, 0, 0, nullptr, 2, 0, strings, nullptr);
    m_platform.DeregisterEventSource(eventSource);
}

void CServiceBase::WriteErrorLogEntry(LPCWSTR function, DWORD error) {
    wchar_t text[kErrorTextChars];
    diagnostic::FailedText(function, error, text, kErrorTextChars);
    WriteEventLogEntry(text, EVENTLOG_ERROR_TYPE);
}

#include "platform/sim/event_log_sim.h"

#include <cstring>

#include "platform/sim/kernel_sim.h"
#include "platform/sim/machine.h"

namespace sim {

namespace {
struct EventSource {
    std::wstring name;
};
}  // namespace

HANDLE SimEventLog::RegisterEventSourceW(SimProcess& caller, LPCWSTR serverName,
                                         LPCWSTR sourceName) {
    auto lock = m_machine.Core().EnterCall();
    if (auto code = m_machine.Core().TakeFault(lock, "RegisterEventSourceW")) {
        return Failure(*code);
    }
    if (serverName != nullptr || sourceName == nullptr) {
        return Failure(ERROR_INVALID_PARAMETER);
    }
    auto source = std::make_shared<EventSource>();
    source->name = sourceName;
    return m_machine.Core().AddHandle(HandleKind::EventSource, &caller, source);
}

BOOL SimEventLog::ReportEventW(SimProcess& caller, HANDLE eventLog, WORD type, WORD category,
                               DWORD eventId, PSID userSid, WORD numStrings, DWORD dataSize,
                               LPCWSTR* strings, LPVOID rawData) {
    auto lock = m_machine.Core().EnterCall();
    if (auto code = m_machine.Core().TakeFault(lock, "ReportEventW")) {
        return Failure(*code);
    }
    auto* entry =
        m_machine.Core().UseHandle(eventLog, &caller, {HandleKind::EventSource}, "ReportEventW");
    if (entry == nullptr) {
        return Failure(ERROR_INVALID_HANDLE);
    }
    EventRecord record;
    record.source = std::static_pointer_cast<EventSource>(entry->object)->name;
    record.type = type;
    record.category = category;
    record.eventId = eventId;
    record.hasSid = userSid != nullptr;
    for (WORD i = 0; i < numStrings; ++i) record.strings.emplace_back(strings[i]);
    if (dataSize > 0 && rawData != nullptr) {
        record.data.resize(dataSize);
        std::memcpy(record.data.data(), rawData, dataSize);
    }
    m_machine.Core().Observe({0, std::move(record)});
    return TRUE;
}

BOOL SimEventLog::DeregisterEventSource(SimProcess& caller, HANDLE eventLog) {
    auto lock = m_machine.Core().EnterCall();
    if (m_machine.Core().UseHandle(eventLog, &caller, {HandleKind::EventSource},
                                   "DeregisterEventSource") == nullptr) {
        return Failure(ERROR_INVALID_HANDLE);
    }
    m_machine.Core().RemoveHandle(eventLog);
    return TRUE;
}

}  // namespace sim

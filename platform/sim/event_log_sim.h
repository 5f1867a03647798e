// Simulated machine only: the event log. Keeps every record whole; registration of an event
// source can be refused (fault "RegisterEventSourceW").
#pragma once

#include "platform/win_types.h"

namespace sim {

class SimMachine;
class SimProcess;

class SimEventLog {
public:
    explicit SimEventLog(SimMachine& machine) : m_machine(machine) {}

    HANDLE RegisterEventSourceW(SimProcess& caller, LPCWSTR serverName, LPCWSTR sourceName);
    BOOL ReportEventW(SimProcess& caller, HANDLE eventLog, WORD type, WORD category, DWORD eventId,
                      PSID userSid, WORD numStrings, DWORD dataSize, LPCWSTR* strings,
                      LPVOID rawData);
    BOOL DeregisterEventSource(SimProcess& caller, HANDLE eventLog);

private:
    SimMachine& m_machine;
};

}  // namespace sim

// Simulated machine only: kernel events, threads, critical sections, sleeping, last-error codes
// and the module path of a process.
#pragma once

#include <cstddef>
#include <map>
#include <memory>
#include <optional>
#include <string>

#include "platform/win_types.h"

namespace sim {

class SimMachine;
class SimProcess;
struct SimThread;

class SimKernel {
public:
    explicit SimKernel(SimMachine& machine) : m_machine(machine) {}

    // A named event is one object for every process: a second create of its name opens it.
    HANDLE CreateEventW(SimProcess& caller, BOOL manualReset, BOOL initialState, LPCWSTR name);
    BOOL SetEvent(SimProcess& caller, HANDLE event);
    BOOL ResetEvent(SimProcess& caller, HANDLE event);
    DWORD WaitForSingleObject(SimProcess& caller, HANDLE handle, DWORD milliseconds);
    BOOL CloseHandle(SimProcess& caller, HANDLE handle);
    void InitializeCriticalSection(SimProcess& caller, LPCRITICAL_SECTION section);
    void EnterCriticalSection(SimProcess& caller, LPCRITICAL_SECTION section);
    void LeaveCriticalSection(SimProcess& caller, LPCRITICAL_SECTION section);
    void DeleteCriticalSection(SimProcess& caller, LPCRITICAL_SECTION section);
    HANDLE CreateThread(SimProcess& caller, LPTHREAD_START_ROUTINE startAddress, LPVOID parameter,
                        LPDWORD threadId);
    void Sleep(SimProcess& caller, DWORD milliseconds);
    DWORD GetModuleFileNameW(SimProcess& caller, HMODULE module, LPWSTR fileName, DWORD size);

    // Critical sections initialised and not yet deleted.
    int LiveCriticalSections() const { return static_cast<int>(m_sections.size()); }
    // The name of a section initialised and not yet deleted that lies in the block, if any.
    std::optional<std::string> LiveSectionWithin(const void* block, std::size_t bytes) const;

    // The last-error code of the calling host thread; every simulated thread is one.
    static DWORD LastError();
    static void SetLastError(DWORD error);

private:
    struct CriticalSection {
        const SimThread* owner = nullptr;
        int recursion = 0;
        int waiters = 0;
    };
    SimMachine& m_machine;
    std::map<LPCRITICAL_SECTION, CriticalSection> m_sections;
    // Named events by name (compared with case, as Windows compares object names); an event goes
    // with its last handle.
    std::map<std::wstring, std::weak_ptr<void>> m_namedEvents;
    // Numbers the sections in the order they were made, to name them in deadlock reports.
    int m_sectionsMade = 0;
};

// Sets the calling thread's last error and converts to the failure value of a BOOL or pointer
// API: `return Failure(ERROR_INVALID_HANDLE);`.
struct Failure {
    explicit Failure(DWORD code) { SimKernel::SetLastError(code); }
    operator BOOL() const { return FALSE; }
    template <typename T>
    operator T*() const {
        return nullptr;
    }
};

}  // namespace sim

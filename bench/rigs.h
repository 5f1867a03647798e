// What the benchmarks drive: the service started by the SCM on a simulated machine, and a bare
// process on a machine of its own that makes the platform calls of one request and nothing else.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "platform/sim/machine.h"
#include "radio/service_source.h"

namespace bench {

// A broken benchmark measures nothing: says what went wrong and ends the tool.
void Require(bool condition, const char* what);

// The service installed and started as the SCM starts it, with `interfaces` WLAN interfaces of
// one PHY each, airplane mode off and one switch device.
class ServiceRig {
public:
    explicit ServiceRig(int interfaces);
    ~ServiceRig();
    ServiceRig(const ServiceRig&) = delete;
    ServiceRig& operator=(const ServiceRig&) = delete;

    void Start();
    void Stop();
    void RunUntilIdle();
    void AdvanceBy(std::uint64_t ms);
    bool Exited();

    // The next switch value: the radio starts on (the BIOS reports 3), so requests alternate
    // off, on, off... and every one changes every interface.
    DWORD NextValue() { return static_cast<DWORD>(m_delivered++ % 2 == 0 ? 0 : 1); }
    // Completes `count` reads with the next switch values; the service takes them once the
    // machine runs.
    void Queue(std::uint64_t count);
    // Delivers `count` switch values, `burst` at a time before letting the machine run, the way
    // a driver that completes reads faster than the service takes them would.
    void Deliver(std::uint64_t count, std::uint64_t burst);
    std::uint64_t Delivered() const { return m_delivered; }

    sim::SimMachine machine;

private:
    std::uint64_t m_delivered = 0;
};

// Real and CPU time, in nanoseconds.
struct Cost {
    double realNs = 0;
    double cpuNs = 0;
    Cost& operator+=(const Cost& other) {
        realNs += other.realNs;
        cpuNs += other.cpuNs;
        return *this;
    }
};

// A process on a machine of its own whose one simulated thread makes requests in a loop, timed
// on that thread: the thread's start and the driver's hand-off to it are not counted. The same
// machine has the service's WLAN interfaces, airplane-mode value and switch device.
class RequestLoopRig {
public:
    explicit RequestLoopRig(int interfaces);
    ~RequestLoopRig();
    RequestLoopRig(const RequestLoopRig&) = delete;
    RequestLoopRig& operator=(const RequestLoopRig&) = delete;

    // Exactly the platform calls the service's path must make for one switch value, and
    // nothing else: the read, the records, the Native Wifi session, the airplane-mode read with
    // its console trace, and the query, set, record and free of every interface. No queue, no
    // worker, no formatting, no hand-off between threads.
    Cost Bare(std::uint64_t count);
    // The same calls without the device side (the read and its record): the worker's share.
    Cost BareWorker(std::uint64_t count);
    // The worker's own function, CServiceSource::ProcessHotkeyPressed, called directly.
    Cost ProcessHotkeyPressed(std::uint64_t count);
    // The platform calls one request makes on the bare path, and the worker's share of them.
    int BareCalls() const { return 19 + 6 * m_interfaces; }
    int BareWorkerCalls() const { return 15 + 6 * m_interfaces; }

    sim::SimMachine machine;

private:
    Cost RunLoop(std::uint64_t count, std::function<void(DWORD request)> request);
    void BareRequest(DWORD request, bool deviceSide);
    void Record(LPCWSTR message);

    int m_interfaces;
    sim::SimProcess& m_process;
    HANDLE m_device = INVALID_HANDLE_VALUE;
    HANDLE m_go = nullptr;
    std::unique_ptr<CServiceSource> m_service;
    std::uint64_t m_requests = 0;
    // The job the loop thread runs next (none: it ends), and what the last one cost.
    std::function<void()> m_job;
    Cost m_cost;
};

// CPU time of the calling thread, and of the whole process, in nanoseconds.
double ThreadCpuNs();
double ProcessCpuNs();

// Nearest-rank percentile (0 < p <= 1) of `values`, which it sorts.
double Percentile(std::vector<double>& values, double p);

// What the host process holds.
struct MemorySnapshot {
    std::uint64_t residentKiB = 0;  // resident set, from /proc/self/statm
    std::uint64_t heapBytes = 0;    // bytes the C allocator has handed out and not taken back
};
MemorySnapshot TakeMemorySnapshot();

// Context switches of every thread of this process but the caller, from /proc/self/task.
std::uint64_t OtherThreadsContextSwitches();

}  // namespace bench

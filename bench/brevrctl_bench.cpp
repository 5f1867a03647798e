// brevrctl_bench: the radio service's figures on the simulated machine, with Google Benchmark.
// Every benchmark drives the real service as the SCM runs it; times are real (host) times, taken
// with the steady clock, since the simulated threads are host threads handed a baton.
//
// Options of its own, before Google Benchmark's: --latency_samples=N (10000), --stop_samples=N
// (200 per state), --memory_requests=N (1000000), --burst=N (1024: the long bursts of
// SustainedRequests, WorkerFunction's chunks and MemoryGrowth's deliveries).
#include <benchmark/benchmark.h>

#include <algorithm>
#include <chrono>
#include <cstdint>
#include <cstdlib>
#include <functional>
#include <string>
#include <string_view>
#include <thread>
#include <variant>
#include <vector>

#include "bench/rigs.h"
#include "platform/sim/devices_sim.h"
#include "platform/sim/scm_sim.h"
#include "platform/sim/wlan_sim.h"
#include "radio/service_source.h"

namespace {

using Clock = std::chrono::steady_clock;
using bench::Require;
using bench::ServiceRig;

struct Settings {
    std::uint64_t latencySamples = 10000;
    std::uint64_t stopSamples = 200;
    std::uint64_t memoryRequests = 1000000;
    std::uint64_t burst = 1024;
};
Settings g_settings;

constexpr std::uint64_t kHourMs = 60ull * 60 * 1000;
constexpr std::uint64_t kMemoryBaselineRequests = 1000;

double Microseconds(Clock::duration duration) {
    return std::chrono::duration<double, std::micro>(duration).count();
}

// Sets median, 99th percentile and maximum of `samples` (microseconds) as counters.
void ReportDistribution(benchmark::State& state, std::vector<double>& samples) {
    state.counters["median_us"] = bench::Percentile(samples, 0.5);
    state.counters["p99_us"] = bench::Percentile(samples, 0.99);
    state.counters["max_us"] = bench::Percentile(samples, 1.0);
    state.counters["samples"] = static_cast<double>(samples.size());
}

bool RecordStartsWith(const sim::Observation& observation, std::wstring_view prefix) {
    auto* record = std::get_if<sim::EventRecord>(&observation.body);
    return record != nullptr && record->strings.size() > 1 &&
           std::wstring_view(record->strings[1]).substr(0, prefix.size()) == prefix;
}

// One switch value at a time, the machine idle before each: real time from the driver's
// completion of the pending read to the worker's WlanSetInterface call. Its three parts: to the
// device loop's record (the baton handed to the service-main thread), to the worker's first
// record (queueing, the read that blocks, the baton handed to the worker), and to the set (the
// worker's own code and platform calls, on one thread).
void ReadToWlanSetLatency(benchmark::State& state) {
    ServiceRig rig(1);
    rig.Start();
    rig.machine.Log().SetRetained(false);
    Clock::time_point deviceLoopAt;
    Clock::time_point workerAt;
    Clock::time_point setAt;
    bool set = false;
    // Called on the service's host threads with the machine's lock held; the driver reads the
    // times after RunUntilIdle, which takes that lock.
    rig.machine.Log().SetListener([&](const sim::Observation& observation) {
        if (set) return;
        if (RecordStartsWith(observation, L"DoUpdateWifiState")) {
            deviceLoopAt = Clock::now();
        } else if (RecordStartsWith(observation, L"ProcessHotkeyPressed")) {
            workerAt = Clock::now();
        } else if (std::holds_alternative<sim::WlanSet>(observation.body)) {
            setAt = Clock::now();
            set = true;
        }
    });
    std::vector<double> samples;
    std::vector<double> toDeviceLoop;
    std::vector<double> toWorker;
    std::vector<double> toSet;
    for (auto* parts : {&samples, &toDeviceLoop, &toWorker, &toSet})
        parts->reserve(g_settings.latencySamples);
    const std::uint64_t switchesBefore = rig.machine.Core().Switches();
    for (auto _ : state) {
        set = false;
        const auto completedAt = Clock::now();
        rig.machine.Devices().Complete(sim::ReadCompletion::Switch(rig.NextValue()));
        rig.RunUntilIdle();
        Require(set, "a switch value did not reach WlanSetInterface");
        samples.push_back(Microseconds(setAt - completedAt));
        toDeviceLoop.push_back(Microseconds(deviceLoopAt - completedAt));
        toWorker.push_back(Microseconds(workerAt - deviceLoopAt));
        toSet.push_back(Microseconds(setAt - workerAt));
        state.SetIterationTime(samples.back() / 1e6);
    }
    state.counters["hand_offs"] =
        static_cast<double>(rig.machine.Core().Switches() - switchesBefore) /
        static_cast<double>(samples.size());
    state.counters["to_device_loop_median_us"] = bench::Percentile(toDeviceLoop, 0.5);
    state.counters["to_worker_median_us"] = bench::Percentile(toWorker, 0.5);
    state.counters["to_set_median_us"] = bench::Percentile(toSet, 0.5);
    ReportDistribution(state, samples);
    rig.machine.Log().SetListener(nullptr);
}

// Sets the per-request figures of a service path against its bare platform calls.
void ReportAgainstBare(benchmark::State& state, const bench::Cost& service, const bench::Cost& bare,
                       std::uint64_t requests, int bareCalls) {
    const double n = static_cast<double>(requests);
    state.SetItemsProcessed(static_cast<std::int64_t>(requests));
    state.counters["service_us"] = service.realNs / n / 1e3;
    state.counters["bare_us"] = bare.realNs / n / 1e3;
    state.counters["ratio"] = service.realNs / bare.realNs;
    state.counters["service_cpu_us"] = service.cpuNs / n / 1e3;
    state.counters["bare_cpu_us"] = bare.cpuNs / n / 1e3;
    state.counters["cpu_ratio"] = service.cpuNs / bare.cpuNs;
    state.counters["bare_calls"] = bareCalls;
}

// Bursts of switch values through the device loop, the queue and the worker, against the same
// requests' platform calls made bare on one simulated thread, chunk after chunk in one run.
// With bursts of one, each value waits for the one before to be applied; with long bursts the
// driver keeps ahead of the service. The values are queued before the clock starts, on both
// paths. The iteration time is the service's; items_per_second is its request rate. The
// service's CPU time is the whole process's: every host thread that woke for it.
void SustainedRequests(benchmark::State& state) {
    const int interfaces = static_cast<int>(state.range(0));
    const auto burst = static_cast<std::uint64_t>(state.range(1));
    ServiceRig rig(interfaces);
    rig.Start();
    rig.machine.Log().SetRetained(false);
    std::uint64_t sets = 0;
    rig.machine.Log().SetListener([&](const sim::Observation& observation) {
        if (auto* set = std::get_if<sim::WlanSet>(&observation.body); set && set->result == 0)
            ++sets;
    });
    bench::RequestLoopRig loop(interfaces);

    bench::Cost service;
    bench::Cost bare;
    std::uint64_t requests = 0;
    const std::uint64_t switchesBefore = rig.machine.Core().Switches();
    for (auto _ : state) {
        rig.Queue(burst);
        const auto start = Clock::now();
        const double cpuStart = bench::ProcessCpuNs();
        rig.RunUntilIdle();
        const bench::Cost chunk{
            std::chrono::duration<double, std::nano>(Clock::now() - start).count(),
            bench::ProcessCpuNs() - cpuStart};
        service += chunk;
        bare += loop.Bare(burst);
        requests += burst;
        state.SetIterationTime(chunk.realNs / 1e9);
    }
    Require(sets == requests * static_cast<std::uint64_t>(interfaces),
            "a request was not applied to every interface");
    ReportAgainstBare(state, service, bare, requests, loop.BareCalls());
    state.counters["hand_offs"] =
        static_cast<double>(rig.machine.Core().Switches() - switchesBefore) /
        static_cast<double>(requests);
    rig.machine.Log().SetListener(nullptr);
}

// The worker's own function, CServiceSource::ProcessHotkeyPressed, called directly on one
// simulated thread, against its platform calls made bare on the same thread: the service's own
// code without the device loop, the queue or any hand-off.
void WorkerFunction(benchmark::State& state) {
    const int interfaces = static_cast<int>(state.range(0));
    bench::RequestLoopRig loop(interfaces);
    const std::uint64_t burst = g_settings.burst;
    bench::Cost service;
    bench::Cost bare;
    std::uint64_t requests = 0;
    for (auto _ : state) {
        const bench::Cost chunk = loop.ProcessHotkeyPressed(burst);
        service += chunk;
        bare += loop.BareWorker(burst);
        requests += burst;
        state.SetIterationTime(chunk.realNs / 1e9);
    }
    ReportAgainstBare(state, service, bare, requests, loop.BareWorkerCalls());
}

// The bare cost of one baton hand-off: two simulated threads wake each other through events.
void BatonHandOff(benchmark::State& state) {
    sim::SimMachine machine;
    sim::SimProcess& process = machine.CreateProcess("ping-pong");
    HANDLE ping = nullptr;
    HANDLE pong = nullptr;
    process.RunOnThread("setup", [&] {
        ping = process.CreateEventW(nullptr, FALSE, FALSE, nullptr);
        pong = process.CreateEventW(nullptr, FALSE, FALSE, nullptr);
    });
    bool done = false;
    process.Spawn("pong", [&] {
        for (;;) {
            process.WaitForSingleObject(ping, INFINITE);
            if (done) break;
            process.SetEvent(pong);
        }
    });
    const std::uint64_t switchesBefore = machine.Core().Switches();
    process.RunOnThread("ping", [&] {
        for (auto _ : state) {
            process.SetEvent(ping);
            process.WaitForSingleObject(pong, INFINITE);
        }
        done = true;
        process.SetEvent(ping);
    });
    const auto handOffs = static_cast<double>(machine.Core().Switches() - switchesBefore);
    state.counters["hand_offs_per_iteration"] = handOffs / static_cast<double>(state.iterations());
    process.RunOnThread("teardown", [&] {
        process.CloseHandle(ping);
        process.CloseHandle(pong);
    });
}

// A state the service can be in when a stop (or the device's removal) comes.
struct StopCase {
    std::string name;
    std::function<void(ServiceRig&)> beforeStart;
    std::function<void(ServiceRig&)> afterStart;
    // What ends the service; the stop control unless said otherwise.
    std::function<void(ServiceRig&)> trigger;
};

std::vector<StopCase> StopCases() {
    auto nothing = [](ServiceRig&) {};
    auto stop = [](ServiceRig& rig) {
        Require(
            rig.machine.Scm().SendControl(CServiceSource::kServiceName, SERVICE_CONTROL_STOP) == 0,
            "the SCM refused the stop");
    };
    return {
        {"read_pending", nothing, nothing, stop},
        {"wlan_wait", [](ServiceRig& rig) { rig.machine.Wlan().RemoveInterface("wlan0"); },
         [](ServiceRig& rig) { rig.AdvanceBy(2500); }, stop},
        {"not_ready_wait", nothing,
         [](ServiceRig& rig) {
             rig.machine.Devices().Complete(sim::ReadCompletion::Failure(ERROR_NOT_READY));
             rig.AdvanceBy(3500);
         },
         stop},
        {"device_not_ready_for_ever", nothing,
         [](ServiceRig& rig) {
             rig.machine.Faults().Add({"ReadFile", ERROR_NOT_READY, 0, std::nullopt});
             rig.machine.Devices().Complete(sim::ReadCompletion::Switch(1));
             rig.AdvanceBy(31000);
         },
         stop},
        // No stop: the device goes away under the pending read and the service ends itself.
        {"device_removed", nothing, nothing,
         [](ServiceRig& rig) { rig.machine.Devices().SetSwitchPresent(false); }},
    };
}

// Real time from the stop control (or the device's removal) to the service process's exit.
void StopToExit(benchmark::State& state, const StopCase& stopCase) {
    std::vector<double> samples;
    samples.reserve(g_settings.stopSamples);
    std::uint64_t virtualMsMax = 0;
    std::uint64_t handOffs = 0;
    for (auto _ : state) {
        ServiceRig rig(1);
        stopCase.beforeStart(rig);
        rig.Start();
        stopCase.afterStart(rig);
        Require(!rig.Exited(), "the service ended before the stop");
        Clock::time_point exitedAt;
        rig.machine.Log().SetListener([&](const sim::Observation& observation) {
            if (std::holds_alternative<sim::ProcessExit>(observation.body)) exitedAt = Clock::now();
        });
        const std::uint64_t virtualStart = rig.machine.NowMs();
        const std::uint64_t switchesBefore = rig.machine.Core().Switches();
        const auto stoppedAt = Clock::now();
        stopCase.trigger(rig);
        rig.RunUntilIdle();
        Require(rig.Exited(), "the service did not end");
        handOffs += rig.machine.Core().Switches() - switchesBefore;
        virtualMsMax = std::max(virtualMsMax, rig.machine.NowMs() - virtualStart);
        samples.push_back(Microseconds(exitedAt - stoppedAt));
        state.SetIterationTime(samples.back() / 1e6);
        rig.machine.Log().SetListener(nullptr);
    }
    state.counters["virtual_ms_max"] = static_cast<double>(virtualMsMax);
    state.counters["hand_offs"] =
        static_cast<double>(handOffs) / static_cast<double>(samples.size());
    ReportDistribution(state, samples);
}

// Each iteration is one hour of virtual time with the service waiting for the switch; every run
// of a simulated thread counts. Then the process's other host threads are watched through a
// stretch of real idle time.
void IdleWakeUps(benchmark::State& state) {
    ServiceRig rig(1);
    rig.Start();
    std::uint64_t wakeUps = 0;
    for (auto _ : state) {
        const std::uint64_t before = rig.machine.Core().Switches();
        rig.AdvanceBy(kHourMs);
        wakeUps += rig.machine.Core().Switches() - before;
    }
    Require(!rig.Exited() && rig.machine.Devices().ReadPending(), "the service left its read");
    // The host threads that the last hand-off woke settle first: they all wake on every
    // hand-off, check whether the baton is theirs and wait again.
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
    const std::uint64_t hostBefore = bench::OtherThreadsContextSwitches();
    std::this_thread::sleep_for(std::chrono::milliseconds(500));
    state.counters["host_switches_in_500ms"] =
        static_cast<double>(bench::OtherThreadsContextSwitches() - hostBefore);
    state.counters["wake_ups_per_virtual_hour"] =
        static_cast<double>(wakeUps) / static_cast<double>(state.iterations());
}

// For contrast: the not-ready wait pauses one second at a time by design, for at most fifteen.
void NotReadyWaitWakeUps(benchmark::State& state) {
    std::uint64_t wakeUps = 0;
    for (auto _ : state) {
        ServiceRig rig(1);
        rig.Start();
        rig.machine.Devices().Complete(sim::ReadCompletion::Failure(ERROR_NOT_READY));
        rig.RunUntilIdle();
        const std::uint64_t before = rig.machine.Core().Switches();
        rig.AdvanceBy(15000);
        wakeUps += rig.machine.Core().Switches() - before;
        Require(rig.machine.Devices().ReadPending(), "the not-ready wait did not end");
    }
    state.counters["wake_ups_per_wait"] =
        static_cast<double>(wakeUps) / static_cast<double>(state.iterations());
}

// The host process's memory after a thousand requests and after many more, with the
// observation log not kept (it grows with every record by design).
void MemoryGrowth(benchmark::State& state) {
    for (auto _ : state) {
        ServiceRig rig(1);
        rig.Start();
        rig.machine.Log().SetRetained(false);
        // Bursts no longer than the first thousand, so that the queues' high-water mark is
        // reached before the first snapshot.
        const std::uint64_t burst = std::min(g_settings.burst, kMemoryBaselineRequests);
        rig.Deliver(kMemoryBaselineRequests, burst);
        const auto firstResources = rig.machine.OpenResources();
        const bench::MemorySnapshot first = bench::TakeMemorySnapshot();
        rig.Deliver(g_settings.memoryRequests - kMemoryBaselineRequests, burst);
        const bench::MemorySnapshot last = bench::TakeMemorySnapshot();
        Require(rig.machine.OpenResources() == firstResources,
                "the simulated machine's accounted resources changed");
        state.counters["requests"] = static_cast<double>(rig.Delivered());
        state.counters["rss_kib_1k"] = static_cast<double>(first.residentKiB);
        state.counters["rss_kib_last"] = static_cast<double>(last.residentKiB);
        state.counters["heap_bytes_1k"] = static_cast<double>(first.heapBytes);
        state.counters["heap_bytes_last"] = static_cast<double>(last.heapBytes);
        state.counters["heap_growth_bytes"] =
            static_cast<double>(last.heapBytes) - static_cast<double>(first.heapBytes);
        state.counters["sim_threads"] = static_cast<double>(rig.machine.Core().Threads().size());
    }
}

// Takes this tool's own options out of argv; Google Benchmark reads the rest.
void ParseSettings(int& argc, char** argv) {
    struct Option {
        std::string_view prefix;
        std::uint64_t* value;
    };
    const Option options[] = {{"--latency_samples=", &g_settings.latencySamples},
                              {"--stop_samples=", &g_settings.stopSamples},
                              {"--memory_requests=", &g_settings.memoryRequests},
                              {"--burst=", &g_settings.burst}};
    int kept = 1;
    for (int i = 1; i < argc; ++i) {
        const std::string_view arg = argv[i];
        bool ours = false;
        for (auto& option : options) {
            if (arg.substr(0, option.prefix.size()) != option.prefix) continue;
            *option.value = std::strtoull(argv[i] + option.prefix.size(), nullptr, 10);
            ours = true;
        }
        if (!ours) argv[kept++] = argv[i];
    }
    argc = kept;
    Require(g_settings.latencySamples > 0 && g_settings.stopSamples > 0 && g_settings.burst > 0 &&
                g_settings.memoryRequests > kMemoryBaselineRequests,
            "every count must be positive, and --memory_requests above 1000");
}

void RegisterBenchmarks() {
    const auto latencyIterations =
        static_cast<benchmark::IterationCount>(g_settings.latencySamples);
    const auto stopIterations = static_cast<benchmark::IterationCount>(g_settings.stopSamples);
    benchmark::RegisterBenchmark("ReadToWlanSetLatency", ReadToWlanSetLatency)
        ->Iterations(latencyIterations)
        ->UseManualTime()
        ->Unit(benchmark::kMicrosecond);
    benchmark::RegisterBenchmark("SustainedRequests", SustainedRequests)
        ->ArgNames({"interfaces", "burst"})
        ->ArgsProduct({{1, 4}, {1, static_cast<std::int64_t>(g_settings.burst)}})
        ->UseManualTime()
        ->Unit(benchmark::kMicrosecond);
    benchmark::RegisterBenchmark("WorkerFunction", WorkerFunction)
        ->ArgName("interfaces")
        ->Arg(1)
        ->Arg(4)
        ->UseManualTime()
        ->Unit(benchmark::kMicrosecond);
    benchmark::RegisterBenchmark("BatonHandOff", BatonHandOff)
        ->UseRealTime()
        ->Unit(benchmark::kMicrosecond);
    for (const StopCase& stopCase : StopCases())
        benchmark::RegisterBenchmark(("StopToExit/" + stopCase.name).c_str(), StopToExit, stopCase)
            ->Iterations(stopIterations)
            ->UseManualTime()
            ->Unit(benchmark::kMicrosecond);
    benchmark::RegisterBenchmark("IdleWakeUps", IdleWakeUps)->Iterations(24);
    benchmark::RegisterBenchmark("NotReadyWaitWakeUps", NotReadyWaitWakeUps)->Iterations(3);
    benchmark::RegisterBenchmark("MemoryGrowth", MemoryGrowth)
        ->Iterations(1)
        ->Repetitions(1)
        ->Unit(benchmark::kMillisecond);
}

}  // namespace

int main(int argc, char** argv) {
    ParseSettings(argc, argv);
    benchmark::AddCustomContext("latency_samples", std::to_string(g_settings.latencySamples));
    benchmark::AddCustomContext("stop_samples", std::to_string(g_settings.stopSamples));
    benchmark::AddCustomContext("memory_requests", std::to_string(g_settings.memoryRequests));
    benchmark::AddCustomContext("burst", std::to_string(g_settings.burst));
    RegisterBenchmarks();
    benchmark::Initialize(&argc, argv);
    if (benchmark::ReportUnrecognizedArguments(argc, argv)) return 1;
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    return 0;
}

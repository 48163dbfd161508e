// The clock: system time, tick count and performance counter on a clock that runs `scale` times
// faster than real time, so that the drivers' long time-outs can be exercised quickly.
//
// Simulated time is anchored: every change of scale re-anchors at the current simulated time, so
// the clock never jumps backwards when a test changes the scale. A simulated restart keeps the
// clock running (event-log times stay ordered across it) and only restarts the tick count.
#include "ke_thread.h"

#include <chrono>
#include <cmath>
#include <stdexcept>
#include <thread>

namespace hk::internal {
namespace {

// Seconds from 1601-01-01 to 1970-01-01, in 100 ns units.
constexpr LONGLONG kUnixEpochIn1601 = 116444736000000000LL;
// The clock interrupt of a real machine: 15.625 ms.
constexpr ULONG kTimeIncrement = 156250;
// KeQueryPerformanceCounter counts in 100 ns units.
constexpr LONGLONG kPerformanceFrequency = 10000000;

struct Clock {
    std::mutex lock;
    double scale = 1.0;
    std::chrono::steady_clock::time_point anchorReal;
    LONGLONG anchorSimulated = 0;
    LONGLONG bootSimulated = 0;

    Clock()
    {
        anchorReal = std::chrono::steady_clock::now();
        auto sinceUnix = std::chrono::duration_cast<std::chrono::nanoseconds>(
            std::chrono::system_clock::now().time_since_epoch());
        anchorSimulated = kUnixEpochIn1601 + sinceUnix.count() / 100;
        bootSimulated = anchorSimulated;
    }

    // Caller holds `lock`.
    LONGLONG NowLocked() const
    {
        auto real = std::chrono::duration_cast<std::chrono::nanoseconds>(std::chrono::steady_clock::now() - anchorReal);
        return anchorSimulated + (LONGLONG)((double)real.count() * scale / 100.0);
    }
};

// Never destroyed: system threads may still read the clock while the process exits.
Clock &TheClock()
{
    static Clock *clock = new Clock;
    return *clock;
}

} // namespace

LONGLONG KepSimulatedNow()
{
    Clock &c = TheClock();
    std::lock_guard<std::mutex> guard(c.lock);
    return c.NowLocked();
}

LONGLONG KepSimulatedBootTime()
{
    Clock &c = TheClock();
    std::lock_guard<std::mutex> guard(c.lock);
    return c.bootSimulated;
}

void KepResetClockForBoot()
{
    Clock &c = TheClock();
    std::lock_guard<std::mutex> guard(c.lock);
    c.bootSimulated = c.NowLocked();
}

int64_t RealNanoseconds(LONGLONG simulated100ns)
{
    if (simulated100ns <= 0)
        return 0;
    double scale;
    {
        Clock &c = TheClock();
        std::lock_guard<std::mutex> guard(c.lock);
        scale = c.scale;
    }
    double real = (double)simulated100ns * 100.0 / scale;
    // Far beyond any test: callers treat this as "forever" without overflowing time points.
    constexpr double kCeiling = 1e18;
    return real >= kCeiling ? (int64_t)kCeiling : (int64_t)std::ceil(real);
}

} // namespace hk::internal

namespace hk {

void SetTimeScale(double scale)
{
    if (!(scale > 0.0) || !std::isfinite(scale))
        throw std::invalid_argument("time scale must be a positive finite number");
    internal::Clock &c = internal::TheClock();
    std::lock_guard<std::mutex> guard(c.lock);
    LONGLONG now = c.NowLocked();
    c.anchorReal = std::chrono::steady_clock::now();
    c.anchorSimulated = now;
    c.scale = scale;
}

double TimeScale()
{
    internal::Clock &c = internal::TheClock();
    std::lock_guard<std::mutex> guard(c.lock);
    return c.scale;
}

} // namespace hk

using namespace hk::internal;

extern "C" {

VOID NTAPI KeQuerySystemTime(PLARGE_INTEGER CurrentTime)
{
    CurrentTime->QuadPart = KepSimulatedNow();
}

VOID NTAPI KeQueryTickCount(PLARGE_INTEGER TickCount)
{
    Clock &c = TheClock();
    std::lock_guard<std::mutex> guard(c.lock);
    TickCount->QuadPart = (c.NowLocked() - c.bootSimulated) / kTimeIncrement;
}

ULONG NTAPI KeQueryTimeIncrement(VOID)
{
    return kTimeIncrement;
}

LARGE_INTEGER NTAPI KeQueryPerformanceCounter(PLARGE_INTEGER Frequency)
{
    if (Frequency)
        Frequency->QuadPart = kPerformanceFrequency;
    Clock &c = TheClock();
    std::lock_guard<std::mutex> guard(c.lock);
    LARGE_INTEGER counter;
    counter.QuadPart = c.NowLocked() - c.bootSimulated;
    return counter;
}

// A busy wait, as on a real processor (it is allowed at any IRQL), shortened by the time scale.
VOID NTAPI KeStallExecutionProcessor(ULONG MicroSeconds)
{
    auto until = std::chrono::steady_clock::now() +
                 std::chrono::nanoseconds(RealNanoseconds((LONGLONG)MicroSeconds * 10));
    while (std::chrono::steady_clock::now() < until)
        std::this_thread::yield();
}

} // extern "C"

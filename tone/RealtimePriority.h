#pragma once

// Real-time priority for the stream's worker thread. A process may set SCHED_FIFO itself only
// with real-time rights (RLIMIT_RTPRIO or CAP_SYS_NICE), which an ordinary desktop login lacks;
// there RealtimeKit, a system D-Bus service, grants it on request, as it does for the desktop's
// own sound servers.

#include <sys/types.h>

#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <thread>

namespace quindle {

struct RealtimeGrant {
    enum class Way { Normal, Directly, RealtimeKit };
    Way way = Way::Normal;
    int priority = 0;   // the real-time priority granted; 0 when normal
    std::string reason; // why the thread stayed normal

    // "SCHED_FIFO 10 directly", "SCHED_RR 10 via RealtimeKit" or "normal (reason)".
    std::string text() const;
};

// Sets SCHED_FIFO at priority on the calling thread.
RealtimeGrant makeRealtimeDirectly(int priority);

// Asks RealtimeKit on the system bus (DBUS_SYSTEM_BUS_ADDRESS when set) to make thread tid of
// this process real-time at priority, lowered to the service's maximum. First lowers this
// process's RLIMIT_RTTIME (soft and hard) to the service's RTTimeUSecMax, as the service
// requires: a real-time thread of the process that runs that long without blocking is then
// killed; an RTTimeUSecMax under RealtimeRequest::kMinRealtimeRunUs is refused, and the limit
// left as it was. The service sets SCHED_RR. Each exchange with the bus, its greeting included,
// waits at most timeoutMs [ms].
RealtimeGrant makeRealtimeViaRealtimeKit(pid_t tid, int priority, int timeoutMs);

// Real-time priority for the thread that constructs it: directly, and when that is refused,
// through RealtimeKit on a thread of its own, so that a slow bus holds up no sound. report is
// called with the outcome: at once, and once more from that thread when RealtimeKit has
// answered, unless the request has been destroyed by then. The destructor stops the asking and
// waits for it at most kStopWaitMs, whatever the bus does.
class RealtimeRequest {
public:
    static constexpr int kBusTimeoutMs = 500;
    // The shortest real-time run without blocking that a process is asked to be held to. [us]
    static constexpr int64_t kMinRealtimeRunUs = 10'000;
    // How long the destructor waits for the asking thread. [ms]
    static constexpr int kStopWaitMs = 100;

    RealtimeRequest(int priority, std::function<void(const RealtimeGrant&)> report);
    ~RealtimeRequest();
    RealtimeRequest(const RealtimeRequest&) = delete;
    RealtimeRequest& operator=(const RealtimeRequest&) = delete;

private:
    struct Shared;
    std::shared_ptr<Shared> m_shared;
    std::thread m_asking;
};

} // namespace quindle

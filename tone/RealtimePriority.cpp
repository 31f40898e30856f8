#include "tone/RealtimePriority.h"

#include "tone/PiMutex.h"

#include <dbus/dbus.h>
#include <pthread.h>
#include <sched.h>
#include <sys/resource.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <cstdlib>
#include <memory>
#include <system_error>
#include <utility>

namespace quindle {

namespace {

constexpr const char* kService = "org.freedesktop.RealtimeKit1";
constexpr const char* kObject = "/org/freedesktop/RealtimeKit1";
constexpr const char* kSystemBus = "unix:path=/var/run/dbus/system_bus_socket"; // libdbus's default

struct CloseConnection {
    void operator()(DBusConnection* bus) const
    {
        dbus_connection_close(bus);
        dbus_connection_unref(bus);
    }
};
struct UnrefMessage {
    void operator()(DBusMessage* message) const { dbus_message_unref(message); }
};
using Connection = std::unique_ptr<DBusConnection, CloseConnection>;
using Message = std::unique_ptr<DBusMessage, UnrefMessage>;

class BusError {
public:
    BusError() { dbus_error_init(&m_error); }
    ~BusError() { dbus_error_free(&m_error); }
    BusError(const BusError&) = delete;
    BusError& operator=(const BusError&) = delete;
    DBusError* get() { return &m_error; }
    std::string text() const { return m_error.message ? m_error.message : "no answer"; }

private:
    DBusError m_error;
};

std::string systemError(int error)
{
    return std::system_category().message(error);
}

struct UnrefPendingCall {
    void operator()(DBusPendingCall* pending) const
    {
        dbus_pending_call_cancel(pending);
        dbus_pending_call_unref(pending);
    }
};
using PendingCall = std::unique_ptr<DBusPendingCall, UnrefPendingCall>;

// Whether the request is still wanted; never cancelled when null.
bool wanted(const std::atomic<bool>* cancelled)
{
    return !cancelled || !cancelled->load();
}

// A method call and its reply, waited for at most timeoutMs [ms] and no longer than the request is
// wanted; null, with the reason in why, when it failed. The connection is driven here, in slices:
// libdbus's own blocking call waits without end for a bus that takes the connection and never
// says a word, since its timeout does not cover the greeting (the authentication).
Message call(DBusConnection* bus, Message request, int timeoutMs, std::string& why,
             const std::atomic<bool>* cancelled)
{
    if (!request) {
        why = "out of memory";
        return nullptr;
    }
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
    DBusPendingCall* made = nullptr;
    if (!dbus_connection_send_with_reply(bus, request.get(), &made, timeoutMs) || !made) {
        why = made ? "out of memory" : "the bus is disconnected";
        return nullptr;
    }
    const PendingCall pending(made);
    // A slice: how soon a cancelled request stops. [ms]
    constexpr int kSliceMs = 20;
    while (!dbus_pending_call_get_completed(pending.get())) {
        const auto left = std::chrono::ceil<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
        if (!wanted(cancelled)) {
            why = "no longer wanted";
            return nullptr;
        }
        if (left.count() <= 0) {
            why = "Did not receive a reply within " + std::to_string(timeoutMs) + " ms";
            return nullptr;
        }
        if (!dbus_connection_read_write_dispatch(bus, int(std::min<int64_t>(left.count(), kSliceMs)))) {
            why = "the bus closed the connection";
            return nullptr;
        }
    }
    Message reply(dbus_pending_call_steal_reply(pending.get()));
    BusError error;
    if (!reply) {
        why = "no answer";
    } else if (dbus_set_error_from_message(error.get(), reply.get())) {
        why = error.text();
        reply.reset();
    }
    return reply;
}

// A connection of its own, greeted by hand: libdbus's shared system bus keeps the address it read
// first, and its own greeting waits 25 s for a bus that does not answer.
Connection openSystemBus(int timeoutMs, std::string& why, const std::atomic<bool>* cancelled)
{
    const char* address = std::getenv("DBUS_SYSTEM_BUS_ADDRESS");
    BusError error;
    Connection bus(dbus_connection_open_private(address && *address ? address : kSystemBus, error.get()));
    if (!bus) {
        why = "no system bus: " + error.text();
        return nullptr;
    }
    Message hello(
        dbus_message_new_method_call(DBUS_SERVICE_DBUS, DBUS_PATH_DBUS, DBUS_INTERFACE_DBUS, "Hello"));
    if (!call(bus.get(), std::move(hello), timeoutMs, why, cancelled)) {
        why = "system bus: " + why;
        return nullptr;
    }
    return bus;
}

// A numeric property of the service.
bool readProperty(DBusConnection* bus, const char* name, int timeoutMs, int64_t& value, std::string& why,
                  const std::atomic<bool>* cancelled)
{
    Message request(dbus_message_new_method_call(kService, kObject, DBUS_INTERFACE_PROPERTIES, "Get"));
    const char* interface = kService;
    if (request && !dbus_message_append_args(request.get(), DBUS_TYPE_STRING, &interface, DBUS_TYPE_STRING,
                                             &name, DBUS_TYPE_INVALID))
        request.reset();
    const Message reply = call(bus, std::move(request), timeoutMs, why, cancelled);
    if (!reply)
        return false;
    DBusMessageIter args;
    DBusMessageIter variant;
    if (dbus_message_iter_init(reply.get(), &args) &&
        dbus_message_iter_get_arg_type(&args) == DBUS_TYPE_VARIANT) {
        dbus_message_iter_recurse(&args, &variant);
        DBusBasicValue v{};
        switch (dbus_message_iter_get_arg_type(&variant)) {
        case DBUS_TYPE_INT32:
            dbus_message_iter_get_basic(&variant, &v);
            value = v.i32;
            return true;
        case DBUS_TYPE_UINT32:
            dbus_message_iter_get_basic(&variant, &v);
            value = v.u32;
            return true;
        case DBUS_TYPE_INT64:
            dbus_message_iter_get_basic(&variant, &v);
            value = v.i64;
            return true;
        case DBUS_TYPE_UINT64:
            dbus_message_iter_get_basic(&variant, &v);
            value = int64_t(std::min<dbus_uint64_t>(v.u64, INT64_MAX));
            return true;
        default:
            break;
        }
    }
    why = std::string("unexpected ") + name;
    return false;
}

// The service grants real-time priority only to a process whose real-time threads are stopped
// when they run longer than its limit without blocking. A limit under kMinRealtimeRunUs is taken
// for a broken or hostile answer and not set: it would stop the program for good (the hard limit
// is not raised again) the first time the worker or the sound server's thread in it is busy.
bool limitRealtimeRun(int64_t maxUs, std::string& why)
{
    if (maxUs < RealtimeRequest::kMinRealtimeRunUs) {
        why = "RTTimeUSecMax " + std::to_string(maxUs) + " is out of range";
        return false;
    }
    rlimit limit{};
    if (getrlimit(RLIMIT_RTTIME, &limit) != 0) {
        why = "RLIMIT_RTTIME: " + systemError(errno);
        return false;
    }
    limit.rlim_max = std::min(limit.rlim_max, rlim_t(maxUs));
    limit.rlim_cur = std::min(limit.rlim_cur, limit.rlim_max);
    if (setrlimit(RLIMIT_RTTIME, &limit) != 0) {
        why = "RLIMIT_RTTIME: " + systemError(errno);
        return false;
    }
    return true;
}

} // namespace

std::string RealtimeGrant::text() const
{
    switch (way) {
    case Way::Directly:
        return "SCHED_FIFO " + std::to_string(priority) + " directly";
    case Way::RealtimeKit:
        return "SCHED_RR " + std::to_string(priority) + " via RealtimeKit";
    case Way::Normal:
        break;
    }
    return "normal (" + reason + ")";
}

RealtimeGrant makeRealtimeDirectly(int priority)
{
    sched_param param{};
    param.sched_priority = priority;
    const int error = pthread_setschedparam(pthread_self(), SCHED_FIFO, &param);
    if (error == 0)
        return {RealtimeGrant::Way::Directly, priority, {}};
    return {RealtimeGrant::Way::Normal, 0, "SCHED_FIFO refused: " + systemError(error)};
}

namespace {

RealtimeGrant askRealtimeKit(pid_t tid, int priority, int timeoutMs, const std::atomic<bool>* cancelled)
{
    std::string why;
    int64_t maxPriority = 0;
    int64_t maxRunUs = 0;
    const Connection bus = openSystemBus(timeoutMs, why, cancelled);
    if (bus && readProperty(bus.get(), "MaxRealtimePriority", timeoutMs, maxPriority, why, cancelled) &&
        readProperty(bus.get(), "RTTimeUSecMax", timeoutMs, maxRunUs, why, cancelled)) {
        const int granted = int(std::clamp<int64_t>(maxPriority, 0, priority));
        if (granted < 1) {
            why = "it grants no real-time priority";
        } else if (!wanted(cancelled)) {
            why = "no longer wanted";
        } else if (limitRealtimeRun(maxRunUs, why)) {
            Message request(dbus_message_new_method_call(kService, kObject, kService, "MakeThreadRealtime"));
            const dbus_uint64_t thread = dbus_uint64_t(tid);
            const dbus_uint32_t level = dbus_uint32_t(granted);
            if (request && !dbus_message_append_args(request.get(), DBUS_TYPE_UINT64, &thread,
                                                     DBUS_TYPE_UINT32, &level, DBUS_TYPE_INVALID))
                request.reset();
            if (call(bus.get(), std::move(request), timeoutMs, why, cancelled))
                return {RealtimeGrant::Way::RealtimeKit, granted, {}};
        }
    }
    return {RealtimeGrant::Way::Normal, 0, "RealtimeKit: " + why};
}

} // namespace

RealtimeGrant makeRealtimeViaRealtimeKit(pid_t tid, int priority, int timeoutMs)
{
    return askRealtimeKit(tid, priority, timeoutMs, nullptr);
}

// What the asking thread and the request share: the thread may outlive the request.
struct RealtimeRequest::Shared {
    PiMutex mutex;
    std::condition_variable_any ended;
    std::atomic<bool> cancelled{false};
    bool done GUARDED_BY(mutex) = false;
    std::function<void(const RealtimeGrant&)> report GUARDED_BY(mutex);
};

RealtimeRequest::RealtimeRequest(int priority, std::function<void(const RealtimeGrant&)> report)
{
    const RealtimeGrant direct = makeRealtimeDirectly(priority);
    if (direct.way != RealtimeGrant::Way::Normal) {
        report(direct);
        return;
    }
    report({RealtimeGrant::Way::Normal, 0, direct.reason + "; asking RealtimeKit"});
    m_shared = std::make_shared<Shared>();
    {
        const PiLock lock(m_shared->mutex);
        m_shared->report = std::move(report);
    }
    // The thread that constructs the request is the one to be made real-time.
    m_asking = std::thread([tid = gettid(), priority, refused = direct.reason, shared = m_shared] {
        RealtimeGrant grant = askRealtimeKit(tid, priority, kBusTimeoutMs, &shared->cancelled);
        if (grant.way == RealtimeGrant::Way::Normal)
            grant.reason = refused + "; " + grant.reason;
        const PiLock lock(shared->mutex);
        if (!shared->cancelled)
            shared->report(grant);
        shared->done = true;
        shared->ended.notify_all();
    });
}

RealtimeRequest::~RealtimeRequest()
{
    if (!m_asking.joinable())
        return;
    bool done = false;
    {
        PiLock lock(m_shared->mutex);
        m_shared->cancelled = true;
        // The asking stops within a slice of its wait on the bus. One stuck where no wait of ours
        // reaches (a bus that never takes the connection) is left to end by itself, or with the
        // program, and reports nothing.
        const auto until = std::chrono::steady_clock::now() + std::chrono::milliseconds(kStopWaitMs);
        while (!m_shared->done && m_shared->ended.wait_until(lock, until) == std::cv_status::no_timeout) {
        }
        done = m_shared->done;
    }
    if (done)
        m_asking.join();
    else
        m_asking.detach();
}

} // namespace quindle

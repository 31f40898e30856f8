#include "tone/RealtimePriority.h"

#include <dbus/dbus.h>
#include <pthread.h>
#include <sched.h>
#include <sys/resource.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
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

// A method call and its reply; null, with the reason in why, when it failed.
Message call(DBusConnection* bus, Message request, int timeoutMs, std::string& why)
{
    if (!request) {
        why = "out of memory";
        return nullptr;
    }
    BusError error;
    Message reply(dbus_connection_send_with_reply_and_block(bus, request.get(), timeoutMs, error.get()));
    if (!reply)
        why = error.text();
    return reply;
}

// A connection of its own, greeted by hand: libdbus's shared system bus keeps the address it read
// first, and its own greeting waits 25 s for a bus that does not answer.
Connection openSystemBus(int timeoutMs, std::string& why)
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
    if (!call(bus.get(), std::move(hello), timeoutMs, why)) {
        why = "system bus: " + why;
        return nullptr;
    }
    return bus;
}

// A numeric property of the service.
bool readProperty(DBusConnection* bus, const char* name, int timeoutMs, int64_t& value, std::string& why)
{
    Message request(dbus_message_new_method_call(kService, kObject, DBUS_INTERFACE_PROPERTIES, "Get"));
    const char* interface = kService;
    if (request && !dbus_message_append_args(request.get(), DBUS_TYPE_STRING, &interface, DBUS_TYPE_STRING,
                                             &name, DBUS_TYPE_INVALID))
        request.reset();
    const Message reply = call(bus, std::move(request), timeoutMs, why);
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
// when they run longer than its limit without blocking.
bool limitRealtimeRun(int64_t maxUs, std::string& why)
{
    rlimit limit{};
    if (getrlimit(RLIMIT_RTTIME, &limit) != 0) {
        why = "RLIMIT_RTTIME: " + systemError(errno);
        return false;
    }
    limit.rlim_max = std::min(limit.rlim_max, rlim_t(std::max<int64_t>(maxUs, 1)));
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

RealtimeGrant makeRealtimeViaRealtimeKit(pid_t tid, int priority, int timeoutMs)
{
    std::string why;
    int64_t maxPriority = 0;
    int64_t maxRunUs = 0;
    const Connection bus = openSystemBus(timeoutMs, why);
    if (bus && readProperty(bus.get(), "MaxRealtimePriority", timeoutMs, maxPriority, why) &&
        readProperty(bus.get(), "RTTimeUSecMax", timeoutMs, maxRunUs, why)) {
        const int granted = int(std::clamp<int64_t>(maxPriority, 0, priority));
        if (granted < 1) {
            why = "it grants no real-time priority";
        } else if (limitRealtimeRun(maxRunUs, why)) {
            Message request(dbus_message_new_method_call(kService, kObject, kService, "MakeThreadRealtime"));
            const dbus_uint64_t thread = dbus_uint64_t(tid);
            const dbus_uint32_t level = dbus_uint32_t(granted);
            if (request && !dbus_message_append_args(request.get(), DBUS_TYPE_UINT64, &thread,
                                                     DBUS_TYPE_UINT32, &level, DBUS_TYPE_INVALID))
                request.reset();
            if (call(bus.get(), std::move(request), timeoutMs, why))
                return {RealtimeGrant::Way::RealtimeKit, granted, {}};
        }
    }
    return {RealtimeGrant::Way::Normal, 0, "RealtimeKit: " + why};
}

RealtimeRequest::RealtimeRequest(int priority, std::function<void(const RealtimeGrant&)> report)
{
    const RealtimeGrant direct = makeRealtimeDirectly(priority);
    if (direct.way != RealtimeGrant::Way::Normal) {
        report(direct);
        return;
    }
    report({RealtimeGrant::Way::Normal, 0, direct.reason + "; asking RealtimeKit"});
    m_asking = std::thread([tid = gettid(), priority, refused = direct.reason, report = std::move(report)] {
        RealtimeGrant grant = makeRealtimeViaRealtimeKit(tid, priority, kBusTimeoutMs);
        if (grant.way == RealtimeGrant::Way::Normal)
            grant.reason = refused + "; " + grant.reason;
        report(grant);
    });
}

RealtimeRequest::~RealtimeRequest()
{
    if (m_asking.joinable())
        m_asking.join();
}

} // namespace quindle

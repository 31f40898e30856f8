// Real-time priority through RealtimeKit, asked of a stand-in on a private bus.
#include "tone/RealtimePriority.h"

#include <QProcess>
#include <QStandardPaths>

#include <dbus/dbus.h>
#include <gtest/gtest.h>
#include <sys/resource.h>
#include <unistd.h>

#include <atomic>
#include <cstring>
#include <string>
#include <thread>

namespace {

using namespace quindle;

constexpr const char* kService = "org.freedesktop.RealtimeKit1";

// A bus of its own (its address as the system bus's) with a stand-in RealtimeKit that grants at
// most priority 5 and 200 ms of real-time running. It records MakeThreadRealtime with this
// process's RLIMIT_RTTIME at that moment, refuses it, does not answer, or is absent.
class StandIn {
public:
    enum Answer { Grant, Refuse, Silent, Absent };
    explicit StandIn(Answer answer) : m_answer(answer)
    {
        m_daemon.start("dbus-daemon", {"--session", "--nofork", "--print-address=1"});
        m_daemon.waitForReadyRead(10'000);
        const QByteArray address = m_daemon.readLine().trimmed();
        qputenv("DBUS_SYSTEM_BUS_ADDRESS", address);
        if (m_answer == Absent || address.isEmpty())
            return;
        m_bus = dbus_connection_open_private(address.constData(), nullptr);
        if (m_bus && dbus_bus_register(m_bus, nullptr))
            dbus_bus_request_name(m_bus, kService, 0, nullptr);
        m_serving = std::thread([this] {
            while (!m_stop && dbus_connection_read_write(m_bus, 20)) {
                while (DBusMessage* call = dbus_connection_pop_message(m_bus)) {
                    respond(call);
                    dbus_message_unref(call);
                }
            }
        });
    }
    ~StandIn()
    {
        m_stop = true;
        if (m_serving.joinable())
            m_serving.join();
        if (m_bus) {
            dbus_connection_close(m_bus);
            dbus_connection_unref(m_bus);
        }
        m_daemon.kill();
        m_daemon.waitForFinished();
        qunsetenv("DBUS_SYSTEM_BUS_ADDRESS");
    }
    std::atomic<uint64_t> tid{0};
    std::atomic<uint32_t> priority{0};
    std::atomic<rlim_t> rtTimeSoft{0}, rtTimeHard{0};

private:
    void respond(DBusMessage* call)
    {
        DBusMessage* reply = nullptr;
        const char* interface = nullptr;
        const char* property = nullptr;
        if (dbus_message_get_args(call, nullptr, DBUS_TYPE_STRING, &interface, DBUS_TYPE_STRING, &property,
                                  DBUS_TYPE_INVALID)) {
            reply = dbus_message_new_method_return(call);
            DBusMessageIter args, value;
            const bool max = std::strcmp(property, "MaxRealtimePriority") == 0;
            const dbus_int32_t maxPriority = 5;
            const dbus_int64_t maxRunUs = 200'000;
            dbus_message_iter_init_append(reply, &args);
            dbus_message_iter_open_container(&args, DBUS_TYPE_VARIANT, max ? "i" : "x", &value);
            dbus_message_iter_append_basic(&value, max ? DBUS_TYPE_INT32 : DBUS_TYPE_INT64,
                                           max ? static_cast<const void*>(&maxPriority) : &maxRunUs);
            dbus_message_iter_close_container(&args, &value);
        } else if (dbus_message_is_method_call(call, kService, "MakeThreadRealtime") && m_answer != Silent) {
            dbus_uint64_t thread = 0;
            dbus_uint32_t level = 0;
            dbus_message_get_args(call, nullptr, DBUS_TYPE_UINT64, &thread, DBUS_TYPE_UINT32, &level,
                                  DBUS_TYPE_INVALID);
            rlimit limit{};
            getrlimit(RLIMIT_RTTIME, &limit);
            tid = thread, priority = level, rtTimeSoft = limit.rlim_cur, rtTimeHard = limit.rlim_max;
            reply = m_answer == Refuse
                        ? dbus_message_new_error(call, DBUS_ERROR_ACCESS_DENIED, "refused by the stand-in")
                        : dbus_message_new_method_return(call);
        }
        if (reply) {
            dbus_connection_send(m_bus, reply, nullptr);
            dbus_message_unref(reply);
        }
    }

    Answer m_answer;
    QProcess m_daemon;
    DBusConnection* m_bus = nullptr;
    std::atomic<bool> m_stop{false};
    std::thread m_serving;
};

TEST(RealtimePriority, AsksRealtimeKitForTheThreadWithinItsLimitsOrSaysWhyNot)
{
    if (QStandardPaths::findExecutable("dbus-daemon").isEmpty())
        GTEST_SKIP() << "no dbus-daemon";
    const struct {
        StandIn::Answer answer;
        const char* text; // what the grant says, or the reason's start
    } rows[] = {
        {StandIn::Grant, "SCHED_RR 5 via RealtimeKit"},
        {StandIn::Refuse, "normal (RealtimeKit: refused by the stand-in)"},
        {StandIn::Silent, "normal (RealtimeKit: Did not receive a reply"},
        {StandIn::Absent, "normal (RealtimeKit: The name org.freedesktop.RealtimeKit1 was not provided"},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.text);
        StandIn standIn(row.answer);
        const RealtimeGrant grant = makeRealtimeViaRealtimeKit(gettid(), 10, 200);
        EXPECT_EQ(grant.text().rfind(row.text, 0), 0u) << grant.text();
        if (row.answer == StandIn::Grant || row.answer == StandIn::Refuse) {
            EXPECT_EQ(standIn.tid, uint64_t(gettid()));
            EXPECT_EQ(standIn.priority, 5u);
            EXPECT_LE(standIn.rtTimeSoft, 200'000u);
            EXPECT_LE(standIn.rtTimeHard, 200'000u);
        }
    }
    qputenv("DBUS_SYSTEM_BUS_ADDRESS", "unix:path=/nonexistent/bus");
    EXPECT_EQ(
        makeRealtimeViaRealtimeKit(gettid(), 10, 200).text().rfind("normal (RealtimeKit: no system bus: ", 0),
        0u);
    qunsetenv("DBUS_SYSTEM_BUS_ADDRESS");
}

} // namespace

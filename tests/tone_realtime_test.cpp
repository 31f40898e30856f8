// Real-time priority through RealtimeKit, asked of a stand-in on a private bus.
#include "tone/AlsaStream.h"
#include "tone/RealtimePriority.h"

#include <QFile>
#include <QProcess>
#include <QStandardPaths>
#include <QTemporaryDir>
#include <QThread>

#include <gtest/gtest.h>

#include <linux/capability.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <sys/syscall.h>
#include <sys/un.h>
#include <unistd.h>

#include <condition_variable>
#include <cstring>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

namespace {

using namespace quindle;

// A stand-in RealtimeKit that grants at most priority 5 and argv[3] us (200 ms when not given) of
// real-time running. It prints each MakeThreadRealtime (the thread, the priority) with the test's
// RLIMIT_RTTIME at that moment, then grants it, refuses it or never answers (argv[1]: grant,
// refuse, silent).
constexpr const char* kStandIn = R"(
import dbus, dbus.service, dbus.mainloop.glib, resource, sys
from gi.repository import GLib
class RealtimeKit(dbus.service.Object):
    @dbus.service.method(dbus.PROPERTIES_IFACE, in_signature="ss", out_signature="v")
    def Get(self, interface, name):
        return dbus.Int32(5) if name == "MaxRealtimePriority" else dbus.Int64(int(sys.argv[3]) if len(sys.argv) > 3 else 200000)
    @dbus.service.method("org.freedesktop.RealtimeKit1", in_signature="tu", async_callbacks=("ok", "fail"))
    def MakeThreadRealtime(self, thread, priority, ok, fail):
        print(thread, priority, *resource.prlimit(int(sys.argv[2]), resource.RLIMIT_RTTIME), flush=True)
        if sys.argv[1] == "grant":
            ok()
        elif sys.argv[1] == "refuse":
            fail(dbus.exceptions.DBusException("refused by the stand-in", name="org.freedesktop.DBus.Error.AccessDenied"))
dbus.mainloop.glib.DBusGMainLoop(set_as_default=True)
RealtimeKit(dbus.service.BusName("org.freedesktop.RealtimeKit1", dbus.SystemBus()), "/org/freedesktop/RealtimeKit1")
print("ready", flush=True)
GLib.MainLoop().run()
)";

QByteArray readLine(QProcess& process)
{
    while (!process.canReadLine() && process.waitForReadyRead(10'000)) {
    }
    return process.readLine().trimmed();
}

// The system bus of one case, named by DBUS_SYSTEM_BUS_ADDRESS until the case ends: a dbus-daemon
// with the stand-in on it answering as told (none when answer is empty), a bus that takes every
// connection and never says a word (a listening socket that nothing reads), or none at all.
enum class Bus { Daemon, Mute, None };
class SystemBus {
public:
    SystemBus(Bus bus, const char* answer, const char* runLimitUs = nullptr)
    {
        QByteArray address = "unix:path=/nonexistent/bus";
        if (bus == Bus::Daemon) {
            m_daemon.start("dbus-daemon", {"--session", "--nofork", "--print-address=1"});
            address = readLine(m_daemon);
        } else if (bus == Bus::Mute) {
            m_socket = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
            sockaddr_un name{AF_UNIX, {}};
            const QByteArray path = QFile::encodeName(m_dir.filePath(QStringLiteral("bus")));
            std::memcpy(name.sun_path, path.constData(), size_t(path.size()));
            m_ready = ::bind(m_socket, reinterpret_cast<const sockaddr*>(&name), sizeof name) == 0 &&
                      ::listen(m_socket, 16) == 0;
            address = "unix:path=" + path;
        }
        qputenv("DBUS_SYSTEM_BUS_ADDRESS", address);
        if (*answer) {
            QStringList arguments{"-c", kStandIn, answer, QString::number(getpid())};
            if (runLimitUs)
                arguments << runLimitUs;
            standIn.start("/usr/bin/python3", arguments);
            m_ready = readLine(standIn) == "ready";
        }
    }
    ~SystemBus()
    {
        for (QProcess* process : {&standIn, &m_daemon}) {
            process->kill();
            process->waitForFinished();
        }
        ::close(m_socket);
        qunsetenv("DBUS_SYSTEM_BUS_ADDRESS");
    }
    bool ready() const { return m_ready; }
    QProcess standIn;

private:
    QProcess m_daemon;
    QTemporaryDir m_dir;
    int m_socket = -1;
    bool m_ready = true;
};

rlim_t realtimeRunLimit()
{
    rlimit limit{};
    ::getrlimit(RLIMIT_RTTIME, &limit);
    return limit.rlim_max;
}

TEST(RealtimePriority, AsksRealtimeKitForTheThreadWithinItsLimitsOrSaysWhyNot)
{
    if (QStandardPaths::findExecutable("dbus-daemon").isEmpty())
        GTEST_SKIP() << "no dbus-daemon";
    const struct {
        Bus bus;
        const char* answer;               // the stand-in's; empty: none on the bus
        const char* text;                 // what the grant says, or how it starts
        const char* runLimitUs = nullptr; // the stand-in's RTTimeUSecMax, when not 200 ms
    } rows[] = {
        {Bus::Daemon, "grant", "SCHED_RR 5 via RealtimeKit"},
        {Bus::Daemon, "refuse", "normal (RealtimeKit: refused by the stand-in)"},
        {Bus::Daemon, "silent", "normal (RealtimeKit: Did not receive a reply"},
        {Bus::Daemon, "", "normal (RealtimeKit: The name org.freedesktop.RealtimeKit1 was not provided"},
        {Bus::None, "", "normal (RealtimeKit: no system bus: "},
        // No end before, since libdbus's own timeout does not cover the greeting.
        {Bus::Mute, "", "normal (RealtimeKit: system bus: Did not receive a reply within 200 ms)"},
        // A broken or hostile limit is not set: -5 left 1 us, and the program killed at its first
        // busy moment.
        {Bus::Daemon, "grant", "normal (RealtimeKit: RTTimeUSecMax -5 is out of range)", "-5"},
        {Bus::Daemon, "grant", "normal (RealtimeKit: RTTimeUSecMax 9999 is out of range)", "9999"},
        {Bus::Daemon, "grant", "SCHED_RR 5 via RealtimeKit", "10000"},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(std::string(row.text) + " " + (row.runLimitUs ? row.runLimitUs : ""));
        SystemBus bus(row.bus, row.answer, row.runLimitUs);
        ASSERT_TRUE(bus.ready()) << bus.standIn.readAllStandardError().toStdString();
        const rlim_t before = realtimeRunLimit();
        // A bus that never answers ends in the timeout's text, not in a hang.
        const std::string text = makeRealtimeViaRealtimeKit(gettid(), 10, 200).text();
        EXPECT_EQ(text.rfind(row.text, 0), 0u) << text;
        if (text.rfind("SCHED_RR", 0) == 0) {
            const std::string limit = row.runLimitUs ? row.runLimitUs : "200000";
            EXPECT_EQ(readLine(bus.standIn).toStdString(),
                      std::to_string(gettid()) + " 5 " + limit + " " + limit);
        } else if (row.runLimitUs) {
            EXPECT_EQ(realtimeRunLimit(), before);
        }
    }
}

// Makes SCHED_FIFO refused to the calling thread, as it is to a user without real-time rights:
// capabilities are the thread's own, the limit the process's (given back by the destructor).
class NoRealtimeRights {
public:
    NoRealtimeRights()
    {
        ::getrlimit(RLIMIT_RTPRIO, &m_old);
        rlimit none = m_old;
        none.rlim_cur = 0;
        ::setrlimit(RLIMIT_RTPRIO, &none);
        __user_cap_header_struct header{_LINUX_CAPABILITY_VERSION_3, 0};
        __user_cap_data_struct data[2]{};
        if (::syscall(SYS_capget, &header, data) == 0) {
            data[CAP_SYS_NICE / 32].effective &= ~(1u << (CAP_SYS_NICE % 32));
            ::syscall(SYS_capset, &header, data);
        }
    }
    ~NoRealtimeRights() { ::setrlimit(RLIMIT_RTPRIO, &m_old); }

private:
    rlimit m_old{};
};

// The stream's request, made on a thread of its own as the stream's worker makes it: RealtimeKit is
// asked for that thread (not the process's first, the window's), and the request ends at once
// when its thread does, whatever the bus does, so that the program ends on time.
TEST(RealtimePriority, TheRequestAsksForItsOwnThreadAndEndsAtOnceWhateverTheBus)
{
    if (QStandardPaths::findExecutable("dbus-daemon").isEmpty())
        GTEST_SKIP() << "no dbus-daemon";
    const struct {
        Bus bus;
        const char* answer; // the stand-in's
        const char* last;   // the last report, or how it starts; null: the request ends before it
    } rows[] = {
        {Bus::Daemon, "grant", "SCHED_RR 5 via RealtimeKit"},
        {Bus::Daemon, "refuse", "normal (SCHED_FIFO refused: "},
        // Ended while it waits for an answer.
        {Bus::Daemon, "silent", nullptr},
        {Bus::Mute, "", nullptr},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.answer);
        SystemBus bus(row.bus, row.answer);
        ASSERT_TRUE(bus.ready()) << bus.standIn.readAllStandardError().toStdString();
        std::mutex mutex;
        std::condition_variable reported;
        std::vector<std::string> reports;
        pid_t worker = 0;
        std::thread([&] {
            const NoRealtimeRights refused;
            worker = gettid();
            {
                const RealtimeRequest request(10, [&](const RealtimeGrant& grant) {
                    const std::lock_guard lock(mutex);
                    reports.push_back(grant.text());
                    reported.notify_all();
                });
                std::unique_lock lock(mutex);
                reported.wait_for(
                    lock, std::chrono::milliseconds(row.last ? 10'000 : RealtimeRequest::kBusTimeoutMs / 2),
                    [&] { return reports.size() >= 2; });
            } // a destructor that waited for the bus without end would hang the test here
        }).join();
        ASSERT_GE(reports.size(), 1u);
        EXPECT_EQ(reports[0].rfind("normal (SCHED_FIFO refused: ", 0), 0u) << reports[0];
        if (row.last) {
            ASSERT_EQ(reports.size(), 2u);
            EXPECT_EQ(reports[1].rfind(row.last, 0), 0u) << reports[1];
            // Asked for the thread that made the request, not the process's first (the window's).
            EXPECT_EQ(readLine(bus.standIn).split(' ').first().toLong(), long(worker));
            EXPECT_NE(worker, ::getpid());
        }
        // Nothing is reported once the request has ended.
        QThread::msleep(RealtimeRequest::kBusTimeoutMs + 100);
        const std::lock_guard lock(mutex);
        EXPECT_EQ(reports.size(), row.last ? 2u : 1u);
    }
}

TEST(RealtimePriority, TheStreamSaysWhatItsWorkerGot)
{
    AlsaStream stream("null");
    stream.acquire(AlsaStream::kDefaultRate); // served by the worker after its request
    EXPECT_NE(stream.stats().priority, "");
}

} // namespace

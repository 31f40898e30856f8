// Real-time priority through RealtimeKit, asked of a stand-in on a private bus.
#include "tone/AlsaStream.h"
#include "tone/RealtimePriority.h"

#include <QProcess>
#include <QStandardPaths>

#include <gtest/gtest.h>
#include <unistd.h>

#include <string>

namespace {

using namespace quindle;

// A stand-in RealtimeKit that grants at most priority 5 and 200 ms of real-time running. It prints
// each MakeThreadRealtime with the test's RLIMIT_RTTIME at that moment, then grants it, refuses it
// or never answers (argv[1]: grant, refuse, silent).
constexpr const char* kStandIn = R"(
import dbus, dbus.service, dbus.mainloop.glib, resource, sys
from gi.repository import GLib
class RealtimeKit(dbus.service.Object):
    @dbus.service.method(dbus.PROPERTIES_IFACE, in_signature="ss", out_signature="v")
    def Get(self, interface, name):
        return dbus.Int32(5) if name == "MaxRealtimePriority" else dbus.Int64(200000)
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

TEST(RealtimePriority, AsksRealtimeKitForTheThreadWithinItsLimitsOrSaysWhyNot)
{
    if (QStandardPaths::findExecutable("dbus-daemon").isEmpty())
        GTEST_SKIP() << "no dbus-daemon";
    const struct {
        const char* answer; // the stand-in's; empty: none on the bus; null: no bus
        const char* text;   // what the grant says, or how it starts
    } rows[] = {
        {"grant", "SCHED_RR 5 via RealtimeKit"},
        {"refuse", "normal (RealtimeKit: refused by the stand-in)"},
        {"silent", "normal (RealtimeKit: Did not receive a reply"},
        {"", "normal (RealtimeKit: The name org.freedesktop.RealtimeKit1 was not provided"},
        {nullptr, "normal (RealtimeKit: no system bus: "},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.text);
        QProcess bus, standIn;
        bus.start("dbus-daemon", {"--session", "--nofork", "--print-address=1"});
        qputenv("DBUS_SYSTEM_BUS_ADDRESS", row.answer ? readLine(bus) : "unix:path=/nonexistent/bus");
        if (row.answer && *row.answer) {
            standIn.start("/usr/bin/python3", {"-c", kStandIn, row.answer, QString::number(getpid())});
            ASSERT_EQ(readLine(standIn), "ready") << standIn.readAllStandardError().toStdString();
        }
        const std::string text = makeRealtimeViaRealtimeKit(gettid(), 10, 200).text();
        EXPECT_EQ(text.rfind(row.text, 0), 0u) << text;
        if (standIn.state() == QProcess::Running) {
            EXPECT_EQ(readLine(standIn).toStdString(), std::to_string(gettid()) + " 5 200000 200000");
        }
        standIn.kill();
        standIn.waitForFinished();
        bus.kill();
        bus.waitForFinished();
    }
    qunsetenv("DBUS_SYSTEM_BUS_ADDRESS");
}

TEST(RealtimePriority, TheStreamSaysWhatItsWorkerGot)
{
    AlsaStream stream("null");
    stream.acquire(AlsaStream::kDefaultRate); // served by the worker after its request
    EXPECT_NE(stream.stats().priority, "");
}

} // namespace

#include "tests/support/PipeWireServer.h"

#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QFileInfo>
#include <QProcessEnvironment>
#include <QStandardPaths>
#include <QThread>

#include <algorithm>
#include <cerrno>
#include <csignal>
#include <cstdlib>
#include <cstring>

namespace quindle::test {

namespace {

constexpr int kStartTimeoutMs = 10000;

// The graph runs at the sink's rate, so the samples reach the recording unchanged; the monitors
// of sound cards, cameras and Bluetooth stay off, so that no device of the machine is taken.
constexpr const char* kConfigFiles[][2] = {
    {"pipewire/pipewire.conf.d/50-rate.conf", "context.properties = {\n"
                                              "    default.clock.rate = 22540\n"
                                              "    default.clock.allowed-rates = [ 22540 ]\n"
                                              "}\n"},
    {"wireplumber/main.lua.d/51-headless.lua",
     "alsa_monitor.enabled = false\nv4l2_monitor.enabled = false\nlibcamera_monitor.enabled = false\n"},
    {"wireplumber/bluetooth.lua.d/51-headless.lua", "bluez_monitor.enabled = false\n"},
};

const char* const kSinkProperties =
    "{ factory.name=support.null-audio-sink node.name=probe media.class=Audio/Sink object.linger=true "
    "audio.position=[MONO] audio.rate=22540 node.driver=true }";

// The private folder is the runtime folder, in memory where the machine allows, as /run/user is:
// pw-record writes the recording from its real-time thread, and a write that waits for a disk
// loses a period of samples.
// Named after the process, so that the folder of a test program that was killed, which it could not
// remove, is removed by the next one.
QString folderTemplate()
{
    const QString base = QFileInfo("/dev/shm").isWritable() ? QString("/dev/shm") : QDir::tempPath();
    const QStringList left = QDir(base).entryList({"quindle-pipewire-*-*"}, QDir::Dirs);
    for (const QString& name : left) {
        const pid_t owner = pid_t(name.section('-', 2, 2).toInt());
        if (owner > 0 && ::kill(owner, 0) != 0 && errno == ESRCH)
            QDir(base + "/" + name).removeRecursively();
    }
    return base + QString("/quindle-pipewire-%1-XXXXXX").arg(getpid());
}

const char* const kLogs[] = {"bus.log", "pipewire.log", "wireplumber.log", "pipewire-pulse.log"};

} // namespace

PipeWireServer::PipeWireServer() : m_dir(folderTemplate())
{
    for (const auto& [name, text] : kConfigFiles) {
        const QString path = m_dir.path() + "/config/" + name;
        QDir().mkpath(QFileInfo(path).path());
        QFile file(path);
        if (file.open(QIODevice::WriteOnly))
            file.write(text);
    }
}

PipeWireServer::~PipeWireServer()
{
    endProcess(m_recorder, SIGINT);
    kill();
    endProcess(m_bus, SIGKILL);
}

bool PipeWireServer::installed()
{
    for (const char* program : {"dbus-daemon", "pipewire", "wireplumber", "pipewire-pulse", "pw-cli",
                                "pw-metadata", "pw-link", "pw-record", "stdbuf"}) {
        if (QStandardPaths::findExecutable(program).isEmpty())
            return false;
    }
    return true;
}

void PipeWireServer::exportToEnvironment() const
{
    setenv("PULSE_SERVER", ("unix:" + m_dir.path() + "/pulse/native").toLocal8Bit().constData(), 1);
}

std::unique_ptr<QProcess> PipeWireServer::launch(const QString& program, const QStringList& arguments,
                                                 const QString& log) const
{
    const QString dir = m_dir.path();
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    // Everything stays in the private folder, which is the runtime folder the clients look in.
    for (const char* name : {"PULSE_SERVER", "PIPEWIRE_REMOTE", "PIPEWIRE_RUNTIME_DIR", "PIPEWIRE_CONFIG_DIR",
                             "DISPLAY", "WAYLAND_DISPLAY"})
        env.remove(name);
    env.insert("HOME", dir);
    env.insert("XDG_RUNTIME_DIR", dir);
    env.insert("XDG_CONFIG_HOME", dir + "/config");
    env.insert("XDG_STATE_HOME", dir + "/state");
    env.insert("DBUS_SESSION_BUS_ADDRESS", "unix:path=" + dir + "/bus");
    auto process = std::make_unique<QProcess>();
    prepareChild(*process);
    process->setProcessEnvironment(env);
    if (!log.isEmpty()) {
        process->setProcessChannelMode(QProcess::MergedChannels);
        process->setStandardOutputFile(dir + "/" + log, QIODevice::Append);
    }
    process->start(program, arguments);
    process->waitForStarted(kStartTimeoutMs);
    return process;
}

bool PipeWireServer::query(const QString& program, const QStringList& arguments, int timeoutMs,
                           QByteArray* output) const
{
    std::unique_ptr<QProcess> process = launch(program, arguments, {});
    const bool ok = process->waitForFinished(timeoutMs) && process->exitStatus() == QProcess::NormalExit &&
                    process->exitCode() == 0;
    if (output)
        *output = process->readAllStandardOutput();
    endProcess(process, SIGKILL);
    return ok;
}

QString PipeWireServer::logTail() const
{
    QString tail;
    for (const char* name : kLogs) {
        QFile log(m_dir.path() + "/" + name);
        if (log.open(QIODevice::ReadOnly) && log.size() > 0)
            tail += QString("\n%1: %2").arg(name, QString::fromLocal8Bit(log.readAll()).right(400));
    }
    return tail;
}

bool PipeWireServer::running() const
{
    for (const auto* p : {&m_bus, &m_pipewire, &m_sessionManager, &m_pulse}) {
        if (!*p || (*p)->state() != QProcess::Running)
            return false;
    }
    return true;
}

bool PipeWireServer::start(QString* error)
{
    QElapsedTimer elapsed;
    elapsed.start();
    const auto left = [&] { return int(std::max<qint64>(0, kStartTimeoutMs - elapsed.elapsed())); };
    const auto failed = [&](const QString& why) {
        if (error)
            *error = why + logTail();
        kill();
        return false;
    };
    // Polls ready() until it holds; false when time runs out or a process of the server ended.
    const auto waitUntil = [&](const auto& ready) {
        while (!ready()) {
            for (const auto* p : {&m_bus, &m_pipewire, &m_sessionManager, &m_pulse}) {
                if (*p && (*p)->state() != QProcess::Running)
                    return false;
            }
            if (left() == 0)
                return false;
            QThread::msleep(20);
        }
        return true;
    };
    if (!m_dir.isValid())
        return failed("no temporary folder");
    kill();
    const QString dir = m_dir.path();
    if (!m_bus || m_bus->state() != QProcess::Running) {
        QFile::remove(dir + "/bus");
        m_bus = launch("dbus-daemon",
                       {"--session", "--nofork", "--nopidfile", "--address=unix:path=" + dir + "/bus"},
                       "bus.log");
        if (!waitUntil([&] { return socketAccepts(dir + "/bus"); }))
            return failed("dbus-daemon did not come up");
    }
    // The sockets of a killed server are left behind; the new one makes its own.
    for (const char* stale : {"/pipewire-0", "/pipewire-0.lock", "/pulse/native", "/pulse/pid"})
        QFile::remove(dir + stale);
    m_pipewire = launch("pipewire", {}, "pipewire.log");
    if (!waitUntil([&] { return socketAccepts(dir + "/pipewire-0"); }))
        return failed("pipewire did not come up");
    m_sessionManager = launch("wireplumber", {}, "wireplumber.log");
    m_pulse = launch("pipewire-pulse", {}, "pipewire-pulse.log");
    if (!waitUntil([&] { return socketAccepts(dir + "/pulse/native"); }))
        return failed("pipewire-pulse did not come up");
    if (!query("pw-cli", {"create-node", "adapter", kSinkProperties}, left()))
        return failed("pw-cli did not create the sink");
    // Streams of pipewire-pulse go to the default sink: ready once the session manager made the
    // probe that.
    const bool isDefault = waitUntil([&] {
        QByteArray said;
        query("pw-metadata", {"-n", "default"}, std::min(left(), 2000), &said);
        return said.contains("key:'default.audio.sink' value:'{\"name\":\"probe\"}'");
    });
    if (!isDefault)
        return failed("the sink did not become the default one");
    for (const auto* p : {&m_pipewire, &m_pulse})
        keepRealtime(**p);
    return true;
}

void PipeWireServer::kill()
{
    endProcess(m_recorder, SIGKILL);
    endProcess(m_pulse, SIGKILL);
    endProcess(m_sessionManager, SIGKILL);
    endProcess(m_pipewire, SIGKILL);
}

bool PipeWireServer::startRecording(QString* error)
{
    endProcess(m_recorder, SIGINT);
    const QString file = m_dir.path() + "/record.wav";
    QFile::remove(file);
    // stdbuf: pw-record -v says on its standard output, line by line, when its stream runs.
    m_recorder = launch("stdbuf",
                        {"-oL", "pw-record", "-v", "-P", "{ stream.capture.sink=true }", "--target", "probe",
                         "--rate", "22540", "--channels", "1", "--format", "s16", file},
                        {});
    QElapsedTimer elapsed;
    elapsed.start();
    const auto failed = [&](const QString& why) {
        if (error)
            *error = why;
        endProcess(m_recorder, SIGKILL);
        return false;
    };
    QByteArray said;
    while (!said.contains("-> streaming")) {
        if (m_recorder->state() != QProcess::Running || elapsed.elapsed() > kStartTimeoutMs)
            return failed("pw-record did not start recording: " + QString::fromLocal8Bit(said).right(600));
        m_recorder->waitForReadyRead(50);
        said += m_recorder->readAllStandardOutput();
    }
    // Its stream runs on a driver even before it is linked: ready once it takes the sink's output.
    for (QByteArray links; !links.contains("|-> pw-record:input_MONO");) {
        if (m_recorder->state() != QProcess::Running || elapsed.elapsed() > kStartTimeoutMs)
            return failed("pw-record was not linked to the sink: " +
                          QString::fromLocal8Bit(links).right(600));
        query("pw-link", {"-l"}, 2000, &links);
    }
    return true;
}

std::vector<int16_t> PipeWireServer::stopRecording()
{
    endProcess(m_recorder, SIGINT);
    QFile file(m_dir.path() + "/record.wav");
    std::vector<int16_t> samples;
    if (!file.open(QIODevice::ReadOnly))
        return samples;
    // The samples are the WAV file's "data" chunk; its size is taken from the file when the
    // header was not completed.
    const QByteArray bytes = file.readAll();
    for (qsizetype pos = 12; pos + 8 <= bytes.size();) {
        uint32_t size = 0;
        std::memcpy(&size, bytes.constData() + pos + 4, 4);
        const qsizetype begin = pos + 8;
        if (bytes.mid(pos, 4) == "data") {
            const qsizetype length =
                size == 0 ? bytes.size() - begin : std::min<qsizetype>(size, bytes.size() - begin);
            samples.resize(size_t(length) / 2);
            std::memcpy(samples.data(), bytes.constData() + begin, samples.size() * 2);
            break;
        }
        pos = begin + qsizetype(size) + (size & 1);
    }
    return samples;
}

} // namespace quindle::test

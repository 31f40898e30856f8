#include "tests/support/PulseServer.h"

#include <QFile>
#include <QProcessEnvironment>
#include <QStandardPaths>

#include <csignal>
#include <cstdlib>
#include <cstring>

namespace quindle::test {

namespace {

constexpr int kStartTimeoutMs = 10000;

QProcessEnvironment clientEnvironment(const QString& dir, const QString& server)
{
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    // The server refuses to share a runtime folder with another one, and as root it wants its
    // own home; everything stays inside the temporary folder.
    env.insert("HOME", dir);
    env.insert("XDG_RUNTIME_DIR", dir);
    env.insert("XDG_CONFIG_HOME", dir + "/config");
    env.insert("PULSE_RUNTIME_PATH", dir + "/runtime");
    env.insert("PULSE_STATE_PATH", dir + "/state");
    env.insert("PULSE_SERVER", server);
    return env;
}

} // namespace

PulseServer::PulseServer() = default;

PulseServer::~PulseServer()
{
    endProcess(m_recorder, SIGINT);
    endProcess(m_server, SIGKILL);
}

bool PulseServer::installed()
{
    return !QStandardPaths::findExecutable("pulseaudio").isEmpty() &&
           !QStandardPaths::findExecutable("parec").isEmpty();
}

QString PulseServer::server() const
{
    return "unix:" + m_dir.path() + "/pulse.sock";
}

void PulseServer::exportToEnvironment() const
{
    setenv("PULSE_SERVER", server().toLocal8Bit().constData(), 1);
}

bool PulseServer::running() const
{
    return m_server && m_server->state() == QProcess::Running;
}

bool PulseServer::start(QString* error)
{
    const auto failed = [&](const QString& why) {
        if (error)
            *error = why;
        endProcess(m_server, SIGKILL);
        return false;
    };
    if (!m_dir.isValid())
        return failed("no temporary folder");
    endProcess(m_server, SIGKILL);
    const QString socket = m_dir.path() + "/pulse.sock";
    QFile::remove(socket);
    m_server = std::make_unique<QProcess>();
    prepareChild(*m_server);
    m_server->setProcessEnvironment(clientEnvironment(m_dir.path(), server()));
    m_server->setProcessChannelMode(QProcess::MergedChannels);
    m_server->setStandardOutputFile(m_dir.path() + "/server.log", QIODevice::Append);
    m_server->start("pulseaudio",
                    {"-n", "--daemonize=no", "--system=false", "--exit-idle-time=-1", "--use-pid-file=no",
                     "--enable-memfd=no", "--realtime=yes", "--high-priority=yes", "--log-target=stderr",
                     "--load=module-null-sink sink_name=q rate=22540 channels=1 format=s16le norewinds=1",
                     "--load=module-native-protocol-unix socket=" + socket + " auth-anonymous=1"});
    if (!m_server->waitForStarted(kStartTimeoutMs))
        return failed("pulseaudio did not start: " + m_server->errorString());
    // Ready once the socket takes connections; the server's exit or the timeout ends the wait.
    for (int waited = 0; waited < kStartTimeoutMs; waited += 20) {
        if (socketAccepts(socket)) {
            keepRealtime(*m_server);
            return true;
        }
        if (m_server->waitForFinished(20))
            break;
    }
    QFile log(m_dir.path() + "/server.log");
    log.open(QIODevice::ReadOnly);
    return failed("pulseaudio did not come up: " + QString::fromLocal8Bit(log.readAll()).right(600));
}

void PulseServer::kill()
{
    endProcess(m_recorder, SIGKILL);
    endProcess(m_server, SIGKILL);
}

void PulseServer::freeze(bool frozen)
{
    if (running())
        ::kill(pid_t(m_server->processId()), frozen ? SIGSTOP : SIGCONT);
}

bool PulseServer::startRecording(QString* error)
{
    endProcess(m_recorder, SIGINT);
    const QString file = m_dir.path() + "/record.raw";
    QFile::remove(file);
    m_recorder = std::make_unique<QProcess>();
    prepareChild(*m_recorder);
    m_recorder->setProcessEnvironment(clientEnvironment(m_dir.path(), server()));
    m_recorder->setStandardOutputFile(file);
    m_recorder->setReadChannel(QProcess::StandardError);
    m_recorder->start("parec", {"-v", "-d", "q.monitor", "--format=s16le", "--rate=22540", "--channels=1",
                                "--latency-msec=10", "--raw"});
    if (!m_recorder->waitForStarted(kStartTimeoutMs)) {
        if (error)
            *error = "parec did not start";
        return false;
    }
    // parec -v says when its stream runs; from then on everything the sink plays is recorded.
    QByteArray said;
    while (!said.contains("Stream successfully created")) {
        if (!m_recorder->waitForReadyRead(kStartTimeoutMs)) {
            if (error)
                *error = "parec did not connect: " + QString::fromLocal8Bit(said);
            endProcess(m_recorder, SIGKILL);
            return false;
        }
        said += m_recorder->readAllStandardError();
    }
    return true;
}

std::vector<int16_t> PulseServer::stopRecording()
{
    endProcess(m_recorder, SIGINT);
    QFile file(m_dir.path() + "/record.raw");
    std::vector<int16_t> samples;
    if (!file.open(QIODevice::ReadOnly))
        return samples;
    const QByteArray bytes = file.readAll();
    samples.resize(size_t(bytes.size()) / 2);
    std::memcpy(samples.data(), bytes.constData(), samples.size() * 2);
    return samples;
}

} // namespace quindle::test

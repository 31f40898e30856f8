#pragma once

// A private sound server with one null sink at kRate frames/s (mono, s16) that the ALSA device
// "default" of this process reaches once exportToEnvironment() ran, for tests of the ALSA
// back-end; what the sink plays is recorded. Every process is started and ended by its PID and
// dies with the thread that started it, even when the test program crashes.

#include <QDir>
#include <QProcess>
#include <QString>

#include <csignal>
#include <cstdint>
#include <cstring>
#include <memory>
#include <sched.h>
#include <sys/prctl.h>
#include <sys/socket.h>
#include <sys/types.h>
#include <sys/un.h>
#include <unistd.h>
#include <vector>

namespace quindle::test {

class SoundServer {
public:
    static constexpr unsigned kRate = 22540; // [frames/s]

    virtual ~SoundServer() = default;

    virtual QString name() const = 0;
    // Whether the server's programs are installed (scripts/install-deps.sh installs them).
    bool installed() const { return programsInstalled(); }

    // Starts the server (again, on the same socket, after kill()) and waits until clients can
    // play on the sink. False with a reason when it does not come up in time.
    virtual bool start(QString* error = nullptr) = 0;
    // Ends the server at once (SIGKILL), as a crash would; the recording ends with it.
    virtual void kill() = 0;
    virtual bool running() const = 0;
    // Points this process's ALSA "default" at the server; call before ALSA reads its
    // configuration.
    virtual void exportToEnvironment() const = 0;

    // Records the sink from now on, until stopRecording(), which returns the samples at kRate.
    virtual bool startRecording(QString* error = nullptr) = 0;
    virtual std::vector<int16_t> stopRecording() = 0;

protected:
    virtual bool programsInstalled() const = 0;

    // Makes the process receive SIGKILL when the calling thread ends, and run at a low real-time
    // priority where the system grants it (the threads it makes inherit it): a server starved by a
    // busy machine loses periods of what it plays or records, which would be counted against the
    // program. Set before start().
    static void prepareChild(QProcess& process);
    // The same priority for every thread of a running process: a server sets its own, and takes
    // its clients' samples on a thread it leaves to the ordinary scheduler.
    static void keepRealtime(const QProcess& process);
    // Sends signal, then SIGKILL when the process has not ended within 5 s.
    static void endProcess(std::unique_ptr<QProcess>& process, int signal);
    static bool socketAccepts(const QString& path);
};

// Defined here, so that a program that links one server's source alone needs nothing more.
inline void SoundServer::prepareChild(QProcess& process)
{
    const pid_t parent = getpid();
    process.setChildProcessModifier([parent] {
        // The parent may have gone between the fork and the prctl.
        if (prctl(PR_SET_PDEATHSIG, SIGKILL) != 0 || getppid() != parent)
            _exit(127);
        sched_param param{};
        param.sched_priority = 5;
        sched_setscheduler(0, SCHED_RR, &param);
    });
}

inline void SoundServer::keepRealtime(const QProcess& process)
{
    const QDir tasks(QString("/proc/%1/task").arg(process.processId()));
    for (const QString& tid : tasks.entryList(QDir::Dirs | QDir::NoDotAndDotDot)) {
        sched_param param{};
        param.sched_priority = 5;
        if (sched_getscheduler(pid_t(tid.toInt())) == SCHED_OTHER)
            sched_setscheduler(pid_t(tid.toInt()), SCHED_RR, &param);
    }
}

inline void SoundServer::endProcess(std::unique_ptr<QProcess>& process, int signal)
{
    if (!process)
        return;
    if (process->state() != QProcess::NotRunning) {
        ::kill(pid_t(process->processId()), signal);
        if (!process->waitForFinished(5000)) {
            ::kill(pid_t(process->processId()), SIGKILL);
            process->waitForFinished(5000);
        }
    }
    process.reset();
}

inline bool SoundServer::socketAccepts(const QString& path)
{
    const int fd = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd < 0)
        return false;
    sockaddr_un addr{};
    addr.sun_family = AF_UNIX;
    const QByteArray p = path.toLocal8Bit();
    std::strncpy(addr.sun_path, p.constData(), sizeof addr.sun_path - 1);
    const bool ok = ::connect(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr) == 0;
    close(fd);
    return ok;
}

} // namespace quindle::test

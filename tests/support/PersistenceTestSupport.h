#pragma once

#include <QByteArray>
#include <QFile>
#include <QString>

#include <gtest/gtest.h>

#include <csignal>
#include <functional>
#include <ostream>
#include <string>

#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

// GoogleTest shows a QString as its text, not as an array of 2-byte objects.
inline void PrintTo(const QString& text, std::ostream* os)
{
    *os << '"' << text.toStdString() << '"';
}

namespace quindle::test {

// The bytes of a file, or "<missing>" when it cannot be read.
inline QByteArray readFileBytes(const QString& path)
{
    QFile file(path);
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray("<missing>");
}

// Writes bytes to a file, replacing it; false when that failed.
inline bool writeFileBytes(const QString& path, const QByteArray& bytes)
{
    QFile file(path);
    return file.open(QIODevice::WriteOnly) && file.write(bytes) == bytes.size();
}

// The same, as the tests call them: a write that cannot be made fails the test.
inline QByteArray readAll(const QString& path)
{
    return readFileBytes(path);
}

inline void writeAll(const QString& path, const QByteArray& bytes)
{
    ASSERT_TRUE(writeFileBytes(path, bytes)) << path.toStdString();
}

// Lowers the largest file this process may write, so that a write fails part way also for root.
class FileSizeLimit {
public:
    explicit FileSizeLimit(rlim_t bytes)
    {
        m_oldHandler = std::signal(SIGXFSZ, SIG_IGN);
        ::getrlimit(RLIMIT_FSIZE, &m_old);
        rlimit limit = m_old;
        limit.rlim_cur = bytes;
        ::setrlimit(RLIMIT_FSIZE, &limit);
    }
    ~FileSizeLimit()
    {
        ::setrlimit(RLIMIT_FSIZE, &m_old);
        std::signal(SIGXFSZ, m_oldHandler);
    }

private:
    rlimit m_old{};
    void (*m_oldHandler)(int) = nullptr;
};

// Runs check where file permissions apply: directly, or, when the tests run as root, in a child
// process that has become the unprivileged user "nobody" (65534). check makes its own files (in a
// QTemporaryDir, removed before it returns) and returns "" on success, else what went wrong.
inline std::string withoutRoot(const std::function<std::string()>& check)
{
    if (::geteuid() != 0)
        return check();
    int fds[2];
    if (::pipe(fds) != 0)
        return "pipe failed";
    const pid_t pid = ::fork();
    if (pid < 0)
        return "fork failed";
    if (pid == 0) {
        ::close(fds[0]);
        std::string message = (::setgid(65534) == 0 && ::setuid(65534) == 0) ? check() : "cannot leave root";
        if (message.empty())
            message = "ok";
        const ssize_t written = ::write(fds[1], message.data(), message.size());
        ::_exit(written == ssize_t(message.size()) ? 0 : 1);
    }
    ::close(fds[1]);
    std::string message;
    char buffer[256];
    for (ssize_t got; (got = ::read(fds[0], buffer, sizeof buffer)) > 0;)
        message.append(buffer, size_t(got));
    ::close(fds[0]);
    int status = 0;
    ::waitpid(pid, &status, 0);
    if (message == "ok" && WIFEXITED(status) && WEXITSTATUS(status) == 0)
        return {};
    return message.empty() ? "the unprivileged check died" : message;
}

} // namespace quindle::test

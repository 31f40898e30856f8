#include "persistence/TextFile.h"

#include "persistence/Cp1252.h"

#include <QFile>
#include <QFileInfo>
#include <QSaveFile>

#include <cerrno>
#include <cstring>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace quindle {

namespace {

QString systemErrorText(int error)
{
    return QString::fromLocal8Bit(std::strerror(error));
}

QString fullPath(const QString& path)
{
    return QFileInfo(path).absoluteFilePath();
}

QString cannotOpen(const QString& path, int error)
{
    return QStringLiteral("Cannot open file \"%1\". %2").arg(fullPath(path), systemErrorText(error));
}

QString capacityExceeded()
{
    return QStringLiteral("Text exceeds memo capacity");
}

class FileDescriptor {
public:
    explicit FileDescriptor(int fd) : m_fd(fd) {}
    ~FileDescriptor()
    {
        if (m_fd >= 0)
            ::close(m_fd);
    }
    FileDescriptor(const FileDescriptor&) = delete;
    FileDescriptor& operator=(const FileDescriptor&) = delete;
    int get() const { return m_fd; }

private:
    int m_fd;
};

// Decodes Windows-1252 bytes with every line break as CR LF; false when the result would exceed
// the memo's capacity.
bool decodeLines(const QByteArray& bytes, QString& text)
{
    const char* p = bytes.constData();
    const qsizetype n = bytes.size();
    // A lone CR or LF grows by one character.
    qsizetype length = n;
    for (qsizetype i = 0; i < n; ++i) {
        if (p[i] == '\r' && i + 1 < n && p[i + 1] == '\n')
            ++i;
        else if (p[i] == '\r' || p[i] == '\n')
            ++length;
    }
    if (length > kMemoCapacity)
        return false;
    text = QString(length, Qt::Uninitialized);
    QChar* out = text.data();
    for (qsizetype i = 0; i < n; ++i) {
        const char c = p[i];
        if (c == '\r' || c == '\n') {
            *out++ = u'\r';
            *out++ = u'\n';
            if (c == '\r' && i + 1 < n && p[i + 1] == '\n')
                ++i;
        } else {
            *out++ = cp1252::toUnicode(uint8_t(c));
        }
    }
    return true;
}

// The line (1-based) that holds text[index]; CR LF, lone CR and lone LF each end a line.
qsizetype lineOf(const QString& text, qsizetype index)
{
    qsizetype line = 1;
    for (qsizetype i = 0; i < index; ++i) {
        if (text[i] == u'\n' || (text[i] == u'\r' && (i + 1 >= text.size() || text[i + 1] != u'\n')))
            ++line;
    }
    return line;
}

QString unstorableCharacter(const QString& text, qsizetype index)
{
    QString shown = text.mid(index, 1);
    char32_t code = text[index].unicode();
    if (text[index].isHighSurrogate() && index + 1 < text.size() && text[index + 1].isLowSurrogate()) {
        shown = text.mid(index, 2);
        code = QChar::surrogateToUcs4(text[index], text[index + 1]);
    }
    const QString hex = QString::number(uint(code), 16).toUpper().rightJustified(4, u'0');
    return QStringLiteral("Cannot save: the character \"%1\" (U+%2) in line %3 cannot be stored in a "
                          "Windows-1252 text file")
        .arg(shown, hex, QString::number(lineOf(text, index)));
}

} // namespace

FileResult writeFileAtomically(const QString& path, const QByteArray& bytes)
{
    FileResult result;
    QSaveFile file(path);
    if (!file.open(QIODevice::WriteOnly)) {
        // QSaveFile words this one case its own way; its other open errors are the system's texts.
        result.systemError = QFileInfo(path).isDir() ? systemErrorText(EISDIR) : file.errorString();
        return result;
    }
    // Written and synced through the descriptor, so that a failure (a full disk, a size limit)
    // is reported with the system's own description, which QSaveFile does not keep.
    const int fd = file.handle();
    const char* data = bytes.constData();
    qsizetype left = bytes.size();
    while (left > 0) {
        const ssize_t written = ::write(fd, data, size_t(left));
        if (written < 0 && errno == EINTR)
            continue;
        if (written <= 0) {
            result.systemError = systemErrorText(written < 0 ? errno : ENOSPC);
            file.cancelWriting();
            return result;
        }
        data += written;
        left -= written;
    }
    if (::fsync(fd) != 0 && errno != EINVAL) {
        result.systemError = systemErrorText(errno);
        file.cancelWriting();
        return result;
    }
    if (!file.commit()) {
        result.systemError = file.errorString();
        return result;
    }
    result.ok = true;
    return result;
}

TextLoadResult loadTextFile(const QString& path)
{
    TextLoadResult result;
    // Non-blocking, so that a named pipe without a writer reads as empty instead of hanging.
    const FileDescriptor fd(
        ::open(QFile::encodeName(path).constData(), O_RDONLY | O_CLOEXEC | O_NOCTTY | O_NONBLOCK));
    if (fd.get() < 0) {
        result.error = cannotOpen(path, errno);
        return result;
    }
    struct stat info {};
    if (::fstat(fd.get(), &info) != 0) {
        result.error = cannotOpen(path, errno);
        return result;
    }
    if (S_ISDIR(info.st_mode)) {
        result.error = cannotOpen(path, EISDIR);
        return result;
    }
    if (S_ISREG(info.st_mode) && info.st_size > kMemoCapacity) {
        result.error = capacityExceeded();
        return result;
    }

    // Devices and pipes have no size: reading stops one byte past the capacity.
    QByteArray bytes;
    bytes.reserve(S_ISREG(info.st_mode) ? qsizetype(info.st_size) + 1 : 0);
    constexpr qsizetype chunk = 1 << 20;
    for (;;) {
        const qsizetype want = std::min(chunk, kMemoCapacity + 1 - bytes.size());
        if (want <= 0)
            break;
        const qsizetype old = bytes.size();
        bytes.resize(old + want);
        const ssize_t got = ::read(fd.get(), bytes.data() + old, size_t(want));
        if (got < 0) {
            const int error = errno;
            bytes.resize(old);
            if (error == EINTR)
                continue;
            if (error == EAGAIN)
                break;
            result.error = cannotOpen(path, error);
            return result;
        }
        bytes.resize(old + got);
        if (got == 0)
            break;
    }
    if (bytes.size() > kMemoCapacity || !decodeLines(bytes, result.text)) {
        result.text.clear();
        result.error = capacityExceeded();
        return result;
    }
    result.ok = true;
    return result;
}

TextSaveResult saveTextFile(const QString& path, const QString& text)
{
    TextSaveResult result;
    qsizetype bad = -1;
    const QByteArray bytes = cp1252::encode(text, &bad);
    if (bad >= 0) {
        result.error = unstorableCharacter(text, bad);
        return result;
    }
    const FileResult written = writeFileAtomically(path, bytes);
    if (!written.ok) {
        result.error =
            QStringLiteral("Cannot create file \"%1\". %2").arg(fullPath(path), written.systemError);
        return result;
    }
    result.ok = true;
    return result;
}

} // namespace quindle

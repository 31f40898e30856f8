#include "persistence/TextFile.h"

#include "persistence/Cp1252.h"
#include "persistence/FileCalls.h"

#include <QFile>
#include <QFileInfo>
#include <QRandomGenerator>
#include <QStringDecoder>

#include <algorithm>
#include <cerrno>
#include <cstring>

#include <fcntl.h>
#include <sys/stat.h>
#include <sys/xattr.h>
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

const QByteArray kUtf8Mark = QByteArrayLiteral("\xEF\xBB\xBF");

QString notRegularReason()
{
    return QStringLiteral("Not a regular file");
}

QString notRegular(const QString& path)
{
    return QStringLiteral("Cannot open file \"%1\". %2").arg(fullPath(path), notRegularReason());
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

// Writes bytes to fd from offset on; the errno of a failure, or 0.
int writeWhole(int fd, QByteArrayView bytes, off_t offset = 0)
{
    const char* data = bytes.data();
    qsizetype left = bytes.size();
    while (left > 0) {
        const ssize_t written = fileCalls().pwrite(fd, data, size_t(left), offset);
        if (written < 0 && errno == EINTR)
            continue;
        if (written <= 0)
            return written < 0 ? errno : ENOSPC;
        data += written;
        left -= written;
        offset += written;
    }
    return 0;
}

// Syncs fd; the errno of a failure, or 0. A file that cannot be synced (EINVAL) needs no sync.
int sync(int fd)
{
    return fileCalls().fsync(fd) != 0 && errno != EINVAL ? errno : 0;
}

// The folder of a file's path, as a path that names it ("." for a bare name).
QByteArray folderOf(const QByteArray& path)
{
    const qsizetype slash = path.lastIndexOf('/');
    return slash < 0 ? QByteArray(".") : path.left(slash + 1) + '.';
}

// Whether a new file can be made in the folder of path.
bool canCreateBeside(const QByteArray& path)
{
    return ::faccessat(AT_FDCWD, folderOf(path).constData(), W_OK | X_OK, AT_EACCESS) == 0;
}

// The path that the symbolic links of path's last part lead to, followed as the kernel follows
// them: a link that another user owns in a folder where anyone may make files and only their
// owners remove them (sticky and writable by all, as /tmp) is refused unless the folder is that
// user's too, so that no one can lead a save onto another's file. error is set when refused.
QByteArray followLinks(const QByteArray& path, QString& error)
{
    QByteArray current = path;
    // As many as the kernel follows.
    for (int followed = 0; followed <= 40; ++followed) {
        struct stat link {};
        if (::lstat(current.constData(), &link) != 0 || !S_ISLNK(link.st_mode))
            return current;
        if (followed == 40)
            break;
        const QByteArray folder = folderOf(current);
        struct stat shared {};
        if (::stat(folder.constData(), &shared) == 0 && (shared.st_mode & (S_ISVTX | S_IWOTH)) == (S_ISVTX | S_IWOTH) &&
            link.st_uid != ::geteuid() && link.st_uid != shared.st_uid) {
            error = QStringLiteral("It is another user's link in a shared folder (sticky and writable by all), "
                                   "which is not followed");
            return {};
        }
        QByteArray target(qsizetype(link.st_size) + 1, Qt::Uninitialized);
        for (;;) {
            const ssize_t size = ::readlink(current.constData(), target.data(), size_t(target.size()));
            if (size < 0) {
                error = systemErrorText(errno);
                return {};
            }
            if (size < target.size()) {
                target.truncate(size);
                break;
            }
            // Longer than it said (a link changed meanwhile, or one that reports no size).
            target.resize(2 * target.size() + 256);
        }
        current = target.startsWith('/') ? target : folder.chopped(1) + target;
    }
    error = systemErrorText(ELOOP);
    return {};
}

// Makes a new, empty file beside target under a name of its own, for the replacement; the
// descriptor, or -1 with errno set. Only its owner may open it, whatever the umask or the folder's
// default access list would allow, until its content is whole.
int createBeside(const QByteArray& target, QByteArray& tempName)
{
    const qsizetype slash = target.lastIndexOf('/');
    // Short enough for the longest name a folder takes, with the suffix. [bytes]
    const QByteArray base = target.mid(slash + 1).left(200);
    for (int attempt = 0; attempt < 100; ++attempt) {
        tempName = target.left(slash + 1) + '.' + base + '.' +
                   QByteArray::number(QRandomGenerator::global()->generate(), 36) + ".new";
        const int fd = ::open(tempName.constData(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC | O_NOCTTY, 0600);
        if (fd >= 0 || errno != EEXIST)
            return fd;
    }
    return -1;
}

// The mode that a file created with 0666 in the folder of target would have: the folder's default
// access list sets it where there is one, the umask otherwise.
mode_t newFileMode(const QByteArray& target)
{
    const QByteArray folder = target.left(target.lastIndexOf('/') + 1) + '.';
    uint8_t acl[4 + 8 * 32];
    const ssize_t size = ::getxattr(folder.constData(), "system.posix_acl_default", acl, sizeof acl);
    if (size > 4 && (size - 4) % 8 == 0) {
        // Entries after a 4-byte header: 16-bit tag, 16-bit permissions, 32-bit id, little-endian.
        unsigned owner = 0, group = 0, other = 0;
        int mask = -1;
        for (ssize_t at = 4; at < size; at += 8) {
            const unsigned tag = acl[at] | unsigned(acl[at + 1]) << 8;
            const unsigned perm = acl[at + 2] & 7u;
            if (tag == 0x01)
                owner = perm;
            else if (tag == 0x04)
                group = perm;
            else if (tag == 0x10)
                mask = int(perm);
            else if (tag == 0x20)
                other = perm;
        }
        return 0666 & (owner << 6 | (mask >= 0 ? unsigned(mask) : group) << 3 | other);
    }
    mode_t umask = 022;
    QFile status(QStringLiteral("/proc/self/status"));
    if (status.open(QIODevice::ReadOnly)) {
        for (const QByteArray& line : status.readAll().split('\n')) {
            if (line.startsWith("Umask:"))
                umask = mode_t(line.mid(6).trimmed().toUInt(nullptr, 8));
        }
    }
    return 0666 & ~umask;
}

// The names of the extended attributes that list(buffer, size) gives (listxattr, flistxattr); false
// when they cannot be listed. A file system without extended attributes lists none.
template <typename List> bool attributeNames(List list, QList<QByteArray>& names)
{
    names.clear();
    QByteArray buffer;
    for (;;) {
        const ssize_t size = list(nullptr, 0);
        if (size < 0)
            return errno == ENOTSUP;
        buffer.resize(size);
        const ssize_t got = list(buffer.data(), size_t(buffer.size()));
        if (got >= 0) {
            buffer.resize(got);
            break;
        }
        if (errno != ERANGE) // ERANGE: an attribute was added meanwhile
            return false;
    }
    for (const QByteArray& name : buffer.split('\0')) {
        if (!name.isEmpty())
            names.append(name);
    }
    return true;
}

// Gives the file at fd the extended attributes of the file at path, and only those: the user
// attributes and the access list (the attribute system.posix_acl_access) among them. An access
// list that fd got from its folder's default is taken away again when path has none; security
// labels are the system's to give. False when an attribute cannot be read, given or taken away.
bool copyAttributes(const QByteArray& path, int fd)
{
    QList<QByteArray> names, made;
    if (!attributeNames([&](char* b, size_t n) { return ::listxattr(path.constData(), b, n); }, names) ||
        !attributeNames([&](char* b, size_t n) { return ::flistxattr(fd, b, n); }, made))
        return false;
    for (const QByteArray& name : made) {
        if (!names.contains(name) && !name.startsWith("security.") &&
            ::fremovexattr(fd, name.constData()) != 0)
            return false;
    }
    QByteArray value;
    for (const QByteArray& name : names) {
        if (name.startsWith("security."))
            continue;
        ssize_t size = ::getxattr(path.constData(), name.constData(), nullptr, 0);
        if (size >= 0) {
            value.resize(size);
            size = ::getxattr(path.constData(), name.constData(), value.data(), size_t(value.size()));
        }
        if (size < 0 || ::fsetxattr(fd, name.constData(), value.constData(), size_t(size), 0) != 0)
            return false;
    }
    return true;
}

// Whether the file at fd, of info, has a hole before offset: room that writing there would have to
// take. A file system that tells no holes (SEEK_HOLE gives the end) gives them away by blocks.
bool hasHoleBefore(int fd, const struct stat& info, off_t offset)
{
    if (offset <= 0)
        return false;
    const off_t hole = ::lseek(fd, 0, SEEK_HOLE);
    if (hole >= 0 && hole < offset)
        return true;
    const off_t blockSize = std::max<off_t>(info.st_blksize, 512);
    return off_t(info.st_blocks) * 512 < offset / blockSize * blockSize;
}

// Overwrites an existing file through its own inode, keeping its owner, mode and links. This is not
// atomic, so no byte of the old content is overwritten until the room the new one needs is taken:
// it is reserved first, or where the file system cannot reserve room (ext2, exFAT, NFSv3), the
// part past the old end is written and synced first, so that a full disk or quota stops the save
// while the old content is whole; the old bytes are then overwritten in the room they already
// have. A file with holes there is refused on such a file system, since filling them takes room.
FileResult writeInPlace(const QByteArray& name, const QByteArray& bytes)
{
    FileResult result;
    // Not through a link (one put in the file's place since), and not held by a pipe.
    const FileDescriptor fd(::open(name.constData(), O_WRONLY | O_CLOEXEC | O_NOCTTY | O_NOFOLLOW | O_NONBLOCK));
    struct stat old {};
    int error = fd.get() < 0 || ::fstat(fd.get(), &old) != 0 ? errno : 0;
    if (!error && !S_ISREG(old.st_mode)) {
        result.systemError = notRegularReason();
        return result;
    }
    if (!error && ::fcntl(fd.get(), F_SETFL, 0) != 0)
        error = errno;
    const off_t size = off_t(bytes.size());
    const off_t oldSize = old.st_size;
    const bool reserved =
        !error && (size == 0 || fileCalls().fallocate(fd.get(), FALLOC_FL_KEEP_SIZE, 0, size) == 0);
    if (!error && !reserved) {
        if (errno == ENOSPC || errno == EDQUOT || errno == EFBIG)
            error = errno;
        else if (hasHoleBefore(fd.get(), old, std::min(size, oldSize))) {
            result.systemError = QStringLiteral("Its file system cannot reserve room for the new content, and the "
                                                "file has holes that it would fill; it is left unchanged");
            return result;
        }
    }
    // Past the old end first: a size limit, a quota or a full disk stops the save there, and the
    // file is cut back to its old size. Synced where the room was not reserved, since a file
    // system may tell of a full disk only then.
    if (!error && size > oldSize) {
        error = writeWhole(fd.get(), QByteArrayView(bytes).sliced(oldSize), oldSize);
        if (!error && !reserved)
            error = sync(fd.get());
        if (error) {
            static_cast<void>(fileCalls().ftruncate(fd.get(), oldSize));
            static_cast<void>(sync(fd.get()));
        }
    }
    if (!error)
        error = writeWhole(fd.get(), QByteArrayView(bytes).first(std::min(size, oldSize)));
    if (!error)
        error = fileCalls().ftruncate(fd.get(), size) != 0 ? errno : sync(fd.get());
    if (error)
        result.systemError = systemErrorText(error);
    result.ok = !error;
    return result;
}

// The characters p[0..n) (bytes or UTF-16 units, each made a QChar by toChar) with every line
// break as CR LF; false when the result would exceed the memo's capacity.
template <typename Unit, typename ToChar> bool decodeLines(const Unit* p, qsizetype n, ToChar toChar, QString& text)
{
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
        const Unit c = p[i];
        if (c == '\r' || c == '\n') {
            *out++ = u'\r';
            *out++ = u'\n';
            if (c == '\r' && i + 1 < n && p[i + 1] == '\n')
                ++i;
        } else {
            *out++ = toChar(c);
        }
    }
    return true;
}

// Whether bytes are well-formed UTF-8 (no overlong form, surrogate, code above U+10FFFF or cut
// sequence) holding at least one multi-byte sequence; stops at the first byte that is not.
bool isMultiByteUtf8(const QByteArray& bytes)
{
    const auto* p = reinterpret_cast<const uint8_t*>(bytes.constData());
    const qsizetype n = bytes.size();
    bool multiByte = false;
    for (qsizetype i = 0; i < n;) {
        const uint8_t b = p[i];
        if (b < 0x80) {
            ++i;
            continue;
        }
        const int length = (b >= 0xC2 && b <= 0xDF)   ? 2
                           : (b >= 0xE0 && b <= 0xEF) ? 3
                           : (b >= 0xF0 && b <= 0xF4) ? 4
                                                      : 0;
        if (length == 0 || i + length > n)
            return false;
        // The second byte's range is what keeps out overlong forms, surrogates and codes too high.
        const uint8_t low = b == 0xE0 ? 0xA0 : b == 0xF0 ? 0x90 : 0x80;
        const uint8_t high = b == 0xED ? 0x9F : b == 0xF4 ? 0x8F : 0xBF;
        if (p[i + 1] < low || p[i + 1] > high)
            return false;
        for (int k = 2; k < length; ++k) {
            if ((p[i + k] & 0xC0) != 0x80)
                return false;
        }
        multiByte = true;
        i += length;
    }
    return multiByte;
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

QString unstorableCharacter(const QString& text, qsizetype index, const char* encoding)
{
    QString shown = text.mid(index, 1);
    char32_t code = text[index].unicode();
    if (text[index].isHighSurrogate() && index + 1 < text.size() && text[index + 1].isLowSurrogate()) {
        shown = text.mid(index, 2);
        code = QChar::surrogateToUcs4(text[index], text[index + 1]);
    } else if (text[index].isSurrogate()) {
        shown = QChar(QChar::ReplacementCharacter); // half a pair shows as nothing else
    }
    const QString hex = QString::number(uint(code), 16).toUpper().rightJustified(4, u'0');
    return QStringLiteral("Cannot save: the character \"%1\" (U+%2) in line %3 cannot be stored in a "
                          "%4 text file")
        .arg(shown, hex, QString::number(lineOf(text, index)), QLatin1StringView(encoding));
}

} // namespace

FileResult writeFileAtomically(const QString& path, const QByteArray& bytes)
{
    FileResult result;
    // A symbolic link stays a link: the file it points to is replaced.
    const QByteArray name = followLinks(QFile::encodeName(path), result.systemError);
    if (!result.systemError.isEmpty())
        return result;
    struct stat old {};
    const bool exists = ::lstat(name.constData(), &old) == 0;
    if (exists && S_ISDIR(old.st_mode)) {
        result.systemError = systemErrorText(EISDIR);
        return result;
    }
    // A named pipe, a socket or a device is not a document, and is not replaced by one.
    if (exists && !S_ISREG(old.st_mode)) {
        result.systemError = notRegularReason();
        return result;
    }
    // A replacement would split a hard-linked file from its other names, and needs a new file
    // beside the old one, which a folder its user cannot write does not take.
    if (exists && (old.st_nlink > 1 || !canCreateBeside(name)))
        return writeInPlace(name, bytes);
    QByteArray tempName;
    const FileDescriptor fd(createBeside(name, tempName));
    if (fd.get() < 0) {
        result.systemError = systemErrorText(errno);
        return result;
    }
    int error = writeWhole(fd.get(), bytes);
    if (error) {
        ::unlink(tempName.constData());
        result.systemError = systemErrorText(error);
        return result;
    }
    // Once the content is whole, the replacement takes the old file's owner (given away only by
    // root), mode (set-id bits included, which a change of owner clears), access list and extended
    // attributes, or a new file's mode; where the system refuses one of them, the file is written
    // in place, so that no access is widened.
    struct stat made {};
    if (!exists) {
        // A file system that keeps no modes may refuse: the file then has the narrower one.
        static_cast<void>(::fchmod(fd.get(), newFileMode(name)));
    } else if (::fstat(fd.get(), &made) != 0 ||
               ((made.st_uid != old.st_uid || made.st_gid != old.st_gid) &&
                ::fchown(fd.get(), old.st_uid, old.st_gid) != 0) ||
               ::fchmod(fd.get(), old.st_mode & 07777) != 0 || !copyAttributes(name, fd.get())) {
        ::unlink(tempName.constData());
        return writeInPlace(name, bytes);
    }
    // One sync, then the new file takes the old one's place, and the folder is synced so that a
    // crash cannot bring the old file back.
    error = sync(fd.get());
    if (!error && fileCalls().rename(tempName.constData(), name.constData()) != 0)
        error = errno;
    if (error) {
        ::unlink(tempName.constData());
        result.systemError = systemErrorText(error);
        return result;
    }
    const FileDescriptor folderFd(::open(folderOf(name).constData(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    if (folderFd.get() >= 0)
        sync(folderFd.get());
    result.ok = true;
    return result;
}

TextLoadResult loadTextFile(const QString& path)
{
    TextLoadResult result;
    // Only a regular file is a document: a named pipe or a device is not even opened, since the
    // one may never end and the other may act on being opened.
    struct stat info {};
    const QByteArray name = QFile::encodeName(path);
    if (::stat(name.constData(), &info) == 0 && !S_ISREG(info.st_mode)) {
        result.error = S_ISDIR(info.st_mode) ? cannotOpen(path, EISDIR) : notRegular(path);
        return result;
    }
    // Non-blocking all the same: a pipe may have taken the file's place since.
    const FileDescriptor fd(::open(name.constData(), O_RDONLY | O_CLOEXEC | O_NOCTTY | O_NONBLOCK));
    if (fd.get() < 0) {
        result.error = cannotOpen(path, errno);
        return result;
    }
    if (::fstat(fd.get(), &info) != 0) {
        result.error = cannotOpen(path, errno);
        return result;
    }
    if (!S_ISREG(info.st_mode)) {
        result.error = S_ISDIR(info.st_mode) ? cannotOpen(path, EISDIR) : notRegular(path);
        return result;
    }
    if (info.st_size > kMemoCapacity) {
        result.error = capacityExceeded();
        return result;
    }

    // The file may grow while it is read: reading stops one byte past the capacity.
    QByteArray bytes;
    bytes.reserve(qsizetype(info.st_size) + 1);
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
    if (bytes.size() > kMemoCapacity) {
        result.error = capacityExceeded();
        return result;
    }
    // UTF-8 where the file says so by its mark, or where it is valid UTF-8 that holds more than
    // ASCII; Windows-1252 otherwise, which reads any byte. After the mark, invalid sequences are
    // replacement characters, and a second mark is a character.
    QString utf8;
    const bool marked = bytes.startsWith(kUtf8Mark);
    if (marked || isMultiByteUtf8(bytes)) {
        result.encoding = marked ? TextEncoding::Utf8WithMark : TextEncoding::Utf8;
        utf8 = QStringDecoder(QStringDecoder::Utf8,
                              QStringDecoder::Flag::Stateless | QStringDecoder::Flag::ConvertInitialBom)(
            QByteArrayView(bytes).sliced(marked ? kUtf8Mark.size() : 0));
    }
    const bool decoded =
        result.encoding == TextEncoding::Windows1252
            ? decodeLines(bytes.constData(), bytes.size(), [](char c) { return cp1252::toUnicode(uint8_t(c)); },
                          result.text)
            : decodeLines(reinterpret_cast<const char16_t*>(utf8.constData()), utf8.size(),
                          [](char16_t c) { return QChar(c); }, result.text);
    if (!decoded) {
        result.text.clear();
        result.error = capacityExceeded();
        return result;
    }
    result.ok = true;
    return result;
}

TextSaveResult saveTextFile(const QString& path, const QString& text, TextEncoding encoding)
{
    TextSaveResult result;
    QByteArray bytes;
    qsizetype bad = -1;
    if (encoding == TextEncoding::Windows1252) {
        bytes = cp1252::encode(text, &bad);
        if (bad >= 0) {
            result.error = unstorableCharacter(text, bad, "Windows-1252");
            return result;
        }
    } else {
        // A UTF-8 document holds any character, as it was read; only half of a surrogate pair,
        // which no file read gives, has no UTF-8 form.
        for (qsizetype i = 0; i < text.size() && bad < 0; ++i) {
            if (text[i].isHighSurrogate() && i + 1 < text.size() && text[i + 1].isLowSurrogate())
                ++i;
            else if (text[i].isSurrogate())
                bad = i;
        }
        if (bad >= 0) {
            result.error = unstorableCharacter(text, bad, "UTF-8");
            return result;
        }
        bytes = (encoding == TextEncoding::Utf8WithMark ? kUtf8Mark : QByteArray()) + text.toUtf8();
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

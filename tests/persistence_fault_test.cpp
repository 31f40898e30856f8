// Faults around saving: a full filesystem, a read-only one, and a process killed while it saves.
// The old files must stay whole, and a settings file is never left half-written.
#include "persistence/FileCalls.h"
#include "persistence/IniFile.h"
#include "persistence/TextFile.h"
#include "tests/support/PersistenceTestSupport.h"

#include <QCoreApplication>
#include <QDir>
#include <QFile>
#include <QProcess>
#include <QRandomGenerator>
#include <QTemporaryDir>
#include <QThread>

#include <gtest/gtest.h>

#include <fcntl.h>
#include <sys/mount.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <csignal>
#include <cstdlib>
#include <cstring>
#include <iostream>
#include <string>
#include <vector>

namespace {

using namespace quindle;

// A small tmpfs mounted for one test; needs the right to mount (root in CI).
class ScratchFilesystem {
public:
    explicit ScratchFilesystem(int sizeKb)
    {
        const QByteArray options = "size=" + QByteArray::number(sizeKb) + "k";
        m_mounted = ::mount("tmpfs", path().toLocal8Bit().constData(), "tmpfs", 0, options.constData()) == 0;
        if (!m_mounted)
            m_why = QString::fromLocal8Bit(std::strerror(errno));
    }
    ~ScratchFilesystem()
    {
        if (m_mounted)
            ::umount2(path().toLocal8Bit().constData(), MNT_DETACH);
    }
    bool mounted() const { return m_mounted; }
    QString why() const { return m_why; }
    QString path() const { return m_dir.path(); }
    QString file(const char* name) const { return m_dir.filePath(QString::fromLatin1(name)); }
    bool makeReadOnly()
    {
        return ::mount(nullptr, path().toLocal8Bit().constData(), nullptr, MS_REMOUNT | MS_RDONLY, nullptr) == 0;
    }
    // Writes a filler file until the filesystem has no room left.
    void fill()
    {
        QFile filler(file("filler"));
        ASSERT_TRUE(filler.open(QIODevice::WriteOnly));
        const QByteArray block(1024, 'x');
        while (filler.write(block) == block.size() && filler.flush()) {
        }
        QByteArray one(1, 'x');
        while (filler.write(one) == 1 && filler.flush()) {
        }
    }

private:
    QTemporaryDir m_dir;
    bool m_mounted = false;
    QString m_why;
};

const QByteArray kOldSettings = "[Morse]\r\nFreq=750\r\nSpeed=100\r\n";
const QByteArray kOldDocument = "CQ CQ DE TEST\r\nK";

void writeOldFiles(const ScratchFilesystem& fs)
{
    ASSERT_TRUE(writeFileAtomically(fs.file("quindle2.ini"), kOldSettings).ok);
    ASSERT_TRUE(writeFileAtomically(fs.file("copy.txt"), kOldDocument).ok);
}

TEST(SaveFaults, AFullFilesystemLeavesTheOldFilesWhole)
{
    ScratchFilesystem fs(128);
    if (!fs.mounted())
        GTEST_SKIP() << "cannot mount a scratch filesystem: " << fs.why().toStdString();
    writeOldFiles(fs);
    // A hard-linked file is written in place: the room for it is reserved before anything changes.
    ASSERT_TRUE(QFile::copy(fs.file("copy.txt"), fs.file("linked.txt")));
    ASSERT_EQ(::link(QFile::encodeName(fs.file("linked.txt")), QFile::encodeName(fs.file("link2"))), 0);
    fs.fill();

    IniFile ini(fs.file("quindle2.ini"));
    EXPECT_FALSE(ini.writeString(QStringLiteral("Morse"), QStringLiteral("Font"), QString(1500, u'F')));
    EXPECT_FALSE(ini.errorString().isEmpty());
    EXPECT_EQ(test::readFileBytes(fs.file("quindle2.ini")), kOldSettings);

    const TextSaveResult saved = saveTextFile(fs.file("copy.txt"), QString(64 * 1024, u'E'));
    EXPECT_FALSE(saved.ok);
    EXPECT_TRUE(saved.error.startsWith(QStringLiteral("Cannot create file \"%1\". ").arg(fs.file("copy.txt"))))
        << saved.error.toStdString();
    EXPECT_EQ(test::readFileBytes(fs.file("copy.txt")), kOldDocument);
    EXPECT_FALSE(saveTextFile(fs.file("linked.txt"), QString(64 * 1024, u'E')).ok);
    EXPECT_EQ(test::readFileBytes(fs.file("link2")), kOldDocument);
    // Nothing half-written is left beside them.
    EXPECT_EQ(QDir(fs.path()).entryList(QDir::Files | QDir::Hidden).size(), 5);
}

TEST(SaveFaults, AReadOnlyFilesystemLeavesTheOldFilesWhole)
{
    ScratchFilesystem fs(128);
    if (!fs.mounted())
        GTEST_SKIP() << "cannot mount a scratch filesystem: " << fs.why().toStdString();
    writeOldFiles(fs);
    ASSERT_TRUE(fs.makeReadOnly());

    IniFile ini(fs.file("quindle2.ini"));
    EXPECT_FALSE(ini.writeInteger(QStringLiteral("Morse"), QStringLiteral("Speed"), 120));
    EXPECT_EQ(test::readFileBytes(fs.file("quindle2.ini")), kOldSettings);
    IniFile fresh(fs.file("new.ini"));
    EXPECT_FALSE(fresh.writeInteger(QStringLiteral("Morse"), QStringLiteral("Speed"), 120));
    EXPECT_FALSE(QFile::exists(fs.file("new.ini")));

    const TextSaveResult saved = saveTextFile(fs.file("copy.txt"), QStringLiteral("new text"));
    EXPECT_FALSE(saved.ok);
    EXPECT_TRUE(saved.error.startsWith(QStringLiteral("Cannot create file \"%1\". ").arg(fs.file("copy.txt"))))
        << saved.error.toStdString();
    EXPECT_EQ(test::readFileBytes(fs.file("copy.txt")), kOldDocument);
}

// A file system as ext2, exFAT or NFSv3 are to a save: fallocate fails with fallocateError (or
// reserves), and a write takes only the room that the file's blocks already have or that was
// reserved. The system's calls do the rest.
struct FullFileSystem {
    static inline int fallocateError = 0;
    static inline off_t room = 0; // [bytes]

    static int fallocate(int, int, off_t offset, off_t length)
    {
        room = fallocateError ? room : std::max(room, offset + length);
        errno = fallocateError;
        return fallocateError ? -1 : 0;
    }
    static ssize_t pwrite(int fd, const void* data, size_t size, off_t offset)
    {
        if (offset >= room) {
            errno = ENOSPC;
            return -1;
        }
        return systemFileCalls().pwrite(fd, data, std::min(size, size_t(room - offset)), offset);
    }
};

// Puts the system's calls back after a test that changed them.
struct FileCallsRestored {
    ~FileCallsRestored() { fileCalls() = systemFileCalls(); }
};

TEST(SaveFaults, AFullFileSystemThatCannotReserveRoomLeavesTheOldFileWhole)
{
    const QString noSpace = QString::fromLocal8Bit(std::strerror(ENOSPC));
    const QString holes =
        QStringLiteral("Its file system cannot reserve room for the new content, and the file has "
                       "holes that it would fill; it is left unchanged");
    const struct {
        const char* name;
        int fallocateError; // 0: the room is reserved
        bool holes;         // the old file of 30000 bytes starts with a hole of 16 KiB
        qsizetype newSize;
        QString error; // "": saved
    } rows[] = {
        {"grows past its room", EOPNOTSUPP, false, 174000, noSpace},
        {"grows past its room, no reserving at all", ENOSYS, false, 40000, noSpace},
        {"fits in its old blocks", EOPNOTSUPP, false, 32768, {}},
        {"shrinks", EOPNOTSUPP, false, 20000, {}},
        {"shrinks into its holes", EOPNOTSUPP, true, 20000, holes},
        {"room reserved", 0, false, 174000, {}},
        {"no room to reserve", ENOSPC, false, 174000, noSpace},
    };
    const FileCallsRestored restored;
    for (const auto& row : rows) {
        SCOPED_TRACE(row.name);
        QTemporaryDir dir;
        const QString path = dir.filePath(QStringLiteral("notes.txt"));
        {
            QFile file(path);
            const qint64 hole = row.holes ? 16384 : 0;
            ASSERT_TRUE(file.open(QIODevice::WriteOnly) && file.seek(hole));
            ASSERT_EQ(file.write(QByteArray(30000 - hole, 'o')), 30000 - hole);
        }
        const QByteArray before = test::readFileBytes(path);
        // A second hard link: saved in place, through the file's own inode.
        ASSERT_EQ(::link(QFile::encodeName(path).constData(), QFile::encodeName(path + u'2').constData()), 0);
        struct stat info {};
        ASSERT_EQ(::stat(QFile::encodeName(path).constData(), &info), 0);
        if (row.holes && info.st_blocks * 512 >= 30000)
            GTEST_SKIP() << "no sparse files in " << dir.path().toStdString();
        FullFileSystem::fallocateError = row.fallocateError;
        FullFileSystem::room = off_t(info.st_blocks) * 512;
        fileCalls().fallocate = FullFileSystem::fallocate;
        fileCalls().pwrite = FullFileSystem::pwrite;

        const TextSaveResult saved = saveTextFile(path, QString(row.newSize, u'n'));
        if (row.error.isEmpty()) {
            EXPECT_TRUE(saved.ok) << saved.error.toStdString();
            EXPECT_EQ(test::readFileBytes(path), QByteArray(row.newSize, 'n'));
        } else {
            EXPECT_EQ(saved.error, QStringLiteral("Cannot create file \"%1\". %2").arg(path, row.error));
            EXPECT_EQ(test::readFileBytes(path), before);
        }
        EXPECT_EQ(test::readFileBytes(path + u'2'), test::readFileBytes(path));
    }
}

// Records each sync (of a file or of a folder, by its inode) and each rename of a save.
struct RecordedCalls {
    static inline std::vector<std::string> calls;

    static int fsync(int fd)
    {
        struct stat info {};
        ::fstat(fd, &info);
        calls.push_back((S_ISDIR(info.st_mode) ? "sync folder " : "sync file ") +
                        std::to_string(info.st_ino));
        return systemFileCalls().fsync(fd);
    }
    static int rename(const char* from, const char* to)
    {
        calls.push_back("rename");
        return systemFileCalls().rename(from, to);
    }
};

// The new file, synced before the rename, is the file now; then its folder is synced.
TEST(SaveFaults, AReplacementIsSyncedThenTakesTheOldPlaceAndItsFolderIsSynced)
{
    QTemporaryDir dir;
    const QString document = dir.filePath(QStringLiteral("doc.txt"));
    const QString settings = dir.filePath(QStringLiteral("quindle2.ini"));
    const auto inode = [](const QString& path) {
        struct stat info {};
        ::stat(QFile::encodeName(path).constData(), &info);
        return std::to_string(info.st_ino);
    };
    const FileCallsRestored restored;
    fileCalls().fsync = RecordedCalls::fsync;
    fileCalls().rename = RecordedCalls::rename;
    // A new document, the same replaced, the settings.
    for (const QString& file : {document, document, settings}) {
        SCOPED_TRACE(file.toStdString() + (QFile::exists(file) ? " replaced" : " new"));
        RecordedCalls::calls.clear();
        ASSERT_TRUE(file == settings
                        ? IniFile(file).writeInteger(QStringLiteral("Morse"), QStringLiteral("Freq"), 600)
                        : saveTextFile(file, QStringLiteral("text")).ok);
        EXPECT_EQ(RecordedCalls::calls, (std::vector<std::string>{"sync file " + inode(file), "rename",
                                                                  "sync folder " + inode(dir.path())}));
    }
}

// The eleven keys with two sets of values; the saver alternates between them.
struct Key {
    const char* name;
    int a, b;
};
const Key kKeys[] = {{"Freq", 750, 1200},  {"Speed", 100, 140},    {"Delay", 1, 3},   {"Case", 1, 0},
                     {"Size", 9, 14},      {"Punctuation", 0, 1}, {"Accented", 0, 1}, {"Speaker", 0, 1},
                     {"Settings", 1, 0},   {"AutoCT", 0, 1},      {"Extra", 5, 6}};

// Not a test of its own: the child process of the next test, saving until it is killed.
TEST(SaveFaults, DISABLED_SaverChild)
{
    const QString path = qEnvironmentVariable("QUINDLE_SAVER_INI");
    ASSERT_FALSE(path.isEmpty());
    for (unsigned round = 0;; ++round) {
        IniFile ini(path);
        for (const Key& key : kKeys)
            ini.writeInteger(QStringLiteral("Morse"), QString::fromLatin1(key.name), round % 2 ? key.b : key.a);
    }
}

TEST(SaveFaults, AProcessKilledWhileSavingLeavesAWholeSettingsFile)
{
    QTemporaryDir dir;
    const QString path = dir.filePath(QStringLiteral("quindle2.ini"));
    QRandomGenerator random(20261207);
    int sawBoth = 0;
    for (int kill = 0; kill < 25; ++kill) {
        QProcess saver;
        QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
        env.insert(QStringLiteral("QUINDLE_SAVER_INI"), path);
        saver.setProcessEnvironment(env);
        saver.start(QCoreApplication::applicationFilePath(),
                    {QStringLiteral("--gtest_also_run_disabled_tests"),
                     QStringLiteral("--gtest_filter=SaveFaults.DISABLED_SaverChild")});
        ASSERT_TRUE(saver.waitForStarted());
        // Let it get going (the file changes), then kill it at a random moment of its saving.
        const QByteArray before = test::readFileBytes(path);
        while (test::readFileBytes(path) == before && saver.state() == QProcess::Running)
            QThread::usleep(200);
        QThread::usleep(random.bounded(0, 5000));
        ::kill(pid_t(saver.processId()), SIGKILL);
        saver.waitForFinished();

        IniFile ini(path);
        int fromB = 0, present = 0;
        for (const Key& key : kKeys) {
            const int v = ini.readInteger(QStringLiteral("Morse"), QString::fromLatin1(key.name), -1);
            if (v == -1)
                continue; // not written yet in the very first round
            ++present;
            EXPECT_TRUE(v == key.a || v == key.b) << key.name << "=" << v;
            fromB += v == key.b && key.a != key.b;
        }
        EXPECT_GT(present, 0);
        const QByteArray bytes = test::readFileBytes(path);
        EXPECT_TRUE(bytes.startsWith("[Morse]\r\n"));
        EXPECT_TRUE(bytes.endsWith("\r\n"));
        if (fromB > 0 && fromB < present)
            ++sawBoth;
    }
    // Not asserted: how often a kill fell between two keys of one save.
    std::cout << "kills that fell inside a save: " << sawBoth << " of 25\n";
}

} // namespace

#include "persistence/Cp1252.h"
#include "persistence/IniFile.h"
#include "persistence/TextFile.h"
#include "tests/support/PersistenceTestSupport.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QProcess>
#include <QRandomGenerator>
#include <QTemporaryDir>

#include <gtest/gtest.h>

#include <csignal>

#include <cstring>

#include <dirent.h>
#include <fcntl.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <sys/un.h>
#include <unistd.h>

namespace quindle {
namespace {

using test::readAll;
using test::writeAll;

class TextFileTest : public ::testing::Test {
protected:
    QString path(const QString& name) const { return m_dir.filePath(name); }
    QTemporaryDir m_dir;
};

TEST_F(TextFileTest, EveryByteButLineBreaksRoundTrips)
{
    QByteArray bytes;
    for (int b = 0; b < 256; ++b) {
        if (b != '\r' && b != '\n')
            bytes.append(char(b));
    }
    writeAll(path("all.txt"), bytes);
    const TextLoadResult loaded = loadTextFile(path("all.txt"));
    ASSERT_TRUE(loaded.ok) << qPrintable(loaded.error);
    EXPECT_EQ(loaded.text, cp1252::decode(bytes));
    EXPECT_EQ(loaded.text[0x80 - 2], QChar(u'\u20ac'));
    ASSERT_TRUE(saveTextFile(path("copy.txt"), loaded.text).ok);
    EXPECT_EQ(readAll(path("copy.txt")), bytes);
}

TEST_F(TextFileTest, LineBreaksLoadAsCrLfAndSaveAsLoaded)
{
    const struct {
        QByteArray file;
        QString text;
        QByteArray saved = {}; // when not the text's Latin-1 bytes
        TextEncoding encoding = TextEncoding::Windows1252;
    } cases[] = {
        {"", ""},
        {"abc", "abc"},
        {"a\r\nb", "a\r\nb"},
        {"a\nb\n", "a\r\nb\r\n"},
        {"a\rb\r", "a\r\nb\r\n"},
        {"a\n\rb", "a\r\n\r\nb"},
        {"a\r\r\nb", "a\r\n\r\nb"},
        {"\n\n", "\r\n\r\n"},
        {"\r", "\r\n"},
        {"a\r\n\nb\rc", "a\r\n\r\nb\r\nc"},
        // UTF-8 after its mark, or valid UTF-8 beyond ASCII, is read and saved as UTF-8.
        {"Gru\xC3\x9F \xE2\x82\xAC\n", "Gruß €\r\n", "Gru\xC3\x9F \xE2\x82\xAC\r\n", TextEncoding::Utf8},
        {"\xEF\xBB\xBFok\n", "ok\r\n", "\xEF\xBB\xBFok\r\n", TextEncoding::Utf8WithMark},
        {"\xEF\xBB\xBF", "", "\xEF\xBB\xBF", TextEncoding::Utf8WithMark},
        // Characters that Windows-1252 cannot hold are saved back too.
        {"\xD0\x9F\xD1\x80\xD0\xB8\xD0\xB2\xD0\xB5\xD1\x82 \xF0\x9F\x98\x80\n", "Привет 😀\r\n",
         "\xD0\x9F\xD1\x80\xD0\xB8\xD0\xB2\xD0\xB5\xD1\x82 \xF0\x9F\x98\x80\r\n", TextEncoding::Utf8},
        // Anything else is Windows-1252: a stray byte, a sequence cut at the end, an overlong form,
        // an encoded surrogate.
        {"caf\xE9 \x80\xC3\xA9\xFF", "café €Ã©ÿ", "caf\xE9 \x80\xC3\xA9\xFF"},
        {"\xC3\xA9\xC3", "Ã©Ã"},
        {"\xC0\xAF", "À¯"},
        {"\xED\xA0\x80", "í\u00A0€", "\xED\xA0\x80"},
    };
    for (const auto& c : cases) {
        writeAll(path("in.txt"), c.file);
        const TextLoadResult loaded = loadTextFile(path("in.txt"));
        ASSERT_TRUE(loaded.ok) << c.file.toStdString();
        EXPECT_EQ(loaded.text, c.text) << c.file.toStdString();
        EXPECT_EQ(loaded.encoding, c.encoding) << c.file.toStdString();
        // Saved as loaded: CR LF everywhere, nothing added at the end, in the file's encoding.
        ASSERT_TRUE(saveTextFile(path("out.txt"), loaded.text, loaded.encoding).ok);
        EXPECT_EQ(readAll(path("out.txt")), c.saved.isEmpty() ? c.text.toLatin1() : c.saved)
            << c.file.toStdString();
    }
}

TEST_F(TextFileTest, BinaryFileLoadsWhole)
{
    QRandomGenerator random(7);
    QByteArray bytes(100000, Qt::Uninitialized);
    for (char& b : bytes)
        b = char(random.bounded(256));
    writeAll(path("binary.bin"), bytes);
    const TextLoadResult loaded = loadTextFile(path("binary.bin"));
    ASSERT_TRUE(loaded.ok);
    EXPECT_TRUE(loaded.text.contains(QChar(u'\0')));
    ASSERT_TRUE(saveTextFile(path("binary.txt"), loaded.text).ok);
    QByteArray expected = bytes;
    expected.replace("\r\n", "\n").replace('\r', '\n').replace("\n", "\r\n");
    EXPECT_EQ(readAll(path("binary.txt")), expected);
}

TEST_F(TextFileTest, OpenFailuresNameTheFullPathAndTheReason)
{
    // A relative name is shown with its full path.
    const QString previous = QDir::currentPath();
    QDir::setCurrent(m_dir.path());
    const QString relativeError = loadTextFile(QStringLiteral("missing.txt")).error;
    QDir::setCurrent(previous);
    EXPECT_EQ(relativeError,
              QStringLiteral("Cannot open file \"%1\". No such file or directory").arg(path("missing.txt")));
    ASSERT_TRUE(QDir().mkdir(path("folder")));
    const TextLoadResult folder = loadTextFile(path("folder"));
    EXPECT_FALSE(folder.ok);
    EXPECT_EQ(folder.error, QStringLiteral("Cannot open file \"%1\". Is a directory").arg(path("folder")));
    const TextLoadResult notDir = loadTextFile(path("missing.txt/x.txt"));
    EXPECT_FALSE(notDir.ok);
    EXPECT_TRUE(notDir.error.startsWith(QStringLiteral("Cannot open file \""))) << qPrintable(notDir.error);
}

TEST_F(TextFileTest, PermissionsDecideWhatIsLoadedAndSaved)
{
    QString sharedFile;
    if (::geteuid() == 0 && QFile::setPermissions(m_dir.path(), QFileDevice::Permissions(0x7777))) {
        sharedFile = path("shared.txt");
        writeAll(sharedFile, "mine");
        QFile::setPermissions(sharedFile, QFileDevice::Permissions(0x6666));
    }
    const std::string failure = test::withoutRoot([&sharedFile] {
        QTemporaryDir dir;
        const QString secret = dir.filePath(QStringLiteral("secret.txt"));
        const QString locked = dir.filePath(QStringLiteral("locked"));
        if (!test::writeFileBytes(secret, "x") || !QDir().mkdir(locked) ||
            !test::writeFileBytes(locked + QStringLiteral("/doc.txt"), "old"))
            return std::string("cannot set up");
        QFile::setPermissions(secret, QFile::WriteOwner);
        QFile::setPermissions(locked, QFile::ReadOwner | QFile::ExeOwner);

        const QString loadError = loadTextFile(secret).error;
        // A writable file in a folder that takes no new file is saved in place.
        const QString inPlaceError =
            saveTextFile(locked + QStringLiteral("/doc.txt"), QStringLiteral("new")).error;
        const QString saveError =
            saveTextFile(locked + QStringLiteral("/new.txt"), QStringLiteral("new")).error;
        QFile::setPermissions(locked, QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner);
        if (loadError != QStringLiteral("Cannot open file \"%1\". Permission denied").arg(secret))
            return "load: " + loadError.toStdString();
        if (saveError != QStringLiteral("Cannot create file \"%1/new.txt\". Permission denied").arg(locked))
            return "save: " + saveError.toStdString();
        if (test::readFileBytes(locked + QStringLiteral("/doc.txt")) != "new")
            return "in place: " + inPlaceError.toStdString();
        // A file of root's in a folder anyone may write keeps its owner: written in place.
        if (!sharedFile.isEmpty() &&
            (!saveTextFile(sharedFile, QStringLiteral("theirs")).ok || QFileInfo(sharedFile).ownerId() != 0))
            return std::string("a shared file of root's was not saved in place");
        return std::string();
    });
    EXPECT_EQ(failure, "");
}

TEST_F(TextFileTest, TextOverTheCapacityIsRefused)
{
    // A sparse file one byte over: refused by its size, before anything is read.
    {
        QFile file(path("huge.txt"));
        ASSERT_TRUE(file.open(QIODevice::WriteOnly));
        ASSERT_TRUE(file.resize(kMemoCapacity + 1));
    }
    TextLoadResult loaded = loadTextFile(path("huge.txt"));
    EXPECT_FALSE(loaded.ok);
    EXPECT_EQ(loaded.error, QStringLiteral("Text exceeds memo capacity"));

    // Lone LFs double in the memo: half the capacity plus one of them is too much.
    writeAll(path("lines.txt"), QByteArray(kMemoCapacity / 2 + 1, '\n'));
    loaded = loadTextFile(path("lines.txt"));
    EXPECT_EQ(loaded.error, QStringLiteral("Text exceeds memo capacity"));
    EXPECT_TRUE(loaded.text.isEmpty());
}

TEST_F(TextFileTest, TextAtTheCapacityLoads)
{
    writeAll(path("full.txt"), QByteArray(kMemoCapacity / 2, '\n'));
    const TextLoadResult loaded = loadTextFile(path("full.txt"));
    ASSERT_TRUE(loaded.ok) << qPrintable(loaded.error);
    EXPECT_EQ(loaded.text.size(), kMemoCapacity);
}

// The kind of file at path, not following a link: S_IFIFO, S_IFSOCK, S_IFCHR, ...; 0 when missing.
mode_t kindOf(const QString& path)
{
    struct stat info {};
    return ::lstat(QFile::encodeName(path).constData(), &info) == 0 ? info.st_mode & S_IFMT : 0;
}

TEST_F(TextFileTest, PipesSocketsAndDevicesAreRefusedWithoutHanging)
{
    // A pipe that a writer may keep open for ever, a socket, an endless device and a link to it, a
    // link to the pipe (saved through before the pipe is checked) and a device node of its own
    // (made where root may): none is loaded, nor replaced by a document on a save.
    ASSERT_EQ(::mkfifo(QFile::encodeName(path("fifo")).constData(), 0600), 0);
    const int writer = ::open(QFile::encodeName(path("fifo")).constData(), O_RDWR);
    const int listener = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_un address{AF_UNIX, {}};
    const QByteArray socketName = QFile::encodeName(path("socket"));
    ASSERT_LT(size_t(socketName.size()), sizeof address.sun_path);
    std::memcpy(address.sun_path, socketName.constData(), size_t(socketName.size()));
    ASSERT_EQ(::bind(listener, reinterpret_cast<const sockaddr*>(&address), sizeof address), 0);
    ASSERT_TRUE(QFile::link(QStringLiteral("/dev/zero"), path("zero.txt")));
    ASSERT_TRUE(QFile::link(path("fifo"), path("fifo.txt")));
    QStringList files{QStringLiteral("/dev/zero"), path("zero.txt"), path("socket"), path("fifo.txt"), path("fifo")};
    if (::mknod(QFile::encodeName(path("null")).constData(), S_IFCHR | 0666, ::makedev(1, 3)) == 0)
        files << path("null");
    for (const QString& file : files) {
        SCOPED_TRACE(file.toStdString());
        EXPECT_EQ(loadTextFile(file).error, QStringLiteral("Cannot open file \"%1\". Not a regular file").arg(file));
        if (file.contains(u"zero"))
            continue; // the system's own device: not risked on a save
        const mode_t kind = kindOf(file);
        EXPECT_EQ(saveTextFile(file, QStringLiteral("text")).error,
                  QStringLiteral("Cannot create file \"%1\". Not a regular file").arg(file));
        EXPECT_EQ(kindOf(file), kind);
    }
    ::close(writer);
    ::close(listener);
}

TEST_F(TextFileTest, SaveFollowsALinkOnlyAsTheKernelWould)
{
    // In a folder where anyone may make files and only their owners remove them (sticky, writable
    // by all, as /tmp), a link that another user owns is not followed, unless the folder is theirs
    // too: else anyone could lead a save onto any file of its user's.
    constexpr uid_t me = uid_t(-1), other = 65534;
    const struct {
        const char* name;
        mode_t folderMode;
        uid_t folderOwner; // me: the saver
        uid_t linkOwner;
        bool chained; // the saver's own link, elsewhere, leads to the link in the folder
        bool followed;
    } rows[] = {
        {"the saver's link in a shared folder", 01777, 0, me, false, true},
        {"another's link in a shared folder", 01777, 0, other, false, false},
        {"another's link in a shared folder, reached through the saver's", 01777, 0, other, true, false},
        {"another's link in their own shared folder", 01777, other, other, false, true},
        {"another's link in a folder that is not sticky", 0777, 0, other, false, true},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.name);
        if ((row.folderOwner != 0 || row.linkOwner != me) && ::geteuid() != 0)
            continue; // files of another user's are made by root only
        QTemporaryDir dir;
        const QString important = dir.filePath(QStringLiteral("important.txt"));
        const QString shared = dir.filePath(QStringLiteral("shared"));
        const QString notes = shared + QStringLiteral("/notes.txt");
        writeAll(important, "important");
        ASSERT_TRUE(QDir().mkdir(shared));
        ASSERT_EQ(::chmod(QFile::encodeName(shared).constData(), row.folderMode), 0);
        ASSERT_TRUE(QFile::link(important, notes));
        const auto owner = [](uid_t uid) { return uid == me ? ::geteuid() : uid; };
        ASSERT_EQ(::chown(QFile::encodeName(shared).constData(), owner(row.folderOwner), gid_t(-1)), 0);
        ASSERT_EQ(::lchown(QFile::encodeName(notes).constData(), owner(row.linkOwner), gid_t(-1)), 0);
        QString saved = notes;
        if (row.chained) {
            saved = dir.filePath(QStringLiteral("mine.txt"));
            ASSERT_TRUE(QFile::link(notes, saved));
        }

        const TextSaveResult result = saveTextFile(saved, QStringLiteral("overwritten"));
        EXPECT_EQ(result.ok, row.followed) << result.error.toStdString();
        EXPECT_EQ(readAll(important), row.followed ? QByteArray("overwritten") : QByteArray("important"));
        if (!row.followed) {
            EXPECT_EQ(result.error, QStringLiteral("Cannot create file \"%1\". It is another user's link in a shared "
                                                   "folder (sticky and writable by all), which is not followed")
                                        .arg(saved));
        }
        // The links stay links.
        EXPECT_EQ(kindOf(notes), mode_t(S_IFLNK));
        EXPECT_EQ(kindOf(saved), mode_t(S_IFLNK));
    }
}

TEST_F(TextFileTest, SaveReplacesAnExistingFileAndKeepsItsPermissions)
{
    writeAll(path("doc.txt"), "an older and longer text");
    QFile::setPermissions(path("doc.txt"), QFile::ReadOwner | QFile::WriteOwner | QFile::ReadGroup);
    ASSERT_TRUE(saveTextFile(path("doc.txt"), QStringLiteral("new")).ok);
    EXPECT_EQ(readAll(path("doc.txt")), QByteArray("new"));
    EXPECT_EQ(QFile::permissions(path("doc.txt")),
              QFile::ReadOwner | QFile::WriteOwner | QFile::ReadUser | QFile::WriteUser | QFile::ReadGroup);
    ASSERT_TRUE(saveTextFile(path("doc.txt"), QString()).ok);
    EXPECT_EQ(QFileInfo(path("doc.txt")).size(), 0);
    // A hard-linked file stays one file; root saving another user's file leaves it theirs.
    ASSERT_EQ(::link(QFile::encodeName(path("doc.txt")), QFile::encodeName(path("link.txt"))), 0);
    ASSERT_TRUE(saveTextFile(path("doc.txt"), QStringLiteral("linked")).ok);
    EXPECT_EQ(readAll(path("link.txt")), QByteArray("linked"));
    if (::geteuid() == 0 && ::chown(QFile::encodeName(path("link.txt")), 65534, 65534) == 0) {
        ASSERT_EQ(::unlink(QFile::encodeName(path("doc.txt"))), 0);
        ASSERT_TRUE(saveTextFile(path("link.txt"), QStringLiteral("theirs")).ok);
        EXPECT_EQ(QFileInfo(path("link.txt")).ownerId(), 65534u);
    }
}

// Runs a tool of the acl or attr package on a file; false, with why in output, when it failed.
bool runTool(const char* tool, QStringList arguments, const QString& file, QByteArray& output)
{
    QProcess process;
    process.start(QString::fromLatin1(tool), arguments << file);
    process.waitForFinished();
    output = process.error() == QProcess::FailedToStart
                 ? QByteArray(tool) + " is not installed (packages acl, attr)"
                 : process.readAllStandardOutput() + process.readAllStandardError();
    return process.exitStatus() == QProcess::NormalExit && process.exitCode() == 0;
}

TEST_F(TextFileTest, SaveKeepsTheAccessListAndExtendedAttributesAndNeverWidensAccess)
{
    // The third has no access list, in a folder whose default list would give one to a new file.
    ASSERT_TRUE(QDir().mkdir(path("shared")));
    const QString files[] = {path("doc.txt"), path("quindle2.ini"), path("shared/plain.txt")};
    const auto attributes = [](const QString& file) {
        QByteArray list, extended;
        runTool("getfacl", {QStringLiteral("-c")}, file, list);
        runTool("getfattr", {QStringLiteral("-d")}, file, extended);
        return (list + extended).toStdString();
    };
    writeAll(files[2], "old");
    std::string before[3];
    for (int i = 0; i < 2; ++i) {
        writeAll(files[i], "[Morse]\r\nFreq=1\r\n");
        // The group reads, while another user may write: the group class (the mask) is rw-.
        QFile::setPermissions(files[i], QFile::ReadOwner | QFile::WriteOwner);
        QByteArray why;
        if (!runTool("setfacl", {QStringLiteral("-m"), QStringLiteral("u:nobody:rw-,g::r--")}, files[i],
                     why) ||
            !runTool("setfattr",
                     {QStringLiteral("-n"), QStringLiteral("user.origin"), QStringLiteral("-v"),
                      QStringLiteral("kept")},
                     files[i], why))
            GTEST_SKIP() << "no access lists or extended attributes in " << m_dir.path().toStdString() << ": "
                         << why.toStdString();
        before[i] = attributes(files[i]);
        EXPECT_NE(before[i].find("group::r--\n"), std::string::npos) << before[i];
    }
    QByteArray why;
    ASSERT_TRUE(runTool("setfacl",
                        {QStringLiteral("-d"), QStringLiteral("-m"), QStringLiteral("u:nobody:rw-")},
                        path("shared"), why))
        << why.toStdString();
    before[2] = attributes(files[2]);
    ASSERT_TRUE(saveTextFile(files[0], QStringLiteral("new")).ok);
    ASSERT_TRUE(IniFile(files[1]).writeInteger(QStringLiteral("Morse"), QStringLiteral("Freq"), 2));
    ASSERT_TRUE(saveTextFile(files[2], QStringLiteral("new")).ok);
    for (int i = 0; i < 3; ++i)
        EXPECT_EQ(attributes(files[i]), before[i]) << files[i].toStdString();
    EXPECT_EQ(readAll(files[0]), QByteArray("new"));
}

// The group and other bits (the access list's mask where there is one) of a save's temporary
// file, seen from the signal that its write raises past the file size limit.
int g_folder = -1;
mode_t g_othersBits = 0;
void seeTemporaryFile(int)
{
    DIR* folder = ::fdopendir(::dup(g_folder));
    struct stat info {};
    while (const dirent* entry = ::readdir(folder)) {
        if (QByteArray(entry->d_name).endsWith(".new") && ::fstatat(g_folder, entry->d_name, &info, 0) == 0)
            g_othersBits |= info.st_mode & 077;
    }
    ::closedir(folder);
}

TEST_F(TextFileTest, NoOneButTheOwnerCanOpenTheNewContentBeforeItIsWhole)
{
    // A plain folder (umask 022) and, where the file system has them, a default access list.
    ASSERT_TRUE(QDir().mkdir(path("shared")));
    QByteArray why;
    QStringList folders{m_dir.path()};
    if (runTool("setfacl", {QStringLiteral("-dm"), QStringLiteral("u:nobody:rw-")}, path("shared"), why))
        folders << path("shared");
    const ::mode_t oldMask = ::umask(022);
    for (const QString& folder : folders) {
        g_folder = ::open(QFile::encodeName(folder).constData(), O_RDONLY | O_DIRECTORY);
        g_othersBits = 0;
        {
            const test::FileSizeLimit limit(1);
            std::signal(SIGXFSZ, seeTemporaryFile);
            EXPECT_FALSE(saveTextFile(folder + QStringLiteral("/new.txt"), QStringLiteral("secret")).ok);
        }
        ::close(g_folder);
        EXPECT_EQ(g_othersBits, 0u) << folder.toStdString();
        // Once whole, it has the mode and access list that any new file there gets.
        writeAll(folder + QStringLiteral("/reference.txt"), "");
        ASSERT_TRUE(saveTextFile(folder + QStringLiteral("/new.txt"), QStringLiteral("secret")).ok);
        QByteArray made, reference;
        runTool("getfacl", {QStringLiteral("-cp")}, folder + QStringLiteral("/new.txt"), made);
        runTool("getfacl", {QStringLiteral("-cp")}, folder + QStringLiteral("/reference.txt"), reference);
        EXPECT_EQ(made, reference);
    }
    ::umask(oldMask);
}

TEST_F(TextFileTest, SaveFailuresNameTheFullPathAndTheReason)
{
    writeAll(path("plain"), "x");
    TextSaveResult saved = saveTextFile(path("plain/doc.txt"), QStringLiteral("text"));
    EXPECT_EQ(saved.error,
              QStringLiteral("Cannot create file \"%1\". Not a directory").arg(path("plain/doc.txt")));
    saved = saveTextFile(path("nowhere/doc.txt"), QStringLiteral("text"));
    EXPECT_EQ(
        saved.error,
        QStringLiteral("Cannot create file \"%1\". No such file or directory").arg(path("nowhere/doc.txt")));
    ASSERT_TRUE(QDir().mkdir(path("folder")));
    saved = saveTextFile(path("folder"), QStringLiteral("text"));
    EXPECT_EQ(saved.error, QStringLiteral("Cannot create file \"%1\". Is a directory").arg(path("folder")));
    EXPECT_TRUE(QFileInfo(path("folder")).isDir());
    EXPECT_EQ(readAll(path("plain")), QByteArray("x"));
}

TEST_F(TextFileTest, FailedWriteLeavesTheOldFileWhole)
{
    writeAll(path("doc.txt"), "the old text");
    TextSaveResult saved;
    {
        const test::FileSizeLimit limit(4096);
        saved = saveTextFile(path("doc.txt"), QString(100000, u'x'));
    }
    EXPECT_FALSE(saved.ok);
    EXPECT_EQ(saved.error, QStringLiteral("Cannot create file \"%1\". File too large").arg(path("doc.txt")));
    EXPECT_EQ(readAll(path("doc.txt")), QByteArray("the old text"));
    EXPECT_EQ(QDir(m_dir.path()).entryList(QDir::Files | QDir::Hidden),
              QStringList{QStringLiteral("doc.txt")});
}

TEST_F(TextFileTest, UnstorableCharacterWritesNothingAndNamesItsLine)
{
    writeAll(path("doc.txt"), "old");
    const struct {
        QString text;
        QString error;
    } cases[] = {
        {QStringLiteral("caf\u00e9 \u20ac ok\r\nline two \u4e2d\u6587"),
         QStringLiteral("Cannot save: the character \"\u4e2d\" (U+4E2D) in line 2 cannot be stored in a "
                        "Windows-1252 text file")},
        {QStringLiteral("a\rb\nc\r\n\U0001F600"),
         QStringLiteral("Cannot save: the character \"\U0001F600\" (U+1F600) in line 4 cannot be stored in a "
                        "Windows-1252 text file")},
        {QStringLiteral("\u0080"),
         QStringLiteral("Cannot save: the character \"\u0080\" (U+0080) in line 1 cannot be stored in a "
                        "Windows-1252 text file")},
    };
    for (const auto& c : cases) {
        const TextSaveResult saved = saveTextFile(path("doc.txt"), c.text);
        EXPECT_FALSE(saved.ok);
        EXPECT_EQ(saved.error, c.error);
        EXPECT_EQ(readAll(path("doc.txt")), QByteArray("old"));
    }
    EXPECT_FALSE(saveTextFile(path("new.txt"), QStringLiteral("\u4e2d")).ok);
    // A UTF-8 document holds any character but half a surrogate pair.
    const TextSaveResult half = saveTextFile(path("new.txt"), QStringLiteral("ok\r\n") + QChar(0xD83D), TextEncoding::Utf8);
    EXPECT_EQ(half.error, QStringLiteral("Cannot save: the character \"\uFFFD\" (U+D83D) in line 2 cannot be stored in a "
                                         "UTF-8 text file"));
    EXPECT_FALSE(QFile::exists(path("new.txt")));
}

TEST_F(TextFileTest, LongPathsAndNamesWork)
{
    // A name of the longest length a component may have, deep in a path just under the 4096-byte limit.
    QString folder = m_dir.path();
    while (folder.size() < 3600)
        folder += u'/' + QString(200, u'd');
    ASSERT_TRUE(QDir().mkpath(folder));
    const QString file = folder + u'/' + QString(251, u'n') + QStringLiteral(".txt");
    ASSERT_EQ(QFileInfo(file).fileName().size(), 255);
    const TextSaveResult saved = saveTextFile(file, QStringLiteral("deep\r\n"));
    ASSERT_TRUE(saved.ok) << qPrintable(saved.error);
    const TextLoadResult loaded = loadTextFile(file);
    ASSERT_TRUE(loaded.ok) << qPrintable(loaded.error);
    EXPECT_EQ(loaded.text, QStringLiteral("deep\r\n"));
}

} // namespace
} // namespace quindle

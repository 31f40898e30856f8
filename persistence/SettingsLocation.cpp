#include "persistence/SettingsLocation.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>

#include <cerrno>
#include <cstring>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace quindle {

QString iniNameFor(const QString& programPath)
{
    const qsizetype slash = programPath.lastIndexOf(u'/');
    const qsizetype dot = programPath.lastIndexOf(u'.');
    if (dot > slash)
        return programPath.left(dot) + QStringLiteral(".ini");
    return programPath + QStringLiteral(".ini");
}

FileAccess realFileAccess()
{
    FileAccess fs;
    fs.exists = [](const QString& path) {
        struct stat info {};
        return ::lstat(QFile::encodeName(path).constData(), &info) == 0;
    };
    fs.writable = [](const QString& path) {
        const QByteArray name = QFile::encodeName(path);
        // A folder takes new files only when it can be searched, too.
        const int mode = QFileInfo(path).isDir() ? W_OK | X_OK : W_OK;
        return ::faccessat(AT_FDCWD, name.constData(), mode, AT_EACCESS) == 0;
    };
    return fs;
}

bool underSystemPrefix(const QString& programPath)
{
    return QDir::cleanPath(programPath).startsWith(QStringLiteral("/usr/"));
}

SettingsFiles settingsFilesFor(const QString& programPath, const QString& xdgConfigHome,
                               const QString& xdgConfigDirs, const QString& home, const FileAccess& fs)
{
    const QString name = QStringLiteral("/quindle2/quindle2.ini");
    const QString config =
        QDir::isAbsolutePath(xdgConfigHome) ? xdgConfigHome : home + QStringLiteral("/.config");
    const QString own = QDir::cleanPath(config + name);
    if (underSystemPrefix(programPath)) {
        if (fs.exists(own))
            return {own, own};
        const QString dirs = xdgConfigDirs.isEmpty() ? QStringLiteral("/etc/xdg") : xdgConfigDirs;
        for (const QString& dir : dirs.split(u':', Qt::SkipEmptyParts)) {
            const QString shared = QDir::cleanPath(dir + name);
            if (QDir::isAbsolutePath(dir) && fs.exists(shared))
                return {shared, own};
        }
        return {own, own};
    }
    const QString beside = iniNameFor(programPath);
    const bool besideExists = fs.exists(beside);
    if (besideExists ? fs.writable(beside) : fs.writable(QFileInfo(beside).absolutePath()))
        return {beside, beside};
    return {fs.exists(own) ? own : beside, own};
}

QString makeFoldersFor(const QString& path)
{
    const QString folder = QFileInfo(path).absolutePath();
    // The nearest folder that is there, then each missing one below it in turn.
    QStringList missing;
    for (QString at = folder; !QFileInfo::exists(at) && at != QFileInfo(at).absolutePath();
         at = QFileInfo(at).absolutePath())
        missing.prepend(at);
    for (const QString& at : missing) {
        if (::mkdir(QFile::encodeName(at).constData(), 0700) != 0 && errno != EEXIST)
            return QStringLiteral("Cannot create the folder \"%1\": %2")
                .arg(at, QString::fromLocal8Bit(std::strerror(errno)));
    }
    return QString();
}

} // namespace quindle

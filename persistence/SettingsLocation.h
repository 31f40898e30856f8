#pragma once

#include <QString>

#include <functional>

namespace quindle {

// The settings file of a program file: its extension replaced by ".ini", or ".ini" appended.
QString iniNameFor(const QString& programPath);

// The settings file read at start-up and the one every save writes.
struct SettingsFiles {
    QString read;
    QString write;
    bool operator==(const SettingsFiles&) const = default;
};

// What choosing the settings file asks of the file system.
struct FileAccess {
    // Whether anything is at path.
    std::function<bool(const QString& path)> exists;
    // Whether this user may write the file at path, or make files in the folder at path.
    std::function<bool(const QString& path)> writable;
};

// The file system as it is, for the effective user.
FileAccess realFileAccess();

// The file beside the program (iniNameFor) when that file exists and can be written, or does not
// exist and its folder can be written: a copy of the program that its user owns keeps its
// settings with it. Otherwise (an install under /usr) each user has <config>/quindle2/quindle2.ini,
// where <config> is xdgConfigHome when that is an absolute path and <home>/.config when it is
// unset, empty or relative; until that file exists, the one beside the program (a system-wide
// default that a packager may ship) is read as the starting values.
SettingsFiles settingsFilesFor(const QString& programPath, const QString& xdgConfigHome, const QString& home,
                               const FileAccess& fs);

// Makes the missing folders above the file at path, each with mode 0700: a user's settings are
// no one else's business. Returns "" or why a folder could not be made, naming it.
QString makeFoldersFor(const QString& path);

} // namespace quindle

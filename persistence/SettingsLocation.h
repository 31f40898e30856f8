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

// Whether the program at programPath is installed under a system prefix (/usr, /usr/local), whose
// files belong to the system and are never written by the program, whoever runs it.
bool underSystemPrefix(const QString& programPath);

// Each user's own file is <config>/quindle2/quindle2.ini, where <config> is xdgConfigHome when that
// is an absolute path and <home>/.config when it is unset, empty or relative.
// Under a system prefix every save writes the user's own file (root's too); until it exists, the
// first <dir>/quindle2/quindle2.ini that exists among the absolute folders of xdgConfigDirs
// (':'-separated; /etc/xdg when empty) gives the starting values.
// Elsewhere the file beside the program (iniNameFor) is read and written when it exists and can be
// written, or does not exist and its folder can be written: a copy that its user built or installed
// keeps its settings with it. Otherwise the user's own file is written, and read from the file
// beside the program until it exists.
SettingsFiles settingsFilesFor(const QString& programPath, const QString& xdgConfigHome,
                               const QString& xdgConfigDirs, const QString& home, const FileAccess& fs);

// Makes the missing folders above the file at path, each with mode 0700: a user's settings are
// no one else's business. Returns "" or why a folder could not be made, naming it.
QString makeFoldersFor(const QString& path);

} // namespace quindle

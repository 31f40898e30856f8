#pragma once

#include <QString>

#include <optional>

namespace quindle {

// Reads the command line before the application object exists. --help and --version print to
// standard output and give exit code 0 (1 when the output cannot be written); an unknown option or
// a second argument gives a short error on standard error and 2; a display that cannot be reached
// gives a one-line message and 1, where Qt would abort. nullopt: the program goes on to open its
// window, and file is the absolute path of the file argument, or "".
std::optional<int> handleCommandLine(int argc, char** argv, QString& file);

// Held while the application object is made: a platform that Qt cannot start (a -platform that
// does not exist) ends the program with a one-line message and exit code 1 instead of Qt's abort.
// Qt's other messages meanwhile are held and passed on when the guard ends.
class PlatformStartGuard {
public:
    PlatformStartGuard();
    ~PlatformStartGuard();
    PlatformStartGuard(const PlatformStartGuard&) = delete;
    PlatformStartGuard& operator=(const PlatformStartGuard&) = delete;
};

} // namespace quindle

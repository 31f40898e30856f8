#pragma once

#include <optional>

namespace quindle {

// Reads the command line before the application object exists. --help and --version print to
// standard output and give exit code 0; an unknown option or an argument gives a short error on
// standard error and 2; a display that cannot be reached gives a one-line message and 1, where Qt
// would abort. nullopt: the program goes on to open its window.
std::optional<int> handleCommandLine(int argc, char** argv);

} // namespace quindle

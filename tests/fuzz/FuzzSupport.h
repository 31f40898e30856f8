#pragma once

// What the fuzz targets share: a failure that stops the run with a message libFuzzer keeps beside
// the crashing input, and whole-file reads and writes that fail the same way.

#include <QByteArray>
#include <QFile>
#include <QString>

#include <cstdio>
#include <cstdlib>

namespace quindle::fuzz {

// The target's name for its messages; each target defines it.
extern const char* const kTarget;

[[noreturn]] inline void fail(const char* what)
{
    std::fprintf(stderr, "%s: %s\n", kTarget, what);
    std::abort();
}

inline QByteArray readAll(const QString& path)
{
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly))
        fail("cannot read back a file it wrote");
    return file.readAll();
}

inline void writeAll(const QString& path, const QByteArray& bytes)
{
    QFile file(path);
    if (!file.open(QIODevice::WriteOnly | QIODevice::Truncate) || file.write(bytes) != bytes.size())
        fail("cannot write the input file");
}

} // namespace quindle::fuzz

#pragma once

#include <QByteArray>
#include <QFile>
#include <QString>

namespace quindle::testing {

// The first word of one field of /proc/<pid>/status ("VmRSS", "VmHWM" in KiB, "SigCgt" in hex), or
// empty when there is none.
inline QByteArray procStatus(const QByteArray& name, const QString& pid = QStringLiteral("self"))
{
    QFile status(QStringLiteral("/proc/%1/status").arg(pid));
    if (!status.open(QIODevice::ReadOnly))
        return {};
    for (const QByteArray& line : status.readAll().split('\n')) {
        if (line.startsWith(name + ':'))
            return line.mid(name.size() + 1).trimmed().split(' ').first();
    }
    return {};
}

} // namespace quindle::testing

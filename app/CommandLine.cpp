#include "app/CommandLine.h"

#include <QCommandLineParser>
#include <QCoreApplication>
#include <QDir>
#include <QFile>

#include <cstdio>

#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>
#include <xcb/xcb.h>

namespace quindle {

namespace {

// Whether an X server takes a connection on display ("" for $DISPLAY).
bool canReachX(const QString& display)
{
    const QByteArray name = display.toLocal8Bit();
    xcb_connection_t* connection = xcb_connect(name.isEmpty() ? nullptr : name.constData(), nullptr);
    const bool reached = xcb_connection_has_error(connection) == 0;
    xcb_disconnect(connection);
    return reached;
}

// Whether a Wayland compositor listens on its socket: $WAYLAND_DISPLAY (default "wayland-0") in
// $XDG_RUNTIME_DIR, or the absolute path it holds.
bool canReachWayland()
{
    QString socket = qEnvironmentVariable("WAYLAND_DISPLAY", QStringLiteral("wayland-0"));
    if (!QDir::isAbsolutePath(socket)) {
        const QString runtime = qEnvironmentVariable("XDG_RUNTIME_DIR");
        if (runtime.isEmpty())
            return false;
        socket = runtime + u'/' + socket;
    }
    const QByteArray path = QFile::encodeName(socket);
    sockaddr_un address{};
    if (size_t(path.size()) >= sizeof address.sun_path)
        return false;
    address.sun_family = AF_UNIX;
    std::copy(path.begin(), path.end(), address.sun_path);
    const int fd = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    const bool reached = fd >= 0 && ::connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0;
    if (fd >= 0)
        ::close(fd);
    return reached;
}

// Qt ends the program with an abort when none of its window-system platforms reaches a display.
// The two that need a display server are tried here first; any other (offscreen, vnc, eglfs) is
// left to Qt. The platforms are those of -platform or QT_QPA_PLATFORM, a ';'-separated list, or
// Qt's default: Wayland first in a Wayland session, then X11.
bool canReachDisplay(const QString& platformOption, const QString& displayOption)
{
    QString platforms = platformOption.isEmpty() ? qEnvironmentVariable("QT_QPA_PLATFORM") : platformOption;
    if (platforms.isEmpty())
        platforms = qEnvironmentVariable("XDG_SESSION_TYPE") == QStringLiteral("wayland")
                        ? QStringLiteral("wayland;xcb")
                        : QStringLiteral("xcb");
    for (const QString& platform : platforms.split(u';', Qt::SkipEmptyParts)) {
        const QString name = platform.section(u':', 0, 0).trimmed();
        if (name == QStringLiteral("xcb")                ? canReachX(displayOption)
            : name.startsWith(QStringLiteral("wayland")) ? canReachWayland()
                                                         : true)
            return true;
    }
    return false;
}

void print(std::FILE* stream, const QString& text)
{
    std::fputs(text.toLocal8Bit().constData(), stream);
}

} // namespace

std::optional<int> handleCommandLine(int argc, char** argv)
{
    QStringList arguments;
    for (int i = 0; i < argc; ++i)
        arguments << QString::fromLocal8Bit(argv[i]);
    const QString program = QStringLiteral("quindle2");

    QCommandLineParser parser;
    parser.setSingleDashWordOptionMode(QCommandLineParser::ParseAsLongOptions);
    const QCommandLineOption help(QStringList{QStringLiteral("h"), QStringLiteral("help")});
    const QCommandLineOption version(QStringList{QStringLiteral("v"), QStringLiteral("version")});
    parser.addOption(help);
    parser.addOption(version);
    // Qt's own options, taken by the application object: accepted here too.
    const QCommandLineOption platform(QStringLiteral("platform"), QString(), QStringLiteral("name"));
    const QCommandLineOption display(QStringLiteral("display"), QString(), QStringLiteral("display"));
    parser.addOption(platform);
    parser.addOption(display);
    for (const char* name : {"platformpluginpath", "platformtheme", "plugin", "qwindowgeometry", "qwindowtitle",
                             "qwindowicon", "style", "stylesheet", "session", "qmljsdebugger", "geometry",
                             "title", "name", "visual", "ncols", "im", "inputstyle"})
        parser.addOption(QCommandLineOption(QString::fromLatin1(name), QString(), QStringLiteral("value")));
    for (const char* name : {"reverse", "widgetcount", "sync", "nograb", "dograb", "cmap", "noxim"})
        parser.addOption(QCommandLineOption(QString::fromLatin1(name)));

    QString error;
    if (!parser.parse(arguments))
        error = parser.errorText();
    else if (!parser.positionalArguments().isEmpty())
        error = QStringLiteral("Unexpected argument '%1'.").arg(parser.positionalArguments().constFirst());
    if (!error.isEmpty()) {
        print(stderr, QStringLiteral("%1: %2\nTry '%1 --help'.\n").arg(program, error));
        return 2;
    }
    if (parser.isSet(help)) {
        print(stdout,
              QStringLiteral("Usage: %1 [options]\nPractise receiving Morse code: random groups or your "
                             "own text.\n\nOptions:\n"
                             "  -h, --help     Show this help and exit.\n"
                             "  -v, --version  Show the version and exit.\n\n"
                             "Qt's options (-platform, -display, -style ...) are accepted as well.\n")
                  .arg(program));
        return 0;
    }
    if (parser.isSet(version)) {
        print(stdout, QStringLiteral("%1 %2\n").arg(program, QStringLiteral(QUINDLE_VERSION)));
        return 0;
    }
    if (!canReachDisplay(parser.value(platform), parser.value(display))) {
        print(stderr,
              QStringLiteral("%1: cannot reach a display (DISPLAY=\"%2\", WAYLAND_DISPLAY=\"%3\"): the "
                             "program needs a graphical session\n")
                  .arg(program, qEnvironmentVariable("DISPLAY"), qEnvironmentVariable("WAYLAND_DISPLAY")));
        return 1;
    }
    return std::nullopt;
}

} // namespace quindle

#include "app/CommandLine.h"

#include <QCommandLineParser>
#include <QCoreApplication>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QList>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>

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
    address.sun_family = AF_UNIX;
    // A path that does not fit (or holds a NUL) names no socket that can be reached.
    const int length = std::snprintf(address.sun_path, sizeof address.sun_path, "%s", path.constData());
    if (length != path.size())
        return false;
    const int fd = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    const bool reached = fd >= 0 && ::connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0;
    if (fd >= 0)
        ::close(fd);
    return reached;
}

// Qt ends the program with an abort when none of its window-system platforms reaches a display.
// The two that need a display server are tried here first; any other (offscreen, vnc, eglfs) is
// left to Qt. The platforms are those of -platform or QT_QPA_PLATFORM, a ';'-separated list, or
// Qt's default: Wayland first in a Wayland session, then X11. Returns "" or why no display can be
// reached.
QString displayProblem(const QString& platformOption, const QString& displayOption)
{
    QString platforms = platformOption.isEmpty() ? qEnvironmentVariable("QT_QPA_PLATFORM") : platformOption;
    const bool chosenByQt = platforms.isEmpty();
    if (chosenByQt)
        platforms = qEnvironmentVariable("XDG_SESSION_TYPE") == QStringLiteral("wayland")
                        ? QStringLiteral("wayland;xcb")
                        : QStringLiteral("xcb");
    for (const QString& platform : platforms.split(u';', Qt::SkipEmptyParts)) {
        const QString name = platform.section(u':', 0, 0).trimmed();
        if (name == QStringLiteral("xcb")                ? canReachX(displayOption)
            : name.startsWith(QStringLiteral("wayland")) ? canReachWayland()
                                                         : true)
            return QString();
    }
    const QString display = displayOption.isEmpty() ? qEnvironmentVariable("DISPLAY") : displayOption;
    const QString wayland = qEnvironmentVariable("WAYLAND_DISPLAY");
    if (chosenByQt && platforms == QStringLiteral("xcb") && canReachWayland())
        return QStringLiteral("cannot reach an X display (DISPLAY=\"%1\"): a Wayland compositor runs "
                              "(WAYLAND_DISPLAY=\"%2\"), but Qt chose xcb, as XDG_SESSION_TYPE is not "
                              "\"wayland\"; set QT_QPA_PLATFORM=wayland to use it")
            .arg(display, wayland);
    return QStringLiteral("cannot reach a display (DISPLAY=\"%1\", WAYLAND_DISPLAY=\"%2\"): the program needs "
                          "a graphical session")
        .arg(display, wayland);
}

void print(std::FILE* stream, const QString& text)
{
    const QByteArray bytes = text.toLocal8Bit();
    std::fprintf(stream, "%.*s", int(bytes.size()), bytes.constData());
}

// The argument as typed that holds the unknown option name (--foo=bar for "foo"), else the name.
QString typedOption(const QStringList& arguments, const QString& name)
{
    for (const QString& argument : arguments.mid(1)) {
        if (argument == QStringLiteral("--"))
            break;
        const QString bare = argument.startsWith(QStringLiteral("--")) ? argument.mid(2) : argument.mid(1);
        if (argument.startsWith(u'-') && bare.section(u'=', 0, 0) == name)
            return argument;
    }
    return name;
}

QtMessageHandler g_qtHandler = nullptr;
struct HeldMessage {
    QtMsgType type;
    QByteArray category;
    QString text;
};
QList<HeldMessage>* g_held = nullptr;

void holdOrEnd(QtMsgType type, const QMessageLogContext& context, const QString& text)
{
    if (type != QtFatalMsg) {
        g_held->append({type, QByteArray(context.category), text});
        return;
    }
    // Qt's text ends with the list of the plugins that it has; its last warning names the cause.
    QString line =
        QStringLiteral("quindle2: Qt could not start its window-system platform (-platform, QT_QPA_PLATFORM)");
    if (!g_held->isEmpty())
        line += QStringLiteral(": ") + g_held->constLast().text.simplified();
    const QString intro = QStringLiteral("Available platform plugins are:");
    if (const qsizetype at = text.indexOf(intro); at >= 0) {
        QString available = text.mid(at + intro.size()).simplified();
        if (available.endsWith(u'.'))
            available.chop(1);
        line += QStringLiteral("; it has: ") + available;
    }
    print(stderr, line + u'\n');
    std::fflush(stderr);
    std::_Exit(1);
}

} // namespace

PlatformStartGuard::PlatformStartGuard()
{
    g_held = new QList<HeldMessage>;
    g_qtHandler = qInstallMessageHandler(holdOrEnd);
}

PlatformStartGuard::~PlatformStartGuard()
{
    qInstallMessageHandler(g_qtHandler);
    for (const HeldMessage& message : *g_held)
        if (g_qtHandler)
            g_qtHandler(message.type, QMessageLogContext(nullptr, 0, nullptr, message.category.constData()),
                        message.text);
    delete g_held;
    g_held = nullptr;
}

std::optional<int> handleCommandLine(int argc, char** argv, QString& file)
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
        error = parser.unknownOptionNames().isEmpty()
                    ? parser.errorText()
                    : QStringLiteral("Unknown option '%1'.")
                          .arg(typedOption(arguments, parser.unknownOptionNames().constFirst()));
    else if (parser.positionalArguments().size() > 1)
        error = QStringLiteral("Unexpected argument '%1': one file at most.").arg(parser.positionalArguments().at(1));
    if (!error.isEmpty()) {
        print(stderr, QStringLiteral("%1: %2\nTry '%1 --help'.\n").arg(program, error));
        return 2;
    }
    if (parser.isSet(help) || parser.isSet(version)) {
        if (parser.isSet(help))
            print(stdout, QStringLiteral("Usage: %1 [options] [file]\nPractise receiving Morse code: random "
                                         "groups or your own text.\nA file is opened as File > Open opens it: as UTF-8 "
                                         "when it starts with a UTF-8\nbyte-order mark or holds valid multi-byte "
                                         "UTF-8, otherwise as Windows-1252.\n\nOptions:\n"
                                         "  -h, --help     Show this help and exit.\n"
                                         "  -v, --version  Show the version and exit.\n\n"
                                         "Qt's options (-platform, -display, -style ...) are accepted as well.\n")
                              .arg(program));
        else
            print(stdout, QStringLiteral("%1 %2\n").arg(program, QStringLiteral(QUINDLE_VERSION)));
        // A full disk or a closed pipe must not pass for success.
        if (std::fflush(stdout) != 0 || std::ferror(stdout)) {
            print(stderr, QStringLiteral("%1: cannot write to standard output: %2\n")
                              .arg(program, QString::fromLocal8Bit(std::strerror(errno))));
            return 1;
        }
        return 0;
    }
    if (const QString problem = displayProblem(parser.value(platform), parser.value(display)); !problem.isEmpty()) {
        print(stderr, QStringLiteral("%1: %2\n").arg(program, problem));
        return 1;
    }
    if (!parser.positionalArguments().isEmpty())
        file = QFileInfo(parser.positionalArguments().constFirst()).absoluteFilePath();
    return std::nullopt;
}

} // namespace quindle

// Starts the real program on a real X server (Xvfb) under a window manager (openbox), both started
// and ended here, waits for its main window, checks that its frame is centred and closes it the
// way a window manager does, by WM_DELETE_WINDOW.
#include "tests/support/ProcStatus.h"

#include <QDir>
#include <QElapsedTimer>
#include <QProcess>
#include <QStandardPaths>
#include <QTemporaryDir>
#include <QThread>

#include <gtest/gtest.h>

#include <algorithm>
#include <csignal>
#include <cstdlib>
#include <string>

// Last: Xlib defines macros (None, Bool, Status) that other headers use as names.
#include <X11/Xlib.h>

namespace {

// Polls for a condition without asserting any time: the limit only ends a hung wait.
template <typename Condition>
bool waitFor(Condition condition, int limitMs = 30000)
{
    QElapsedTimer timer;
    timer.start();
    while (!condition()) {
        if (timer.elapsed() > limitMs)
            return false;
        QThread::msleep(20);
    }
    return true;
}

Window findWindowNamed(Display* display, Window window, const char* name)
{
    char* windowName = nullptr;
    if (XFetchName(display, window, &windowName) && windowName) {
        const bool match = std::string(windowName) == name;
        XFree(windowName);
        if (match)
            return window;
    }
    Window root = 0, parent = 0;
    Window* children = nullptr;
    unsigned count = 0;
    if (!XQueryTree(display, window, &root, &parent, &children, &count))
        return 0;
    Window found = 0;
    for (unsigned i = 0; i < count && !found; ++i)
        found = findWindowNamed(display, children[i], name);
    if (children)
        XFree(children);
    return found;
}

class XServer {
public:
    XServer()
    {
        // A display number nobody uses: try until one starts.
        for (int number = 90; number < 110 && !m_display; ++number) {
            if (QFile::exists(QStringLiteral("/tmp/.X11-unix/X%1").arg(number)))
                continue;
            m_process.start(QStringLiteral("Xvfb"), {QStringLiteral(":%1").arg(number), QStringLiteral("-screen"),
                                                     QStringLiteral("0"), QStringLiteral("1024x768x24"),
                                                     QStringLiteral("-nolisten"), QStringLiteral("tcp")});
            if (!m_process.waitForStarted())
                return;
            const QByteArray name = ":" + QByteArray::number(number);
            waitFor([&] {
                m_display = XOpenDisplay(name.constData());
                return m_display || m_process.state() != QProcess::Running;
            });
            if (m_display)
                m_name = QString::fromLatin1(name);
            else
                m_process.waitForFinished();
        }
    }
    ~XServer()
    {
        if (m_display)
            XCloseDisplay(m_display);
        if (m_process.state() == QProcess::Running) {
            ::kill(pid_t(m_process.processId()), SIGTERM);
            m_process.waitForFinished();
        }
    }
    Display* display() const { return m_display; }
    QString name() const { return m_name; }

private:
    QProcess m_process;
    Display* m_display = nullptr;
    QString m_name;
};

TEST(ProgramSmoke, StartsShowsItsWindowAndClosesWithExitCodeZero)
{
    const char* binary = std::getenv("QUINDLE_BINARY");
    ASSERT_NE(binary, nullptr) << "QUINDLE_BINARY names the program under test";
    if (QStandardPaths::findExecutable(QStringLiteral("Xvfb")).isEmpty())
        GTEST_SKIP() << "Xvfb is not installed";
    if (QStandardPaths::findExecutable(QStringLiteral("openbox")).isEmpty())
        GTEST_SKIP() << "openbox is not installed";

    XServer x;
    ASSERT_NE(x.display(), nullptr);

    // The program keeps its settings beside itself: run a copy in a folder of its own.
    QTemporaryDir dir;
    const QString program = dir.filePath(QStringLiteral("quindle2"));
    ASSERT_TRUE(QFile::copy(QString::fromLocal8Bit(binary), program));

    QProcess app;
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    env.insert(QStringLiteral("DISPLAY"), x.name());
    env.insert(QStringLiteral("QT_QPA_PLATFORM"), QStringLiteral("xcb"));
    // No sound server here: the program must start all the same.
    env.insert(QStringLiteral("PULSE_SERVER"), QStringLiteral("unix:") + dir.filePath(QStringLiteral("none")));
    QProcess windowManager;
    windowManager.setProcessEnvironment(env);
    windowManager.start(QStringLiteral("openbox"), {});
    // It manages the screen once it has announced itself on the root window.
    const Atom check = XInternAtom(x.display(), "_NET_SUPPORTING_WM_CHECK", False);
    ASSERT_TRUE(waitFor([&] {
        int count = 0;
        Atom* atoms = XListProperties(x.display(), DefaultRootWindow(x.display()), &count);
        const bool managed = std::find(atoms, atoms + count, check) != atoms + count;
        XFree(atoms);
        return managed;
    }));
    app.setProcessEnvironment(env);
    app.start(program, {});
    ASSERT_TRUE(app.waitForStarted());

    Window window = 0;
    ASSERT_TRUE(waitFor([&] {
        window = findWindowNamed(x.display(), DefaultRootWindow(x.display()), "QuindleII");
        return window != 0 || app.state() != QProcess::Running;
    }));
    ASSERT_NE(window, Window(0)) << app.readAllStandardError().toStdString();

    XWindowAttributes attributes{};
    XGetWindowAttributes(x.display(), window, &attributes);
    EXPECT_EQ(attributes.width, 541);
    // The outer frame, title bar included, is centred on the 1024 x 768 screen, within 2 pixels.
    XWindowAttributes frame{};
    EXPECT_TRUE(waitFor([&] {
        Window top = window, root = 0, parent = 0, *children = nullptr;
        unsigned count = 0;
        for (; XQueryTree(x.display(), top, &root, &parent, &children, &count) && parent != root;
             top = parent)
            XFree(children);
        XFree(children);
        XGetWindowAttributes(x.display(), top, &frame);
        return std::abs(2 * frame.x + frame.width - 1024) <= 4 &&
               std::abs(2 * frame.y + frame.height - 768) <= 4;
    })) << "frame "
        << frame.width << "x" << frame.height << "+" << frame.x << "+" << frame.y;

    Atom protocols = XInternAtom(x.display(), "WM_PROTOCOLS", False);
    Atom deleteWindow = XInternAtom(x.display(), "WM_DELETE_WINDOW", False);
    XEvent event{};
    event.xclient.type = ClientMessage;
    event.xclient.window = window;
    event.xclient.message_type = protocols;
    event.xclient.format = 32;
    event.xclient.data.l[0] = long(deleteWindow);
    event.xclient.data.l[1] = CurrentTime;
    XSendEvent(x.display(), window, False, NoEventMask, &event);
    XFlush(x.display());

    ASSERT_TRUE(app.waitForFinished(60000)) << "the program did not end after its window was closed";
    EXPECT_EQ(app.exitStatus(), QProcess::NormalExit);
    EXPECT_EQ(app.exitCode(), 0) << app.readAllStandardError().toStdString();
    EXPECT_FALSE(QFile::exists(dir.filePath(QStringLiteral("quindle2.ini")))) << "closing without the option saves nothing";
    ::kill(pid_t(windowManager.processId()), SIGTERM);
    windowManager.waitForFinished();
}

// Whether the process pid has a handler of its own for signal (SigCgt in /proc/<pid>/status).
bool catches(qint64 pid, int signal)
{
    return (quindle::testing::procStatus("SigCgt", QString::number(pid)).toULongLong(nullptr, 16) >> (signal - 1)) & 1;
}

// A logout's SIGTERM, a closed terminal's SIGHUP and Ctrl+C's SIGINT close the window as its close
// box does: the settings are saved when Save Settings on Close is ticked, no temporary file of
// the save is left, and the program ends with 128 and the signal's number, as a shell reports it.
TEST(ProgramSignals, TermHupAndIntCloseTheWindowAsTheCloseBoxDoes)
{
    const char* binary = std::getenv("QUINDLE_BINARY");
    ASSERT_NE(binary, nullptr) << "QUINDLE_BINARY names the program under test";
    for (const int signal : {SIGTERM, SIGHUP, SIGINT}) {
        SCOPED_TRACE(signal);
        // The program keeps its settings beside itself: a copy in a folder of its own.
        QTemporaryDir dir;
        const QString program = dir.filePath(QStringLiteral("quindle2"));
        const QString settings = dir.filePath(QStringLiteral("quindle2.ini"));
        ASSERT_TRUE(QFile::copy(QString::fromLocal8Bit(binary), program));
        {
            QFile file(settings);
            ASSERT_TRUE(file.open(QIODevice::WriteOnly));
            file.write("[Morse]\r\nSettings=1\r\nFreq=900\r\n");
        }
        QProcess app;
        QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
        env.insert(QStringLiteral("QT_QPA_PLATFORM"), QStringLiteral("offscreen"));
        env.insert(QStringLiteral("PULSE_SERVER"), QStringLiteral("unix:") + dir.filePath(QStringLiteral("none")));
        app.setProcessEnvironment(env);
        app.start(program, {});
        ASSERT_TRUE(app.waitForStarted());
        // Sent once the program takes it: before, its default action would end the program.
        EXPECT_TRUE(waitFor([&] { return catches(app.processId(), signal) || app.state() != QProcess::Running; },
                            10000))
            << "the program does not take the signal";
        ::kill(pid_t(app.processId()), signal);
        ASSERT_TRUE(app.waitForFinished(30000)) << "the program did not end after the signal";
        EXPECT_EQ(app.exitStatus(), QProcess::NormalExit);
        EXPECT_EQ(app.exitCode(), 128 + signal) << app.readAllStandardError().toStdString();
        QFile saved(settings);
        ASSERT_TRUE(saved.open(QIODevice::ReadOnly));
        const QByteArray bytes = saved.readAll();
        EXPECT_TRUE(bytes.startsWith("[Morse]\r\nSettings=1\r\nFreq=900\r\nSpeed=100\r\n")) << bytes.toStdString();
        EXPECT_EQ(QDir(dir.path()).entryList(QDir::Files | QDir::Hidden),
                  (QStringList{QStringLiteral("quindle2"), QStringLiteral("quindle2.ini")}));
    }
}

// The command line of the built program, without a window: what it prints and its exit code.
TEST(ProgramCommandLine, HelpAndVersionPrintAndEndWrongArgumentsAndNoDisplayFailBriefly)
{
    const char* binary = std::getenv("QUINDLE_BINARY");
    ASSERT_NE(binary, nullptr) << "QUINDLE_BINARY names the program under test";
    QTemporaryDir runtime;
    const struct {
        QStringList arguments;
        const char* platform; // QT_QPA_PLATFORM; DISPLAY is :1999 (no server) and no Wayland
        int exitCode;
        const char* output; // the start of standard output
        const char* error;  // the start of standard error
        bool fullOutput = false; // standard output is /dev/full
    } cases[] = {
        {{"--help"}, "xcb", 0, "Usage: quindle2 [options] [file]\n", ""},
        {{"-h", "-platform", "offscreen"}, "", 0, "Usage: quindle2 [options] [file]\n", ""},
        {{"--version"}, "xcb", 0, "quindle2 " QUINDLE_VERSION "\n", ""},
        {{"--help"}, "xcb", 1, "", "quindle2: cannot write to standard output: No space left on device\n", true},
        {{"--bogus=x"}, "offscreen", 2, "", "quindle2: Unknown option '--bogus=x'.\nTry 'quindle2 --help'.\n"},
        // One file is taken (then the display is looked for); a second is an error.
        {{"file.txt"}, "xcb", 1, "", "quindle2: cannot reach a display"},
        {{"a.txt", "b.txt"}, "offscreen", 2, "", "quindle2: Unexpected argument 'b.txt'"},
        {{"-platform", "nosuch"}, "", 1, "", "quindle2: Qt could not start its window-system platform"},
        {{}, "xcb", 1, "", "quindle2: cannot reach a display (DISPLAY=\":1999\""},
        {{}, "", 1, "", "quindle2: cannot reach a display"},
        {{"-platform", "wayland;xcb"}, "offscreen", 1, "", "quindle2: cannot reach a display"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.arguments.join(u' ').toStdString() + " on " + c.platform);
        QProcess program;
        QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
        env.insert(QStringLiteral("QT_QPA_PLATFORM"), QString::fromLatin1(c.platform));
        env.insert(QStringLiteral("DISPLAY"), QStringLiteral(":1999"));
        env.insert(QStringLiteral("XDG_SESSION_TYPE"), QStringLiteral("wayland"));
        env.insert(QStringLiteral("XDG_RUNTIME_DIR"), runtime.path());
        env.remove(QStringLiteral("WAYLAND_DISPLAY"));
        program.setProcessEnvironment(env);
        if (c.fullOutput)
            program.setStandardOutputFile(QStringLiteral("/dev/full"));
        program.start(QString::fromLocal8Bit(binary), c.arguments);
        ASSERT_TRUE(program.waitForFinished(60000));
        const QByteArray output = program.readAllStandardOutput();
        const QByteArray error = program.readAllStandardError();
        EXPECT_EQ(program.exitStatus(), QProcess::NormalExit);
        EXPECT_EQ(program.exitCode(), c.exitCode) << error.toStdString();
        EXPECT_TRUE(output.startsWith(c.output)) << output.toStdString();
        EXPECT_TRUE(error.startsWith(c.error)) << error.toStdString();
        // An error and a hint to --help; a missing display in one line.
        EXPECT_EQ(error.count('\n'), c.exitCode == 2 ? 2 : c.exitCode) << error.toStdString();
    }
}

} // namespace

// Program entry: the main window, then the hidden About and Help windows, then the message loop.
#include "app/CommandLine.h"
#include "app/Fonts.h"
#include "app/TerminationSignals.h"
#include "app/Unit1.h"
#include "app/Unit2.h"
#include "app/Unit3.h"
#include "clock/Clock.h"
#include "tone/AlsaStream.h"
#include "tone/AlsaWaveOut.h"
#include "tone/SpeakerSinks.h"

#include <QApplication>
#include <QIcon>
#include <QSessionManager>

#include <cstdlib>
#include <optional>

int main(int argc, char** argv)
{
    using namespace quindle;

    QString file;
    if (const std::optional<int> exitCode = handleCommandLine(argc, argv, file))
        return *exitCode;

    std::optional<PlatformStartGuard> platformStart(std::in_place);
    QApplication app(argc, argv);
    platformStart.reset();
    QApplication::setApplicationName(QStringLiteral("quindle2"));
    QApplication::setApplicationVersion(QStringLiteral(QUINDLE_VERSION));
    // The desktop entry and the metainfo carry this id; Wayland compositors match windows by it.
    QGuiApplication::setDesktopFileName(QStringLiteral(QUINDLE_APP_ID));
    QApplication::setWindowIcon(QIcon(QStringLiteral(":/icons/quindle2.svg")));
    installFontSubstitutions();
    // The main window decides when the program ends (after a run that was going has returned).
    QApplication::setQuitOnLastWindowClosed(false);

    RealClock clock;
    AlsaStream stream;
    AlsaWaveOut waveOut(stream, clock);
    // Both routes look for their device when they first sound, so nothing here waits for one.
    SpeakerRouteSink speaker(stream, clock);

    MorsePlatform platform;
    platform.clock = &clock;
    platform.speakerSink = &speaker;
    platform.waveOut = &waveOut;
    platform.nextCharacterFrom = [&stream] { return stream.nextCharacterAtNs(); };

    TMorse window(platform);
    TForm2 form2;
    TForm3 form3;
    window.setForms(&form2, &form3);
    // A late wake-up that the active output absorbs keeps the keying's schedule: on the stream
    // (the sound card, or the speaker played on it) what the stream's lead allows; a speaker that
    // sounds at once absorbs nothing.
    clock.setLatenessBudget([&window, &stream, &speaker]() -> int64_t {
        if (window.isChecked(MenuOption::Soundcard))
            return stream.absorbableNs();
        return window.isChecked(MenuOption::Speaker) ? speaker.absorbableNs() : 0;
    });
    QObject::connect(&window, &TMorse::finished, &app, [] { QCoreApplication::exit(0); });
    // Logging off runs the same closing steps as the close box, and so do SIGTERM, SIGHUP and
    // SIGINT, taken in the message loop so that none cuts a save short.
    QObject::connect(&app, &QGuiApplication::commitDataRequest, &window,
                     [&window](QSessionManager&) { window.close(); });
    const TerminationSignals terminationSignals([&window](int) { window.close(); });

    window.show();
    // Opened from the message loop, so that its questions and errors stand over the shown window.
    if (!file.isEmpty())
        QMetaObject::invokeMethod(&window, [&window, file] { window.openFile(file); }, Qt::QueuedConnection);
    const int status = QApplication::exec();
    // The window goes before the clock; so does the rule that asks it.
    clock.setLatenessBudget({});
    // The settings are saved by now. A frozen sound server can hold the device's close for a
    // minute: past a short wait the program ends without it, and without the destructors, which
    // would release what the sound thread still uses. Nothing of the program's own is lost.
    // Ended by a signal: 128 and its number, as a shell reports it.
    const int exitCode = terminationSignals.first() != 0 ? 128 + terminationSignals.first() : status;
    if (!stream.shutdown())
        std::quick_exit(exitCode);
    return exitCode;
}

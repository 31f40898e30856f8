// Program entry: the main window, then the hidden About and Help windows, then the message loop.
#include "app/CommandLine.h"
#include "app/Fonts.h"
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

int main(int argc, char** argv)
{
    using namespace quindle;

    if (const std::optional<int> exitCode = handleCommandLine(argc, argv))
        return *exitCode;

    QApplication app(argc, argv);
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

    TMorse window(platform);
    TForm2 form2;
    TForm3 form3;
    window.setForms(&form2, &form3);
    QObject::connect(&window, &TMorse::finished, &app, [] { QCoreApplication::exit(0); });
    // Logging off runs the same closing steps as the close box.
    QObject::connect(&app, &QGuiApplication::commitDataRequest, &window,
                     [&window](QSessionManager&) { window.close(); });

    window.show();
    return QApplication::exec();
}

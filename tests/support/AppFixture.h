#pragma once

#include "tests/support/CaptureWaveOut.h"
#include "tests/support/RecordingSpeakerSink.h"
#include "tests/support/RecordingToneRoutes.h"
#include "tests/support/ScriptedDialogs.h"
#include "tests/support/VirtualClock.h"

#include <QTemporaryDir>

#include <gtest/gtest.h>

#include <memory>

namespace quindle {

class TMorse;

// The real main window on the virtual clock, with scripted dialogs, a recording speaker sink, the
// capture wave-out back-end and its settings file in a temporary folder. recordTones() replaces
// the tone output by recording routes, for tests that check what was keyed rather than how.
class AppFixture : public ::testing::Test {
protected:
    AppFixture();
    ~AppFixture() override;

    // Made on first use, so that a test can write the settings file before.
    TMorse& morse();
    void showMorse();
    QString iniPath() const;
    void writeIni(const QByteArray& bytes);
    QByteArray readIni() const;
    // Closes and destroys the window, e.g. to start it again on the same settings file.
    void destroyMorse();
    // The windows made from now on key into `routes`; call before morse().
    void recordTones() { m_recordTones = true; }

    VirtualClock clock;
    ScriptedDialogs dialogs;
    RecordingSpeakerSink speaker{clock};
    CaptureWaveOut waveOut{clock};
    RecordingToneRoutes routes{clock};
    QTemporaryDir dir;
    // When set, the windows made from now on read their settings from, and save them to, these.
    QString iniReadPath, iniWritePath;

private:
    bool m_recordTones = false;
    std::unique_ptr<TMorse> m_morse;
};

} // namespace quindle

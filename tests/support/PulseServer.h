#pragma once

// A real PulseAudio server with one null sink "q" (22540 frames/s, mono, s16le) in a temporary
// folder, for tests of the ALSA back-end: clients reach it through PULSE_SERVER, and the sink's
// monitor is recorded with parec. Processes are ended by their PID.

#include "tests/support/SoundServer.h"

#include <QTemporaryDir>

namespace quindle::test {

class PulseServer final : public SoundServer {
public:
    PulseServer();
    ~PulseServer() override;

    // Whether pulseaudio and parec are installed.
    static bool installed();

    QString name() const override { return "PulseAudio"; }
    // Ready once the socket accepts clients.
    bool start(QString* error = nullptr) override;
    void kill() override;
    bool running() const override;
    // Stops the server (SIGSTOP) or lets it go on (SIGCONT), by its PID: a frozen server.
    void freeze(bool frozen);

    // The value for PULSE_SERVER; exportToEnvironment() sets it in this process.
    QString server() const;
    void exportToEnvironment() const override;

    bool startRecording(QString* error = nullptr) override;
    std::vector<int16_t> stopRecording() override;

private:
    bool programsInstalled() const override { return installed(); }

    QTemporaryDir m_dir;
    std::unique_ptr<QProcess> m_server;
    std::unique_ptr<QProcess> m_recorder;
};

} // namespace quindle::test

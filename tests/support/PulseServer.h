#pragma once

// A real PulseAudio server with one null sink "q" (22540 frames/s, mono, s16le) in a temporary
// folder, for tests of the ALSA back-end: clients reach it through PULSE_SERVER, and the sink's
// monitor is recorded with parec. Processes are ended by their PID.

#include <QProcess>
#include <QString>
#include <QTemporaryDir>

#include <cstdint>
#include <memory>
#include <vector>

namespace quindle::test {

class PulseServer {
public:
    static constexpr unsigned kRate = 22540; // [frames/s]

    PulseServer();
    ~PulseServer();

    // Whether pulseaudio and parec are installed.
    static bool installed();

    // Starts the server (again, on the same socket, after kill()) and waits until it accepts
    // clients. False with a reason when it does not come up.
    bool start(QString* error = nullptr);
    // Ends the server at once (SIGKILL), as a crash would.
    void kill();
    bool running() const;

    // The value for PULSE_SERVER; exportToEnvironment() sets it in this process, before ALSA
    // looks for its "default" device.
    QString server() const;
    void exportToEnvironment() const;

    // Records the sink's monitor from now on, until stopRecording(), which returns the samples.
    bool startRecording(QString* error = nullptr);
    std::vector<int16_t> stopRecording();

private:
    QTemporaryDir m_dir;
    std::unique_ptr<QProcess> m_server;
    std::unique_ptr<QProcess> m_recorder;
};

} // namespace quindle::test

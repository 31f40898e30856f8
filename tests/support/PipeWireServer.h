#pragma once

// A headless PipeWire in a temporary folder: its own session bus (WirePlumber needs one),
// pipewire, wireplumber and pipewire-pulse, with the graph clocked at kRate so that nothing is
// resampled, and a null sink "probe" that drives the graph. ALSA's "default" reaches it through
// pipewire-pulse and PULSE_SERVER; the sink is recorded with pw-record. No hardware is touched:
// the device monitors are off.

#include "tests/support/SoundServer.h"

#include <QTemporaryDir>

namespace quindle::test {

class PipeWireServer final : public SoundServer {
public:
    PipeWireServer();
    ~PipeWireServer() override;

    static bool installed();

    QString name() const override { return "PipeWire"; }
    // Ready once the sink exists and is the default one. The bus outlives kill().
    bool start(QString* error = nullptr) override;
    void kill() override;
    bool running() const override;
    void exportToEnvironment() const override;
    // Ready once the recorder's stream runs.
    bool startRecording(QString* error = nullptr) override;
    std::vector<int16_t> stopRecording() override;

private:
    bool programsInstalled() const override { return installed(); }
    std::unique_ptr<QProcess> launch(const QString& program, const QStringList& arguments,
                                     const QString& log) const;
    // Runs a short command to its end; whether it succeeded within timeoutMs.
    bool query(const QString& program, const QStringList& arguments, int timeoutMs,
               QByteArray* output = nullptr) const;
    QString logTail() const;

    QTemporaryDir m_dir;
    std::unique_ptr<QProcess> m_bus;
    std::unique_ptr<QProcess> m_pipewire;
    std::unique_ptr<QProcess> m_sessionManager;
    std::unique_ptr<QProcess> m_pulse;
    std::unique_ptr<QProcess> m_recorder;
};

} // namespace quindle::test

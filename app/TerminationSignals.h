#pragma once

#include <QObject>

#include <functional>

class QSocketNotifier;

namespace quindle {

// SIGTERM, SIGHUP and SIGINT (a logout, a closed terminal, Ctrl+C, kill), taken in the message
// loop: the handler only writes the signal's number to a pipe of the process's own, and received
// is called with it from the loop, between two steps of the program. So a signal never cuts a step
// short (a save, with its temporary file left behind), and received can close the window as its
// close box does. Only one object at a time; its destructor gives the signals their default
// action back.
class TerminationSignals : public QObject {
public:
    explicit TerminationSignals(std::function<void(int signal)> received);
    ~TerminationSignals() override;
    TerminationSignals(const TerminationSignals&) = delete;
    TerminationSignals& operator=(const TerminationSignals&) = delete;

    // The first signal taken, or 0.
    int first() const { return m_first; }

private:
    void readSignals();

    std::function<void(int)> m_received;
    QSocketNotifier* m_notifier = nullptr;
    int m_first = 0;
};

} // namespace quindle

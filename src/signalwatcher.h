#pragma once

#include <QList>
#include <QObject>

class QSocketNotifier;

// Turns termination signals into a clean return from the event loop. The handler itself only
// writes the signal number into a pipe; the event loop prints the farewell line and quits.
// Crash signals (SIGSEGV, SIGABRT) print the same line, restore the default action and
// re-raise, so the process dies with that signal and the service manager restarts it.
class signalWatcher : public QObject {
    Q_OBJECT
public:
    // Installs the handler for every listed signal; call before anything else in main.
    static void catchUnixSignals(const QList<int> &signalNumbers);

    // Starts watching the pipe; needs the application object.
    explicit signalWatcher(QObject *parent = nullptr);

private:
    void onSignalPipe();
    QSocketNotifier *m_notifier;
};

#pragma once

#include <QList>
#include <QObject>

class QSocketNotifier;

// Turns termination signals into a stop request in the event loop. The handler itself only
// writes the signal number into a pipe; the event loop prints the farewell line and asks for a
// stop (the running command may still finish); a second signal ends the event loop at once.
// Crash signals (SIGSEGV, SIGABRT) print the same line, restore the default action and
// re-raise, so the process dies with that signal and the service manager restarts it.
class signalWatcher : public QObject {
    Q_OBJECT
  public:
    // Installs the handler for every listed signal; call before anything else in main.
    static void catchUnixSignals(const QList<int> &signalNumbers);

    // Starts watching the pipe; needs the application object.
    explicit signalWatcher(QObject *parent = nullptr);

  signals:
    void signal_stopRequested();

  private:
    void onSignalPipe();
    QSocketNotifier *m_notifier;
    bool m_stopRequested = false;
};

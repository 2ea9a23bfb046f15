#pragma once

#include <QObject>
#include <QTimer>

// Ticks every 20 s and asks the link for a keep-alive when the last one is old enough.
class standAloneKeepAliveTimer : public QObject {
    Q_OBJECT
  public:
    standAloneKeepAliveTimer();
    void timerStart(int ms);
    // Milliseconds of a monotonic clock: durations never follow wall-clock changes.
    static qint64 nowMs();

    // Due when the whole seconds elapsed since the last request exceed the interval; a
    // negative lastSentMs means none was sent yet.
    static bool isKeepAliveDue(qint64 lastSentMs, qint64 nowMs, int intervalSeconds);

    QTimer *keepAliveTimer1;

  signals:
    void signal_sendKeepAliveMessage();

  public slots:
    void standAloneKeepAliveTimerUpdate();
};

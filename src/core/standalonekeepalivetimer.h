#pragma once

#include <QObject>
#include <QTimer>
#include <functional>

// Ticks every 20 s and asks the link for a keep-alive when the last one is old enough.
class standAloneKeepAliveTimer : public QObject {
    Q_OBJECT
public:
    // Milliseconds of a monotonic clock; replaceable so tests need not wait real seconds.
    using Clock = std::function<qint64()>;

    standAloneKeepAliveTimer();
    void timerStart(int ms);
    void timerStop();
    void setClock(Clock clock);

    // Due when the whole seconds elapsed since the last request exceed the interval; a
    // negative lastSentMs means none was sent yet.
    static bool isKeepAliveDue(qint64 lastSentMs, qint64 nowMs, int intervalSeconds);

    QTimer *keepAliveTimer1;

signals:
    void signal_sendKeepAliveMessage();

public slots:
    void standAloneKeepAliveTimerUpdate();

private:
    Clock m_clock;
};

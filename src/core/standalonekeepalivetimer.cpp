#include "core/standalonekeepalivetimer.h"

#include <QElapsedTimer>

#include "core/globals.h"
#include "core/log.h"

standAloneKeepAliveTimer::standAloneKeepAliveTimer() : keepAliveTimer1(new QTimer(this)) {
    connect(keepAliveTimer1, &QTimer::timeout, this,
            &standAloneKeepAliveTimer::standAloneKeepAliveTimerUpdate);
}

void standAloneKeepAliveTimer::timerStart(int ms) { keepAliveTimer1->start(ms); }
qint64 standAloneKeepAliveTimer::nowMs() {
    static QElapsedTimer clock = [] {
        QElapsedTimer t;
        t.start();
        return t;
    }();
    return clock.elapsed();
}

bool standAloneKeepAliveTimer::isKeepAliveDue(qint64 lastSentMs, qint64 nowMs,
                                              int intervalSeconds) {
    if (lastSentMs < 0) return true;
    return nowMs / 1000 > lastSentMs / 1000 + intervalSeconds;
}

void standAloneKeepAliveTimer::standAloneKeepAliveTimerUpdate() {
    if (!isKeepAliveDue(Session.sendKeepAliveLastMs, nowMs(), Settings.keepAliveSecondsInterval))
        return;
    appLog().write(700, QStringLiteral("Send a keep-alive message"),
                   QStringLiteral("standAloneKeepAliveTimer::standAloneKeepAliveTimerUpdate"),
                   false, true);
    emit signal_sendKeepAliveMessage();
    Session.sendKeepAliveLastMs = nowMs();
}

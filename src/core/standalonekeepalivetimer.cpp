#include "core/standalonekeepalivetimer.h"

#include "commands/utilsmodel.h"

standAloneKeepAliveTimer::standAloneKeepAliveTimer()
    : keepAliveTimer1(new QTimer(this)), m_clock(monotonicMs) {
    connect(keepAliveTimer1, &QTimer::timeout, this,
            &standAloneKeepAliveTimer::standAloneKeepAliveTimerUpdate);
}

void standAloneKeepAliveTimer::timerStart(int ms) { keepAliveTimer1->start(ms); }
void standAloneKeepAliveTimer::timerStop() { keepAliveTimer1->stop(); }
void standAloneKeepAliveTimer::setClock(Clock clock) { m_clock = std::move(clock); }

bool standAloneKeepAliveTimer::isKeepAliveDue(qint64 lastSentMs, qint64 nowMs,
                                              int intervalSeconds) {
    if (lastSentMs < 0) return true;
    return nowMs / 1000 > lastSentMs / 1000 + intervalSeconds;
}

void standAloneKeepAliveTimer::standAloneKeepAliveTimerUpdate() {
    if (!isKeepAliveDue(Session.sendKeepAliveLastMs, m_clock(), Settings.keepAliveSecondsInterval))
        return;
    utils.addDebugText(700, QStringLiteral("Send a keep-alive message"),
                       QStringLiteral("standAloneKeepAliveTimer::standAloneKeepAliveTimerUpdate"),
                       false, true);
    emit signal_sendKeepAliveMessage();
    Session.sendKeepAliveLastMs = m_clock();
}

#include <QtTest>

#include "core/standalonekeepalivetimer.h"

// The runner's timers on plain numbers: when the 20 s tick asks the link for a keep-alive.
class tst_runner : public QObject {
    Q_OBJECT
  private slots:
    void keepAliveDue_data();
    void keepAliveDue();
};

void tst_runner::keepAliveDue_data() {
    QTest::addColumn<qint64>("lastSentMs");
    QTest::addColumn<qint64>("nowMs");
    QTest::addColumn<int>("interval");
    QTest::addColumn<bool>("due");
    QTest::newRow("never sent") << qint64(-1) << qint64(20000) << 25 << true;
    QTest::newRow("one tick later") << qint64(20000) << qint64(40000) << 25 << false;
    QTest::newRow("two ticks later") << qint64(20000) << qint64(60000) << 25 << true;
    QTest::newRow("equal is not due") << qint64(20000) << qint64(45000) << 25 << false;
    QTest::newRow("one second past") << qint64(20000) << qint64(46000) << 25 << true;
    QTest::newRow("interval 0 every tick") << qint64(20000) << qint64(40000) << 0 << true;
    QTest::newRow("interval below tick") << qint64(20000) << qint64(40000) << 19 << true;
    QTest::newRow("interval equal to tick") << qint64(20000) << qint64(40000) << 20 << false;
}

void tst_runner::keepAliveDue() {
    QFETCH(qint64, lastSentMs);
    QFETCH(qint64, nowMs);
    QFETCH(int, interval);
    QFETCH(bool, due);
    QCOMPARE(standAloneKeepAliveTimer::isKeepAliveDue(lastSentMs, nowMs, interval), due);
}

QTEST_GUILESS_MAIN(tst_runner)
#include "tst_runner.moc"

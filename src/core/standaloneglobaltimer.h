#pragma once

#include <QObject>
#include <QTimer>

// Housekeeping: once per calendar day the old log files are cleaned up.
class standAloneGlobalTimer : public QObject {
    Q_OBJECT
  public:
    standAloneGlobalTimer();
    void timerStart(int ms);

    QTimer *globalTimer1;

  public slots:
    void standAloneGlobalTimerUpdate();
};

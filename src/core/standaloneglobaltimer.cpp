#include "core/standaloneglobaltimer.h"

#include "commands/utilsmodel.h"

standAloneGlobalTimer::standAloneGlobalTimer() : globalTimer1(new QTimer(this)) {
    connect(globalTimer1, &QTimer::timeout, this,
            &standAloneGlobalTimer::standAloneGlobalTimerUpdate);
}

void standAloneGlobalTimer::timerStart(int ms) { globalTimer1->start(ms); }
void standAloneGlobalTimer::timerStop() { globalTimer1->stop(); }

void standAloneGlobalTimer::standAloneGlobalTimerUpdate() {
    if (Session.cleanLogFilesLastDate >= QDate::currentDate()) return;
    utils.addDebugText(700, QStringLiteral("Run clean of log files"),
                       QStringLiteral("standAloneGlobalTimer::standAloneGlobalTimerUpdate"), true,
                       true);
    utils.cleanLogFiles();
}

#include "core/standaloneglobaltimer.h"

#include "commands/utilsmodel.h"
#include "core/log.h"

standAloneGlobalTimer::standAloneGlobalTimer() : globalTimer1(new QTimer(this)) {
    connect(globalTimer1, &QTimer::timeout, this,
            &standAloneGlobalTimer::standAloneGlobalTimerUpdate);
}

void standAloneGlobalTimer::timerStart(int ms) { globalTimer1->start(ms); }

void standAloneGlobalTimer::standAloneGlobalTimerUpdate() {
    if (Session.cleanLogFilesLastDate >= QDate::currentDate()) return;
    appLog().write(700, QStringLiteral("Run clean of log files"),
                   QStringLiteral("standAloneGlobalTimer::standAloneGlobalTimerUpdate"), true,
                   true);
    utils.cleanLogFiles();
}

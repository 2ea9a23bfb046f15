#include "posdaemonprocess.h"

#include "testpaths.h"

bool PosDaemonProcess::start(const QStringList &arguments) {
    return m_process.start(testpaths::posDaemonBinary(),
                           QStringList{QStringLiteral("--port"), QStringLiteral("0")} + arguments);
}

QStringList PosDaemonProcess::lines(bool byConnection) const {
    QStringList out;
    for (const QJsonObject &e : m_process.lines()) {
        if (!e.contains(QStringLiteral("line"))) continue;
        const QString line = e.value(QStringLiteral("line")).toString();
        out << (byConnection ? QString::number(e.value(QStringLiteral("conn")).toInt()) +
                                   QLatin1Char(':') + line
                             : line);
    }
    return out;
}

int PosDaemonProcess::connections() const {
    return m_process.count(QStringLiteral("event"), QStringLiteral("connected"));
}

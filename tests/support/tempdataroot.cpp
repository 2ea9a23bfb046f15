#include "tempdataroot.h"

#include <QDate>
#include <QDir>
#include <QFile>
#include <QTcpServer>

TempDataRoot::TempDataRoot() { qputenv("QLT_DATA_ROOT", QFile::encodeName(path())); }

QString TempDataRoot::path() const { return m_dir.path() + QLatin1Char('/'); }

void TempDataRoot::writeSettings(const QString &iniText) const {
    QDir().mkpath(settingsDir());
    QFile file(settingsDir() + QStringLiteral("qltRestClientQt.ini"));
    if (file.open(QIODevice::WriteOnly | QIODevice::Truncate)) file.write(iniText.toUtf8());
}

void TempDataRoot::pointAtClosedServerPort() const {
    QTcpServer probe;
    probe.listen(QHostAddress::LocalHost, 0);
    const quint16 port = probe.serverPort();
    probe.close();
    writeSettings(QStringLiteral("[RestServiceQt]\nrestServerQt_host=127.0.0.1\n"
                                 "restServerQt_port=%1\n")
                      .arg(port));
}

QStringList TempDataRoot::todaysLogLines() const {
    QFile file(logDir() + QStringLiteral("/_LOG_") +
               QDate::currentDate().toString(QStringLiteral("yyyy-MM-dd")) +
               QStringLiteral("_QLTRestClientQt.txt"));
    if (!file.open(QIODevice::ReadOnly)) return {};
    return QString::fromUtf8(file.readAll()).split(QLatin1Char('\n'), Qt::SkipEmptyParts);
}

#include "tempdataroot.h"

#include <QDate>
#include <QDir>
#include <QFile>
#include <QProcess>

#include "loopback.h"
#include "testpaths.h"

TempDataRoot::TempDataRoot() { qputenv("QLT_DATA_ROOT", QFile::encodeName(path())); }

QString TempDataRoot::path() const { return m_dir.path() + QLatin1Char('/'); }

void TempDataRoot::writeSettings(const QString &iniText) const {
    QDir().mkpath(settingsDir());
    QFile file(settingsDir() + QStringLiteral("qltRestClientQt.ini"));
    if (file.open(QIODevice::WriteOnly | QIODevice::Truncate)) file.write(iniText.toUtf8());
}

void TempDataRoot::pointAtServer(quint16 port, const QString &moreIni) const {
    writeSettings(QStringLiteral("[RestServiceQt]\nrestServerQt_host=127.0.0.1\n"
                                 "restServerQt_port=%1\n")
                      .arg(port) +
                  moreIni);
}

void TempDataRoot::pointAtClosedServerPort() const { pointAtServer(loopback::freePort()); }

QStringList TempDataRoot::todaysLogLines() const {
    QFile file(logDir() + QStringLiteral("/_LOG_") +
               QDate::currentDate().toString(QStringLiteral("yyyy-MM-dd")) +
               QStringLiteral("_QLTRestClientQt.txt"));
    if (!file.open(QIODevice::ReadOnly)) return {};
    return QString::fromUtf8(file.readAll()).split(QLatin1Char('\n'), Qt::SkipEmptyParts);
}

bool TempDataRoot::startClient(QProcess &client) const {
    QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
    environment.insert(QStringLiteral("QLT_DATA_ROOT"), path());
    client.setProcessEnvironment(environment);
    client.setProcessChannelMode(QProcess::MergedChannels);
    client.setStandardOutputFile(consolePath());
    client.start(testpaths::clientBinary(), {});
    return client.waitForStarted();
}

QString TempDataRoot::clientConsole() const {
    QFile file(consolePath());
    return file.open(QIODevice::ReadOnly) ? QString::fromUtf8(file.readAll()) : QString();
}

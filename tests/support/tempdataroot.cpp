#include "tempdataroot.h"

#include <QDate>
#include <QDir>
#include <QFile>

TempDataRoot::TempDataRoot() {
    qputenv("QLT_DATA_ROOT", QFile::encodeName(path()));
}

QString TempDataRoot::path() const { return m_dir.path() + QLatin1Char('/'); }

void TempDataRoot::writeSettings(const QString &iniText) const {
    QDir().mkpath(settingsDir());
    QFile file(settingsDir() + QStringLiteral("qltRestClientQt.ini"));
    if (file.open(QIODevice::WriteOnly | QIODevice::Truncate)) file.write(iniText.toUtf8());
}

QStringList TempDataRoot::todaysLogLines() const {
    QFile file(logDir() + QStringLiteral("/_LOG_") +
               QDate::currentDate().toString(QStringLiteral("yyyy-MM-dd")) +
               QStringLiteral("_QLTRestClientQt.txt"));
    if (!file.open(QIODevice::ReadOnly)) return {};
    return QString::fromUtf8(file.readAll()).split(QLatin1Char('\n'), Qt::SkipEmptyParts);
}

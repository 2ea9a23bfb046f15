#include "link/configurationguard.h"
#include "core/log.h"

#include <QFile>
#include <QFileInfo>

#include "storage/atomicfile.h"
#include "commands/utilsmodel.h"

namespace {
const QString source = QStringLiteral("configurationGuard");
}  // namespace

configurationGuard::configurationGuard(QObject *parent) : QObject(parent) {
    m_deadline.setSingleShot(true);
    connect(&m_deadline, &QTimer::timeout, this, [this] {
        restore(QStringLiteral("the new settings did not register within %1 s")
                    .arg(m_deadline.interval() / 1000));
    });
}

QString configurationGuard::keptPath() {
    return utils.settingsFilePath() + QStringLiteral(".previous");
}

bool configurationGuard::keepPrevious(QString *error) {
    if (QFileInfo::exists(keptPath()) || !QFileInfo::exists(utils.settingsFilePath())) return true;
    QFile current(utils.settingsFilePath());
    if (!current.open(QIODevice::ReadOnly)) {
        *error = current.errorString();
        return false;
    }
    // Owner only, like the settings themselves: the file holds the password.
    return atomicFile::write(keptPath(), current.readAll(), error, 0600);
}

bool configurationGuard::onTrial() const { return QFileInfo::exists(keptPath()); }

void configurationGuard::startTrial(int seconds) {
    if (!onTrial()) return;
    appLog().write(603,
                       QStringLiteral("New settings in use: they have %1 s to register, or the "
                                      "previous ones come back")
                           .arg(seconds),
                       source, true, true);
    m_deadline.start(seconds * 1000);
}

void configurationGuard::registered() {
    if (!onTrial()) return;
    m_deadline.stop();
    QFile::remove(keptPath());
    appLog().write(603,
                       QStringLiteral("The new settings registered; the previous ones are dropped"),
                       source, true, true);
}

void configurationGuard::refused(const QString &reason) {
    if (onTrial()) restore(reason);
}

void configurationGuard::restore(const QString &reason) {
    m_deadline.stop();
    QFile kept(keptPath());
    QString error;
    if (!kept.open(QIODevice::ReadOnly) ||
        !atomicFile::write(utils.settingsFilePath(), kept.readAll(), &error)) {
        appLog().write(999,
                           QStringLiteral("Restoring the previous settings failed (%1): %2; "
                                          "trying again in %3 s")
                               .arg(reason, error.isEmpty() ? kept.errorString() : error)
                               .arg(m_deadline.interval() / 1000),
                           source, true, true);
        m_deadline.start();
        return;
    }
    kept.close();
    QFile::remove(keptPath());
    appLog().write(604, QStringLiteral("Previous settings restored: %1").arg(reason), source,
                       true, true);
    emit signal_restored();
}

#include "link/configurationguard.h"

#include <QFile>
#include <QFileInfo>

#include "core/log.h"
#include "core/settings.h"
#include "storage/atomicfile.h"

namespace {
const QString source = QStringLiteral("configurationGuard");
}  // namespace

configurationGuard::configurationGuard(const QString &settingsFile, const logger &log,
                                       QObject *parent)
    : QObject(parent), m_settingsFile(settingsFile), m_log(log) {
    m_deadline.setSingleShot(true);
    connect(&m_deadline, &QTimer::timeout, this, [this] {
        restore(QStringLiteral("the new settings did not register within %1 s")
                    .arg(m_deadline.interval() / 1000));
    });
}

QString configurationGuard::keptPath(const QString &settingsFile) {
    return settingsFile + QStringLiteral(".previous");
}

bool configurationGuard::keepPrevious(const QString &settingsFile, QString *error) {
    if (QFileInfo::exists(keptPath(settingsFile)) || !QFileInfo::exists(settingsFile)) return true;
    // Within the bounds, as a load reads it: what is kept is what the client ran with.
    const settingsBounds::head current =
        settingsBounds::readHead(settingsBounds::File::Settings, settingsFile);
    if (current.status != regularFile::Status::Opened) {
        *error = QStringLiteral("%1 can't be read").arg(settingsFile);
        return false;
    }
    // Owner only, like the settings themselves: the file holds the password.
    return atomicFile::write(keptPath(settingsFile), current.bytes, error, 0600);
}

bool configurationGuard::onTrial() const { return QFileInfo::exists(keptPath(m_settingsFile)); }

void configurationGuard::startTrial(int seconds) {
    if (!onTrial()) return;
    m_log.write(603,
                QStringLiteral("New settings in use: they have %1 s to register, or the "
                               "previous ones come back")
                    .arg(seconds),
                source, true, true);
    m_deadline.start(seconds * 1000);
}

void configurationGuard::registered() {
    if (!onTrial()) return;
    m_deadline.stop();
    QFile::remove(keptPath(m_settingsFile));
    m_log.write(603, QStringLiteral("The new settings registered; the previous ones are dropped"),
                source, true, true);
}

void configurationGuard::refused(const QString &reason) {
    if (onTrial()) restore(reason);
}

void configurationGuard::restore(const QString &reason) {
    m_deadline.stop();
    const settingsBounds::head kept =
        settingsBounds::readHead(settingsBounds::File::Settings, keptPath(m_settingsFile));
    QString error;
    if (kept.status != regularFile::Status::Opened)
        error = QStringLiteral("%1 can't be read").arg(keptPath(m_settingsFile));
    if (!error.isEmpty() || !atomicFile::write(m_settingsFile, kept.bytes, &error)) {
        m_log.write(999,
                    QStringLiteral("Restoring the previous settings failed (%1): %2; "
                                   "trying again in %3 s")
                        .arg(reason, error)
                        .arg(m_deadline.interval() / 1000),
                    source, true, true);
        m_deadline.start();
        return;
    }
    QFile::remove(keptPath(m_settingsFile));
    m_log.write(604, QStringLiteral("Previous settings restored: %1").arg(reason), source, true,
                true);
    emit signal_restored();
}

#pragma once

#include <QObject>
#include <QString>
#include <QTimer>

class logger;

// Keeps a remote change of the settings from cutting the device off. Before new settings are
// written the file that worked is kept beside them; if the client has not registered with the
// new ones within the trial time, or the server refuses them, the kept file is put back and
// the link reconnects with it. The kept file survives a restart, and the trial resumes then.
class configurationGuard : public QObject {
    Q_OBJECT
  public:
    configurationGuard(const QString &settingsFile, const logger &log, QObject *parent = nullptr);

    static QString keptPath(const QString &settingsFile);
    // Keeps the current settings file unless one is kept already: that one is the last that
    // worked. False when it could not be kept (the change must not go ahead then).
    static bool keepPrevious(const QString &settingsFile, QString *error);

    bool onTrial() const;
    // The new settings are in use now; they have `seconds` to register.
    void startTrial(int seconds);
    // A registration with the settings in use was accepted.
    void registered();
    // A registration with the settings in use was refused.
    void refused(const QString &reason);

  signals:
    // The kept file is back in place; the settings are to be reloaded and the link reconnected.
    void signal_restored();

  private:
    void restore(const QString &reason);

    const QString m_settingsFile;
    const logger &m_log;
    QTimer m_deadline;
};

#pragma once

#include <QString>
#include <QStringList>
#include <QTemporaryDir>

// Stand-ins for system tools in a directory of their own, for a search path that has it first.
// Each one adds its name and arguments to a record that all of them share, then runs its body.
class FakeTools {
  public:
    QString directory() const { return m_dir.path(); }
    // Writes the tool; false when it could not be written.
    bool add(const QString &name, const QString &shellBody = QString());
    // Every call so far in the order made, each as "<name> <arguments>".
    QStringList calls() const;
    // The arguments of each call to one tool.
    QStringList callsOf(const QString &name) const;

  private:
    QString recordPath() const { return m_dir.filePath(QStringLiteral("calls.log")); }

    QTemporaryDir m_dir;
};

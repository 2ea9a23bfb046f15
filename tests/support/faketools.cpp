#include "faketools.h"

#include <QFile>

bool FakeTools::add(const QString &name, const QString &shellBody) {
    QFile tool(m_dir.filePath(name));
    if (!m_dir.isValid() || !tool.open(QIODevice::WriteOnly | QIODevice::Truncate)) return false;
    tool.write(QStringLiteral("#!/bin/sh\nprintf '%s %s\\n' '%1' \"$*\" >> '%2'\n%3\n")
                   .arg(name, recordPath(), shellBody)
                   .toUtf8());
    tool.close();
    return tool.setPermissions(QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner);
}

QStringList FakeTools::calls() const {
    QFile record(recordPath());
    if (!record.open(QIODevice::ReadOnly)) return {};
    return QString::fromUtf8(record.readAll()).split(QLatin1Char('\n'), Qt::SkipEmptyParts);
}

QStringList FakeTools::callsOf(const QString &name) const {
    const QString prefix = name + QLatin1Char(' ');
    QStringList arguments;
    for (const QString &call : calls())
        if (call.startsWith(prefix)) arguments << call.mid(prefix.size());
    return arguments;
}

#pragma once

#include <QByteArray>
#include <QString>

// Small file helpers for tests that prepare inputs and inspect what landed on disk.
namespace testfiles {
void writeBytes(const QString &path, const QByteArray &bytes);  // creates parent directories
QByteArray readBytes(const QString &path);                      // "<missing>" when unreadable
// An archive made by a Python `body` that writes the file named `out` (with helpers to make
// links and damage the bytes); empty when Python fails.
QByteArray makeZip(const QString &body);
}  // namespace testfiles

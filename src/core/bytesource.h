#pragma once

#include <QByteArray>
#include <QString>

// Bytes made one slice at a time, for what is too large to hold whole: a reply that carries a
// file leaves the client as it is read, and memory does not grow with the file.
class byteSource {
  public:
    virtual ~byteSource() = default;
    // The next slice, empty once all was given. False when the bytes cannot be made (the file
    // went away, a read failed); `error` says why, and nothing after it may be trusted.
    virtual bool next(QByteArray *slice, QString *error) = 0;
};

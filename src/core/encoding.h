#pragma once

#include <QByteArray>
#include <QString>

// The server and the POS daemon speak Windows-1252.
namespace windows1252 {
QString decode(const QByteArray &bytes);
QByteArray encode(const QString &text);
// The bytes re-encoded in the local 8-bit encoding, as decode(bytes).toLocal8Bit() gives them,
// without the detour through UTF-16 when that encoding is UTF-8: the usual case, and a file
// read for the server goes through here a slice at a time.
QByteArray toLocal8Bit(const QByteArray &bytes);
}  // namespace windows1252

// UTF-8 bytes read as text up to the first NUL, as the client's replies and file texts are.
QString utf8UpToNul(const QByteArray &bytes);

// The client's three ways of reading Base64, named in one place.
namespace base64 {
// Strict: one character outside the alphabet, a line break too, makes the result empty. For
// file uploads, where a damaged upload must not become a damaged file. Padding, when there is
// any, ends the text and makes its length a multiple of four; unpadded text of any length is
// read, its bits short of a whole byte dropped.
QByteArray strict(const QByteArray &text);
// The same, appending to `out`: false, with `out` unchanged, when the text is not Base64.
bool strict(const char *text, int size, QByteArray *out);
// The same for text that is a part of a longer one: `size` a multiple of four and no padding.
// False, with `out` unchanged, when a character is outside the alphabet; else the bytes are
// appended to `out`.
bool strictGroups(const char *text, int size, QByteArray *out);
// Lenient: characters outside the alphabet are skipped. For license data.
QByteArray lenient(const QByteArray &text);
// Lenient, of the text's local 8-bit bytes, read as UTF-8 text up to the first NUL: the
// settings file that setConfiguration sends.
QString lenientText(const QString &text);
// The text's bytes in the local 8-bit encoding, encoded with padding and no line breaks.
QString encodeText(const QString &text);
// The bytes encoded with padding and no line breaks, as QByteArray::toBase64 gives them: files
// of hundreds of MiB go through here, several times faster.
QByteArray encode(const QByteArray &bytes);
}  // namespace base64

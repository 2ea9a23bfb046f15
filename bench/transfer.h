#pragma once

// What crosses the wire when the server writes a file to the device or reads one from it, shared
// by the bench that drives the client and the floor program it measures the client against: both
// are sent the same bytes and their answers are judged the same way.

#include <QByteArray>
#include <QJsonObject>
#include <QString>
#include <array>

namespace transfer {

// Compact JSON, as the server and the client write it, ended by a line feed.
QByteArray command(const QString &name, const QJsonObject &parameters);
// The client's reply envelope around one result.
QByteArray reply(const QString &typeCall, const QJsonObject &result);

// A message whose one large string value (Base64, so without escapes) is sent or received in
// pieces: head ends with the value's opening quote, tail starts with its closing quote.
struct Around {
    QByteArray head;
    QByteArray tail;
};
// saveFileContent of a binary file below the temp directory, around its "fileDataB64".
Around saveCommand(const QString &filePath);
// The getFileContent reply of a success, around its "fileData".
Around readReply();

// The key that opens the value, as compact JSON writes it: "name":"
QByteArray keyOf(const char *name);

// A message read back with the large value of one key taken out: the rest, small, as JSON, and
// the value as a view on the message's bytes.
struct Split {
    QJsonObject rest;
    QByteArray value;
    bool found = false;
};
Split split(const QByteArray &message, const char *key);

// Base64 of `size` bytes, padded, without line breaks.
QByteArray encode(const char *bytes, int size);
// Padded Base64 of whole groups, decoded and appended to `bytes`; false when it is not Base64.
bool decode(const char *base64, int size, QByteArray *bytes);

// The Base64 of a file's text as the client's getFileContent sends it: the file read in text
// mode (carriage returns dropped), decoded from Windows-1252 and encoded in the locale's 8-bit
// encoding. Fed in pieces of any size; nothing but the last two bytes of a Base64 group is kept.
class textEncoder {
  public:
    textEncoder();
    QByteArray push(const QByteArray &file);
    QByteArray finish();

  private:
    struct Char {
        char bytes[4];
        int size;
    };
    const std::array<Char, 256> &m_table;
    QByteArray m_text;

    static const std::array<Char, 256> &table();
};

}  // namespace transfer

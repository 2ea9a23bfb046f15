#pragma once

#include <QByteArray>
#include <QFile>
#include <QMetaType>
#include <QString>
#include <memory>

#include "core/bytesource.h"

class temporaryRecord;

// A long string of a server message, kept on disk instead of in memory while the message
// arrives and until its command has run: a file of hundreds of MiB in Base64 costs disk, not
// memory. The file holds the string's JSON text between its quotes, escapes as they came. It
// is recorded in the journal while it exists, so that the start after a crash removes it, and
// it goes with the last reference.
class spooledText {
  public:
    // An empty spool in `directory`; null, with the reason, when none can be made.
    static std::shared_ptr<spooledText> create(const QString &directory, QString *error);
    ~spooledText();
    spooledText(const spooledText &) = delete;
    spooledText &operator=(const spooledText &) = delete;

    // False, with the reason, when the bytes could not be written (the disk is full, say).
    bool append(const char *data, qint64 size, QString *error);
    // Flushes what was appended; the spool is complete and may be read.
    bool finish(QString *error);
    qint64 size() const { return m_size; }
    // The text from its start, for a reader of its own.
    bool open(QFile *file) const;
    // The whole text, for a consumer that holds its value in memory anyway.
    QByteArray readAll() const;

  private:
    spooledText() = default;

    QFile m_file;
    std::unique_ptr<temporaryRecord> m_record;
    qint64 m_size = 0;
};

using spooledTextPtr = std::shared_ptr<spooledText>;
Q_DECLARE_METATYPE(spooledTextPtr)

// What a spooled Base64 string decodes to, one slice at a time, as strict as base64::strict:
// one character outside the alphabet, or anything after padding, fails it, whatever was given
// before. JSON escapes in the text ("\/" and "\uXXXX") are read as the reader reads them.
class spooledBase64 : public byteSource {
  public:
    explicit spooledBase64(spooledTextPtr text);
    bool next(QByteArray *slice, QString *error) override;

  private:
    void clean(const QByteArray &raw);

    spooledTextPtr m_text;
    QFile m_file;
    bool m_opened = false;
    QByteArray m_pendingEscape;  // an escape cut by the end of a slice
    QByteArray m_clean;          // characters not decoded yet
    bool m_done = false;
};

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
    // An empty spool in `directory`. When none can be made it comes dropped (see drop), so
    // that the message still arrives and its command can answer with the reason.
    static std::shared_ptr<spooledText> create(const QString &directory);
    // A spool dropped for the same reason as `other` from the start, without a file.
    static std::shared_ptr<spooledText> droppedLike(const spooledText &other);
    ~spooledText();
    spooledText(const spooledText &) = delete;
    spooledText &operator=(const spooledText &) = delete;

    // Bytes that cannot be written (the disk is full, say) drop the spool.
    void append(const char *data, qint64 size);
    // Flushes what was appended; the spool is complete and may be read.
    void finish();
    // Gives the string up: what was kept is freed and the rest is only counted. The string
    // still stands in its message, and its command answers that it could not be kept: too
    // large for the bound on transfers, or the disk too full for it.
    enum class Dropped { No, TooLarge, NoRoom };
    void drop(Dropped why, const QString &reason);
    Dropped dropped() const { return m_dropped; }
    QString dropReason() const { return m_dropReason; }
    qint64 size() const { return m_size; }
    // The text from its start, for a reader of its own; false for a dropped spool.
    bool open(QFile *file) const;
    // The whole text, for a consumer that holds its value in memory anyway (not dropped).
    QByteArray readAll() const;

  private:
    spooledText() = default;

    QFile m_file;
    std::unique_ptr<temporaryRecord> m_record;
    qint64 m_size = 0;
    Dropped m_dropped = Dropped::No;
    QString m_dropReason;
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

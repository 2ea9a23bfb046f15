#include "core/spooledtext.h"

#include <QDir>
#include <QUuid>
#include <cstring>

#include "core/encoding.h"
#include "core/regularfile.h"
#include "storage/atomicfile.h"

std::shared_ptr<spooledText> spooledText::create(const QString &directory) {
    std::shared_ptr<spooledText> spool(new spooledText);
    if (!QDir().mkpath(directory)) {
        spool->drop(Dropped::NoRoom,
                    QStringLiteral("cannot make the spool directory %1").arg(directory));
        return spool;
    }
    const QString path = QDir(directory).filePath(
        QStringLiteral("spool-%1.tmp").arg(QUuid::createUuid().toString(QUuid::WithoutBraces)));
    spool->m_record = std::make_unique<temporaryRecord>(directory, path);
    spool->m_file.setFileName(path);
    if (!spool->m_file.open(QIODevice::WriteOnly | QIODevice::NewOnly)) {
        spool->drop(Dropped::NoRoom, QStringLiteral("cannot make the spool file %1: %2")
                                         .arg(path, spool->m_file.errorString()));
        spool->m_file.setFileName(QString());  // not ours to remove
    }
    return spool;
}

std::shared_ptr<spooledText> spooledText::droppedLike(const spooledText &other) {
    std::shared_ptr<spooledText> spool(new spooledText);
    spool->drop(other.m_dropped, other.m_dropReason);
    return spool;
}

void spooledText::drop(Dropped why, const QString &reason) {
    if (m_dropped != Dropped::No) return;
    m_dropped = why;
    m_dropReason = reason;
    // The disk space goes back at once, not when the message has been answered.
    if (m_file.isOpen()) m_file.resize(0);
    m_file.close();
}

spooledText::~spooledText() {
    if (!m_file.fileName().isEmpty()) {
        m_file.close();
        QFile::remove(m_file.fileName());
    }
}

void spooledText::append(const char *data, qint64 size) {
    m_size += size;
    if (m_dropped == Dropped::No && m_file.write(data, size) != size)
        drop(Dropped::NoRoom, QStringLiteral("writing the spool file %1 failed: %2")
                                  .arg(m_file.fileName(), m_file.errorString()));
}

void spooledText::finish() {
    if (m_dropped == Dropped::No && !m_file.flush())
        drop(Dropped::NoRoom, QStringLiteral("writing the spool file %1 failed: %2")
                                  .arg(m_file.fileName(), m_file.errorString()));
}

bool spooledText::open(QFile *file) const {
    return m_dropped == Dropped::No &&
           regularFile::openForReading(m_file.fileName(), file) == regularFile::Status::Opened;
}

spooledBase64::spooledBase64(spooledTextPtr text) : m_text(std::move(text)) {}

// The text of `raw` with its escapes resolved, appended to m_clean; the alphabet is the
// decoder's to check.
void spooledBase64::clean(const QByteArray &raw) {
    // The usual slice has no escape at all: it goes on whole.
    if (m_pendingEscape.isEmpty() && !std::memchr(raw.constData(), '\\', size_t(raw.size()))) {
        m_clean += raw;
        return;
    }
    const QByteArray text = m_pendingEscape + raw;
    m_pendingEscape.clear();
    for (int i = 0; i < text.size(); ++i) {
        char c = text.at(i);
        if (c == '\\') {
            if (i + 1 >= text.size() || (text.at(i + 1) == 'u' && i + 5 >= text.size())) {
                m_pendingEscape = text.mid(i);
                break;
            }
            const char kind = text.at(i + 1);
            if (kind == 'u') {
                bool ok = false;
                const uint code = text.mid(i + 2, 4).toUInt(&ok, 16);
                // Anything but ASCII is outside the alphabet: NUL stands for it.
                c = ok && code < 0x80 ? char(code) : '\0';
                i += 5;
            } else {
                c = kind == '/' ? '/' : '\0';
                i += 1;
            }
        }
        m_clean.append(c);
    }
}

bool spooledBase64::next(QByteArray *slice, QString *error) {
    slice->clear();
    if (!m_opened) {
        m_opened = true;
        if (!m_text->open(&m_file)) {
            *error = QStringLiteral("the spooled upload cannot be read");
            return false;
        }
    }
    constexpr qint64 sliceBytes = 256 * 1024;  // of Base64 text
    while (slice->isEmpty() && !m_done) {
        const QByteArray raw = m_file.read(sliceBytes);
        m_done = raw.isEmpty();
        // A read that fails, or a spool cut short behind our back, must not pass for the end
        // of the upload: the file would be written shorter and called whole.
        if (m_done && m_file.pos() != m_text->size()) {
            *error = QStringLiteral(
                         "the spooled upload could not be read to its end (%1 of %2 "
                         "bytes): %3")
                         .arg(m_file.pos())
                         .arg(m_text->size())
                         .arg(m_file.errorString());
            return false;
        }
        if (m_done && !m_pendingEscape.isEmpty()) {
            *error = QStringLiteral("not Base64");
            return false;
        }
        clean(raw);
        // Whole groups decode alone. The last group is held back until the end, where its
        // padding, if any, is checked as part of the whole text.
        if (m_done) {
            if (!base64::strict(m_clean.constData(), m_clean.size(), slice)) {
                *error = QStringLiteral("not Base64");
                return false;
            }
            m_clean.clear();
            break;
        }
        const int whole = m_clean.isEmpty() ? 0 : (m_clean.size() - 1) / 4 * 4;
        if (!base64::strictGroups(m_clean.constData(), whole, slice)) {
            *error = QStringLiteral("not Base64");
            return false;
        }
        m_clean.remove(0, whole);
    }
    return true;
}

QByteArray spooledText::readAll() const {
    QFile file;
    return open(&file) ? file.readAll() : QByteArray();
}

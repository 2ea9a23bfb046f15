#include "core/spooledtext.h"

#include <QDir>
#include <QUuid>
#include <algorithm>

#include "core/regularfile.h"
#include "storage/atomicfile.h"

std::shared_ptr<spooledText> spooledText::create(const QString &directory, QString *error) {
    if (!QDir().mkpath(directory)) {
        *error = QStringLiteral("cannot make the spool directory %1").arg(directory);
        return nullptr;
    }
    std::shared_ptr<spooledText> spool(new spooledText);
    const QString path = QDir(directory).filePath(
        QStringLiteral("spool-%1.tmp").arg(QUuid::createUuid().toString(QUuid::WithoutBraces)));
    spool->m_record = std::make_unique<temporaryRecord>(directory, path);
    spool->m_file.setFileName(path);
    if (!spool->m_file.open(QIODevice::WriteOnly | QIODevice::NewOnly)) {
        *error = QStringLiteral("cannot make the spool file %1: %2")
                     .arg(path, spool->m_file.errorString());
        return nullptr;
    }
    return spool;
}

spooledText::~spooledText() {
    if (!m_file.fileName().isEmpty()) {
        m_file.close();
        QFile::remove(m_file.fileName());
    }
}

bool spooledText::append(const char *data, qint64 size, QString *error) {
    if (m_file.write(data, size) != size) {
        *error = QStringLiteral("writing the spool file %1 failed: %2")
                     .arg(m_file.fileName(), m_file.errorString());
        return false;
    }
    m_size += size;
    return true;
}

bool spooledText::finish(QString *error) {
    if (m_file.flush()) return true;
    *error = QStringLiteral("writing the spool file %1 failed: %2")
                 .arg(m_file.fileName(), m_file.errorString());
    return false;
}

bool spooledText::open(QFile *file) const {
    return regularFile::openForReading(m_file.fileName(), file) == regularFile::Status::Opened;
}

spooledBase64::spooledBase64(spooledTextPtr text) : m_text(std::move(text)) {}

namespace {
bool inAlphabet(char c) {
    return (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') || c == '+' ||
           c == '/';
}
}  // namespace

// The alphabet characters of `raw`, escapes resolved, appended to m_clean.
bool spooledBase64::clean(const QByteArray &raw, QString *error) {
    // The usual slice is all alphabet: it goes on whole.
    if (m_pendingEscape.isEmpty() && !m_padding &&
        std::all_of(raw.cbegin(), raw.cend(), inAlphabet)) {
        m_clean += raw;
        return true;
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
                c = ok && code < 0x80 ? char(code) : '\0';
                i += 5;
            } else {
                c = kind == '/' ? '/' : '\0';
                i += 1;
            }
        }
        // Padding ends the data: after it, only padding.
        if (c == '=') m_padding = true;
        if (!(c == '=' || (inAlphabet(c) && !m_padding))) {
            *error = QStringLiteral("not Base64");
            return false;
        }
        m_clean.append(c);
    }
    return true;
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
        if (raw.isEmpty()) {
            if (!m_pendingEscape.isEmpty()) {
                *error = QStringLiteral("not Base64");
                return false;
            }
            m_done = true;
        } else if (!clean(raw, error)) {
            return false;
        }
        // Whole groups of four decode alone; the rest waits for the next slice.
        const int whole = m_done ? m_clean.size() : m_clean.size() - m_clean.size() % 4;
        if (whole == 0) continue;
        const auto decoded = QByteArray::fromBase64Encoding(
            m_clean.left(whole), QByteArray::AbortOnBase64DecodingErrors);
        if (!decoded) {
            *error = QStringLiteral("not Base64");
            return false;
        }
        m_clean.remove(0, whole);
        *slice = decoded.decoded;
    }
    return true;
}

QByteArray spooledText::readAll() const {
    QFile file;
    return open(&file) ? file.readAll() : QByteArray();
}

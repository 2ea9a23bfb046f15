#include "commands/filecommands.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <cstring>

#include "core/encoding.h"
#include "core/log.h"
#include "core/parameters.h"
#include "core/regularfile.h"
#include "core/replies.h"
#include "core/settings.h"
#include "storage/atomicfile.h"
#include "storage/filewriter.h"
#include "storage/pathresolver.h"
#include "storage/verifiedwrite.h"
#include "storage/zipinstaller.h"

namespace {
// getFileContent sends a file's Base64 as it reads it, so memory does not bound it; the bound is
// the setting for transfers. The text form (without Base64) is held whole, and bounded lower.
constexpr qint64 maxHeldFileBytes = qint64(64) * 1024 * 1024;

QString largerThan(const QString &path, qint64 limit) {
    return QStringLiteral("File %1 is larger than %2 bytes!").arg(path).arg(limit);
}

// A file's slice is 192 KiB: its bytes are OR-ed eight at a time, without a branch.
bool isAscii(const QByteArray &bytes) {
    const char *data = bytes.constData();
    const int size = bytes.size();
    quint64 high = 0;
    int i = 0;
    for (; i + 8 <= size; i += 8) {
        quint64 word;
        std::memcpy(&word, data + i, sizeof word);
        high |= word;
    }
    for (; i < size; ++i) high |= uchar(data[i]);
    return (high & 0x8080808080808080ULL) == 0;
}

// The Base64 of a file as getFileContent sends it, one slice at a time: read in text mode (no
// carriage returns), a slice that is not plain ASCII read as Windows-1252 and carried in the
// local 8-bit encoding. Plain ASCII reads the same in both and in every locale encoding, so the
// usual file skips the detour through UTF-16. It reads no further than the size the file had
// when opened: a file that grows while it is sent cannot hold the link for good.
class fileBase64Source : public byteSource {
  public:
    fileBase64Source(std::unique_ptr<QFile> file, QString path)
        : m_file(std::move(file)), m_path(std::move(path)), m_size(m_file->size()) {}

    bool next(QByteArray *slice, QString *error) override {
        slice->clear();
        while (slice->isEmpty() && !m_done) {
            const qint64 left = m_size - m_file->pos();
            const QByteArray raw = left > 0 ? m_file->read(qMin(left, sliceBytes)) : QByteArray();
            if (raw.isEmpty()) {
                if (m_file->pos() < m_size) {
                    *error = QStringLiteral(
                                 "File %1 could not be read to its end (%2 of %3 "
                                 "bytes): %4")
                                 .arg(m_path)
                                 .arg(m_file->pos())
                                 .arg(m_size)
                                 .arg(m_file->errorString());
                    return false;
                }
                *slice = base64::encode(m_carry);
                m_done = true;
                break;
            }
            QByteArray bytes = m_carry;
            bytes += isAscii(raw) ? raw : windows1252::toLocal8Bit(raw);
            // Base64 goes by three bytes; the rest waits for the next slice.
            const int whole = bytes.size() - bytes.size() % 3;
            m_carry = bytes.mid(whole);
            bytes.truncate(whole);
            *slice = base64::encode(bytes);
        }
        return true;
    }

  private:
    // 256 KiB of Base64 a slice: the socket's buffers never hold much more.
    static constexpr qint64 sliceBytes = 192 * 1024;
    std::unique_ptr<QFile> m_file;
    const QString m_path;
    const qint64 m_size;
    QByteArray m_carry;
    bool m_done = false;
};

QJsonObject writeReply(const saveResultStruct &result) {
    QJsonObject written = reply::error(result.errorCode, result.errorDescription);
    written.insert(QStringLiteral("info"), result.extraInfo);
    written.insert(QStringLiteral("fileData"), QString());
    return written;
}

saveResultStruct writeVerifiedFile(const fileWriter &writer, const QString &target,
                                   byteSource &bytes, bool isBinary) {
    // Nothing is written for a FIFO or device: it is neither opened nor replaced.
    if (regularFile::isSpecial(target))
        return saveResultStruct{900, QStringLiteral("Can't write to file!"),
                                regularFile::notRegular(target)};
    const QString temp = target + QStringLiteral(".tmp");
    // A crash leaves it for the next start to remove; a write that fails here keeps it, for
    // inspection.
    const temporaryRecord record(writer.journalDirectory(), temp);
    const saveResultStruct written =
        verifiedWrite::writeAndVerify(writer, temp, bytes, isBinary, target);
    return written.errorCode > 0 ? written : verifiedWrite::replace(target, temp);
}
}  // namespace

fileCommands::fileCommands(const sessionStruct &session, const QString &rightsFile,
                           const logger &log)
    : m_session(session), m_rightsFile(rightsFile), m_log(log) {}

QJsonObject fileCommands::getDirectoryFiles(const QVariantMap &data) const {
    QJsonObject result = reply::error(0, QString());
    result.insert(QStringLiteral("files"), QString());
    // An empty path names the base directory itself.
    if (!param::isString(data, QStringLiteral("searchPath")))
        return reply::setError(result, 901, QStringLiteral("Missing searchPath parameter"));
    const QString path = pathResolver(m_session).resolve(
        pathResolver::Listing, param::string(data, QStringLiteral("searchPath")),
        param::string(data, QStringLiteral("basePathType")));
    const QFileInfo info(path);
    if (!info.isDir() || !info.isReadable())
        return reply::setError(result, 901,
                               QStringLiteral("%1 doesn't exist (or no rights)").arg(path));
    QDir dir(path);
    // One pattern: a filter holding ";" or a space is not split into several.
    dir.setNameFilters({param::string(data, QStringLiteral("searchFilter"), QStringLiteral("*"))});
    dir.setSorting(QDir::Name | QDir::IgnoreCase);
    result.insert(QStringLiteral("files"), dir.entryList().join(QLatin1Char(',')));
    return result;
}

QJsonObject fileCommands::createAndEmptyDirectory(const QVariantMap &data) const {
    if (!param::isString(data, QStringLiteral("path")))
        return reply::error(901, QStringLiteral("Missing path parameter"));
    const QString path = pathResolver(m_session).resolve(
        pathResolver::CreateDirectory, param::string(data, QStringLiteral("path")),
        param::string(data, QStringLiteral("basePathType")));
    // An existing directory keeps its contents: the command never removes anything.
    if (QFileInfo(path).isDir() || QDir().mkpath(path)) return reply::error(0, QString());
    return reply::error(902, QStringLiteral("Failed to create directory %1").arg(path));
}

commandResult fileCommands::getFileContentStreamed(const QVariantMap &data) const {
    QJsonObject result = reply::error(404, QStringLiteral("Unknown error"));
    result.insert(QStringLiteral("fileData"), QString());
    // A required path counts only as a string that is not empty.
    if (param::string(data, QStringLiteral("filePath")).isEmpty())
        return reply::setError(result, 901, QStringLiteral("Missing filePath parameter"));
    const QString path = pathResolver(m_session).resolve(
        pathResolver::Reading, param::string(data, QStringLiteral("filePath")),
        param::string(data, QStringLiteral("basePathType")));
    // Text mode drops the carriage returns, so CR LF arrives as LF.
    auto file = std::make_unique<QFile>();
    switch (regularFile::openForReading(path, file.get(), QIODevice::Text)) {
        case regularFile::Status::Missing:
            return reply::setError(result, 404, QStringLiteral("File %1 doesn't exist!").arg(path));
        case regularFile::Status::NotRegular:
            return reply::setError(result, 404, regularFile::notRegular(path));
        case regularFile::Status::Failed:
            return result;
        case regularFile::Status::Opened:
            break;
    }
    const bool toBase64 = param::boolean(data, QStringLiteral("toBase64"), true);
    const qint64 limit = toBase64 ? Settings.maxFileTransferBytes()
                                  : qMin(maxHeldFileBytes, Settings.maxFileTransferBytes());
    const QString tooLarge = largerThan(path, limit);
    if (file->size() > limit) return reply::setError(result, 903, tooLarge);
    result = reply::error(0, QString());
    result.insert(QStringLiteral("fileData"), QString());
    if (toBase64) return {result, std::make_shared<fileBase64Source>(std::move(file), path)};
    const QByteArray raw = file->read(limit + 1);
    if (raw.size() > limit) return reply::setError(result, 903, tooLarge);  // it grew meanwhile
    QByteArray out = windows1252::toLocal8Bit(raw);
    if (param::boolean(data, QStringLiteral("replaceSpecialChars"), false))
        out.replace('\x02', "<STX>").replace('\x03', "<ETX>");
    result.insert(QStringLiteral("fileData"), utf8UpToNul(out));
    return result;
}

QJsonObject fileCommands::getFileContent(const QVariantMap &data) const {
    commandResult read = getFileContentStreamed(data);
    if (!read.fileData) return read.fields;
    QByteArray whole;
    QByteArray slice;
    QString error;
    do {
        if (!read.fileData->next(&slice, &error)) return reply::setError(read.fields, 403, error);
        whole += slice;
    } while (!slice.isEmpty());
    read.fields.insert(QStringLiteral("fileData"), QLatin1String(whole));
    return read.fields;
}

QJsonObject fileCommands::saveFileContent(const QVariantMap &data) const {
    const QString filePathKey = QStringLiteral("filePath");
    if (!param::isString(data, filePathKey))
        return writeReply(saveResultStruct{954, QStringLiteral("Missing filePath parameter"), {}});
    if (param::string(data, filePathKey).isEmpty())
        return writeReply(saveResultStruct{955, QStringLiteral("FilePath can't be empy!"), {}});
    const QString path =
        pathResolver(m_session).resolve(pathResolver::Writing, param::string(data, filePathKey),
                                        param::string(data, QStringLiteral("basePathType")));
    const bool isZipData = param::boolean(data, QStringLiteral("isZipData"), false);
    // Compared on disk, not as text: a link, /proc/self/root or ".." after a link spells the
    // same folder differently. An archive unpacked into a parent of it could reach into it too.
    const fileWriter writer(m_session, m_log);
    if (writer.reachesOwnFolder(path) || (isZipData && writer.holdsOwnFolder(path)))
        return writeReply(saveResultStruct{
            930, QStringLiteral("Not allowed to write in application folder!"), {}});
    const saveResultStruct decodeError{
        959, QStringLiteral("Decode error of data from server!"), {}};
    const qint64 maxBytes = Settings.maxFileTransferBytes();
    const saveResultStruct tooLarge{903, largerThan(path, maxBytes), {}};
    // A large upload came on disk: it is decoded as it is written, never held whole. Bad data
    // are found before the target changes, here or while its temporary is written.
    std::unique_ptr<byteSource> decoded;
    qint64 size = 0;  // of the decoded bytes, at most
    if (const spooledTextPtr spooled = param::spooled(data, QStringLiteral("fileDataB64"))) {
        if (spooled->dropped() != spooledText::Dropped::No) {
            m_log.write(900,
                        QStringLiteral("Upload to %1 not kept: %2")
                            .arg(logformat::escaped(path), spooled->dropReason()),
                        QStringLiteral("utilsModel::saveFileContent"), true, true);
            return writeReply(spooled->dropped() == spooledText::Dropped::TooLarge
                                  ? tooLarge
                                  : saveResultStruct{900, QStringLiteral("Can't write to file!"),
                                                     spooled->dropReason()});
        }
        decoded = std::make_unique<spooledBase64>(spooled);
        size = spooled->size() / 4 * 3;
    } else {
        const QByteArray bytes =
            base64::strict(param::stringBytes(data, QStringLiteral("fileDataB64")));
        if (bytes.isEmpty()) return writeReply(decodeError);
        if (bytes.size() > maxBytes) return writeReply(tooLarge);
        size = bytes.size();
        decoded = std::make_unique<heldBytes>(bytes);
    }
    const QString noRoom = fileWriter::roomProblem(path, size);
    if (!noRoom.isEmpty())
        return writeReply(saveResultStruct{900, QStringLiteral("Can't write to file!"), noRoom});
    if (!isZipData && !fileWriter::createDirectoryIfNeeded(path))
        return writeReply(saveResultStruct{
            940, QStringLiteral("Failed to create the directory for file %1!").arg(path), {}});
    const saveResultStruct written =
        isZipData ? zipInstaller::install(writer, path, *decoded)
                  : writeVerifiedFile(writer, path, *decoded,
                                      param::boolean(data, QStringLiteral("isBinary"), false));
    // Data that turn out not to decode part-way are refused as if found out before the write
    // began.
    return writeReply(written.errorCode == 959 ? decodeError : written);
}

QJsonObject fileCommands::setRights(const QVariantMap &data) const {
    const QByteArray bytes =
        base64::strict(param::stringBytes(data, QStringLiteral("fileDataB64")));
    if (bytes.isEmpty())
        return writeReply(
            saveResultStruct{959, QStringLiteral("Decode error of data from server!"), {}});
    // The rights are read at every start: a file beyond the bounds is never stored.
    const QString refused = settingsBounds::refusal(settingsBounds::File::Rights, bytes);
    if (!refused.isEmpty()) {
        m_log.write(958, QStringLiteral("New rights refused: ") + refused,
                    QStringLiteral("utilsModel::setRights"), true, true);
        return writeReply(saveResultStruct{958, refused, {}});
    }
    // Written as text, like every other file the client reads its configuration from.
    heldBytes held(bytes);
    return writeReply(writeVerifiedFile(fileWriter(m_session, m_log), m_rightsFile, held, false));
}

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QTextCodec>
#include <algorithm>

#include "storage/atomicfile.h"
#include "storage/pathresolver.h"
#include "storage/regularfile.h"
#include "commands/utilsmodel.h"
#include "storage/verifiedwrite.h"
#include "storage/zipinstaller.h"

namespace {
// getFileContent answers with the whole file in one message, so it refuses larger files
// instead of holding them (and their Base64 form) in memory.
constexpr qint64 maxFileContentBytes = qint64(64) * 1024 * 1024;

bool isAscii(const QByteArray &bytes) {
    return std::all_of(bytes.cbegin(), bytes.cend(), [](char c) { return uchar(c) < 0x80; });
}

QString textUpToNul(const QByteArray &bytes) {
    const int nul = bytes.indexOf('\0');
    return QString::fromUtf8(nul < 0 ? bytes : bytes.left(nul));
}

// Whether reading `data` as UTF-8 text and writing that text in the locale's encoding gives
// back the same bytes, so that a large text upload need not be held as UTF-16 too. It does when
// the locale is UTF-8 and the bytes are valid UTF-8 without the two things the conversion
// drops: a leading byte-order mark and everything from a NUL on.
bool textWriteKeepsBytes(const QByteArray &data) {
    static QTextCodec *const utf8 = QTextCodec::codecForName("UTF-8");
    if (QTextCodec::codecForLocale()->mibEnum() != utf8->mibEnum()) return false;
    if (data.startsWith("\xEF\xBB\xBF") || data.contains('\0')) return false;
    // Checked in slices, carrying a sequence cut at a slice end over to the next one.
    constexpr int sliceBytes = 64 * 1024;
    QTextCodec::ConverterState state;
    for (int at = 0; at < data.size(); at += sliceBytes)
        utf8->toUnicode(data.constData() + at, qMin(sliceBytes, data.size() - at), &state);
    return state.invalidChars == 0 && state.remainingChars == 0;
}

// Strict: one character outside the alphabet (a line break too) makes the result empty.
QByteArray strictBase64(const QByteArray &text) {
    const auto decoded =
        QByteArray::fromBase64Encoding(text, QByteArray::AbortOnBase64DecodingErrors);
    return decoded ? decoded.decoded : QByteArray();
}

// A required path counts only as a string that is not empty.
bool hasPath(const QVariantMap &data, const QString &key) {
    return !param::string(data, key).isEmpty();
}

QJsonObject writeReply(const saveResultStruct &result) {
    QJsonObject reply = utils.setErrorData(result.errorCode, result.errorDescription);
    reply.insert(QStringLiteral("info"), result.extraInfo);
    reply.insert(QStringLiteral("fileData"), QString());
    return reply;
}

saveResultStruct writeVerifiedFile(const QString &target, const QByteArray &bytes, bool isBinary) {
    // Nothing is written for a FIFO or device: it is neither opened nor replaced.
    if (regularFile::isSpecial(target))
        return saveResultStruct{900, QStringLiteral("Can't write to file!"),
                                regularFile::notRegular(target)};
    const QString temp = target + QStringLiteral(".tmp");
    const saveResultStruct written = verifiedWrite::writeAndVerify(temp, bytes, isBinary, target);
    return written.errorCode > 0 ? written : verifiedWrite::replace(target, temp);
}
}  // namespace

QString utilsModel::decodeBase64(const QString &text) {
    return textUpToNul(QByteArray::fromBase64(text.toLocal8Bit()));
}

saveResultStruct utilsModel::saveFile(const QString &path, const QByteArray &data, bool isBase64,
                                      bool isBinary, const QString &modeOf) {
    saveResultStruct result;
    QByteArray bytes;
    if (isBinary) {
        bytes = isBase64 ? strictBase64(data) : data;
    } else if (!isBase64 && textWriteKeepsBytes(data)) {
        bytes = data;
    } else {
        const QString text =
            isBase64 ? decodeBase64(QString::fromUtf8(data)) : QString::fromUtf8(data);
        bytes = text.toLocal8Bit();
    }
    // The settings directory holds credentials: its files are the owner's alone, new ones too.
    const bool inSettings = !Session.dataSettingsLocation.isEmpty() &&
                            pathResolver::isInside(path, Session.dataSettingsLocation);
    const unsigned newFileMode = inSettings ? 0600 : 0666;
    QString error;
    if (!atomicFile::write(path, bytes, &error, newFileMode, modeOf)) {
        addDebugText(900, QStringLiteral("Writing %1 failed: %2").arg(path, error),
                     QStringLiteral("utilsModel::saveFile"), true, true);
        result.errorCode = 900;
        result.errorDescription = QStringLiteral("Can't write to file!");
        result.extraInfo = error;
    }
    return result;
}

QJsonObject utilsModel::getDirectoryFiles(QVariantMap data) {
    QJsonObject reply = setErrorData(0, QString());
    reply.insert(QStringLiteral("files"), QString());
    const auto fail = [&reply](const QString &description) {
        reply.insert(QStringLiteral("errorCode"), 901);
        reply.insert(QStringLiteral("errorDescription"), description);
        return reply;
    };
    // An empty path names the base directory itself.
    if (!param::isString(data, QStringLiteral("searchPath")))
        return fail(QStringLiteral("Missing searchPath parameter"));
    const QString path = pathResolver::resolve(pathResolver::Listing,
                                               param::string(data, QStringLiteral("searchPath")),
                                               param::string(data, QStringLiteral("basePathType")));
    const QFileInfo info(path);
    if (!info.isDir() || !info.isReadable())
        return fail(QStringLiteral("%1 doesn't exist (or no rights)").arg(path));
    QDir dir(path);
    // One pattern: a filter holding ";" or a space is not split into several.
    dir.setNameFilters({param::string(data, QStringLiteral("searchFilter"), QStringLiteral("*"))});
    dir.setSorting(QDir::Name | QDir::IgnoreCase);
    reply.insert(QStringLiteral("files"), dir.entryList().join(QLatin1Char(',')));
    return reply;
}

QJsonObject utilsModel::createAndEmptyDirectory(QVariantMap data) {
    if (!param::isString(data, QStringLiteral("path")))
        return setErrorData(901, QStringLiteral("Missing path parameter"));
    const QString path = pathResolver::resolve(pathResolver::CreateDirectory,
                                               param::string(data, QStringLiteral("path")),
                                               param::string(data, QStringLiteral("basePathType")));
    // An existing directory keeps its contents: the command never removes anything.
    if (QFileInfo(path).isDir() || QDir().mkpath(path)) return setErrorData(0, QString());
    return setErrorData(902, QStringLiteral("Failed to create directory %1").arg(path));
}

QJsonObject utilsModel::getFileContent(QVariantMap data) {
    QJsonObject reply = setErrorData(404, QStringLiteral("Unknown error"));
    reply.insert(QStringLiteral("fileData"), QString());
    const auto fail = [&reply](int code, const QString &description) {
        reply.insert(QStringLiteral("errorCode"), code);
        reply.insert(QStringLiteral("errorDescription"), description);
        return reply;
    };
    if (!hasPath(data, QStringLiteral("filePath")))
        return fail(901, QStringLiteral("Missing filePath parameter"));
    const QString path = pathResolver::resolve(pathResolver::Reading,
                                               param::string(data, QStringLiteral("filePath")),
                                               param::string(data, QStringLiteral("basePathType")));
    // Text mode drops the carriage returns, so CR LF arrives as LF.
    QFile file;
    switch (regularFile::openForReading(path, &file, QIODevice::Text)) {
        case regularFile::Status::Missing:
            return fail(404, QStringLiteral("File %1 doesn't exist!").arg(path));
        case regularFile::Status::NotRegular:
            return fail(404, regularFile::notRegular(path));
        case regularFile::Status::Failed:
            return reply;
        case regularFile::Status::Opened:
            break;
    }
    const QString tooLarge =
        QStringLiteral("File %1 is larger than %2 bytes!").arg(path).arg(maxFileContentBytes);
    if (file.size() > maxFileContentBytes) return fail(903, tooLarge);
    QByteArray raw = file.read(maxFileContentBytes + 1);
    if (raw.size() > maxFileContentBytes) return fail(903, tooLarge);  // it grew meanwhile
    const bool toBase64 = param::boolean(data, QStringLiteral("toBase64"), true);
    reply = setErrorData(0, QString());
    // ASCII reads the same in Windows-1252 and in every locale encoding: such a file (the usual
    // case) goes to Base64 without the detour through UTF-16, which would triple its size.
    if (toBase64 && isAscii(raw)) {
        const QByteArray base64 = raw.toBase64();
        raw = QByteArray();
        reply.insert(QStringLiteral("fileData"), QLatin1String(base64));
        return reply;
    }
    const QString text = QTextCodec::codecForName("Windows-1252")->toUnicode(raw);
    raw = QByteArray();
    QByteArray out = toBase64 ? encodeBase64(text).toLatin1() : text.toLocal8Bit();
    if (param::boolean(data, QStringLiteral("replaceSpecialChars"), false))
        out.replace('\x02', "<STX>").replace('\x03', "<ETX>");
    reply.insert(QStringLiteral("fileData"), textUpToNul(out));
    return reply;
}

QJsonObject utilsModel::saveFileContent(QVariantMap data) {
    const QString filePathKey = QStringLiteral("filePath");
    if (!param::isString(data, filePathKey))
        return writeReply(saveResultStruct{954, QStringLiteral("Missing filePath parameter"), {}});
    if (param::string(data, filePathKey).isEmpty())
        return writeReply(saveResultStruct{955, QStringLiteral("FilePath can't be empy!"), {}});
    const QString path =
        pathResolver::resolve(pathResolver::Writing, param::string(data, filePathKey),
                              param::string(data, QStringLiteral("basePathType")));
    const bool isZipData = param::boolean(data, QStringLiteral("isZipData"), false);
    // An archive unpacked into a parent of the application folder could reach into it too.
    if (!Session.appDir.isEmpty() && (pathResolver::isInside(path, Session.appDir) ||
                                      (isZipData && pathResolver::isInside(Session.appDir, path))))
        return writeReply(saveResultStruct{
            930, QStringLiteral("Not allowed to write in application folder!"), {}});
    // Bad data are refused before anything on disk changes.
    const QByteArray bytes = strictBase64(param::stringBytes(data, QStringLiteral("fileDataB64")));
    if (bytes.isEmpty())
        return writeReply(
            saveResultStruct{959, QStringLiteral("Decode error of data from server!"), {}});
    if (isZipData) return writeReply(zipInstaller::install(path, bytes));
    if (!createDirectoryIfNeeded(path))
        return writeReply(saveResultStruct{
            940, QStringLiteral("Failed to create the directory for file %1!").arg(path), {}});
    return writeReply(
        writeVerifiedFile(path, bytes, param::boolean(data, QStringLiteral("isBinary"), false)));
}

QJsonObject utilsModel::setRights(QVariantMap data) {
    const QByteArray bytes = strictBase64(param::stringBytes(data, QStringLiteral("fileDataB64")));
    if (bytes.isEmpty())
        return writeReply(
            saveResultStruct{959, QStringLiteral("Decode error of data from server!"), {}});
    // Written as text, like every other file the client reads its configuration from.
    return writeReply(writeVerifiedFile(rightsFilePath(), bytes, false));
}

#include "storage/verifiedwrite.h"

#include <errno.h>
#include <openssl/evp.h>
#include <sys/stat.h>
#include <unistd.h>

#include <QFile>
#include <memory>

#include "core/regularfile.h"
#include "storage/atomicfile.h"
#include "storage/filewriter.h"

namespace {
// SHA-256 through the crypto library the TLS link loads anyway: hundreds of MiB a second faster
// than Qt's own, and every written byte is hashed twice.
class sha256 {
  public:
    sha256() : m_context(EVP_MD_CTX_new(), EVP_MD_CTX_free) {
        EVP_DigestInit_ex(m_context.get(), EVP_sha256(), nullptr);
    }
    void add(const QByteArray &bytes) {
        EVP_DigestUpdate(m_context.get(), bytes.constData(), size_t(bytes.size()));
    }
    QByteArray result() {
        QByteArray digest(EVP_MAX_MD_SIZE, Qt::Uninitialized);
        unsigned int size = 0;
        EVP_DigestFinal_ex(m_context.get(), reinterpret_cast<unsigned char *>(digest.data()),
                           &size);
        digest.truncate(int(size));
        return digest;
    }

  private:
    std::unique_ptr<EVP_MD_CTX, void (*)(EVP_MD_CTX *)> m_context;
};

// The bytes as they pass, counted and hashed, for the comparison with what was written.
class digestedSource : public byteSource {
  public:
    explicit digestedSource(byteSource &bytes) : m_bytes(bytes) {}

    bool next(QByteArray *slice, QString *error) override {
        if (!m_bytes.next(slice, error)) return false;
        m_hash.add(*slice);
        m_size += slice->size();
        return true;
    }
    bool sameAs(QFile &file) {
        constexpr qint64 sliceBytes = 256 * 1024;
        if (file.size() != m_size) return false;
        sha256 written;
        qint64 read = 0;
        for (QByteArray slice = file.read(sliceBytes); !slice.isEmpty();
             slice = file.read(sliceBytes)) {
            written.add(slice);
            read += slice.size();
        }
        return read == m_size && written.result() == m_hash.result();
    }

  private:
    byteSource &m_bytes;
    sha256 m_hash;
    qint64 m_size = 0;
};

bool keepAsOld(const QString &target) {
    const QString old = target + QStringLiteral(".old");
    const QByteArray oldName = QFile::encodeName(old);
    if (::unlink(oldName.constData()) != 0 && errno != ENOENT) return false;
    if (::link(QFile::encodeName(target).constData(), oldName.constData()) == 0)
        return atomicFile::syncDirectoryOf(old);
    QFile original;
    if (regularFile::openForReading(target, &original) != regularFile::Status::Opened) return false;
    QString error;
    return atomicFile::write(old, original.readAll(), &error, 0666, target);
}
}  // namespace

saveResultStruct verifiedWrite::writeAndVerify(const fileWriter &writer, const QString &tempPath,
                                               byteSource &source, bool isBinary,
                                               const QString &target,
                                               atomicFile::Durability durability) {
    digestedSource digested(source);
    const saveResultStruct written = writer.write(tempPath, digested, isBinary, target, durability);
    if (written.errorCode > 0) return written;
    QFile file;
    if (regularFile::openForReading(tempPath, &file) != regularFile::Status::Opened)
        return saveResultStruct{998, QStringLiteral("Can't open the temp file!"), {}};
    if (!digested.sameAs(file))
        return saveResultStruct{999, QStringLiteral("Written data doesn't compare!"), {}};
    return written;
}

saveResultStruct verifiedWrite::replace(const QString &target, const QString &tempPath) {
    saveResultStruct result;
    struct stat existing;
    if (::lstat(QFile::encodeName(target).constData(), &existing) == 0 && !keepAsOld(target))
        result.extraInfo = QStringLiteral("Couldn't move original to .old!");
    if (::rename(QFile::encodeName(tempPath).constData(), QFile::encodeName(target).constData()) !=
        0)
        return saveResultStruct{998, QStringLiteral("Failed to move the tmp file to target!"), {}};
    atomicFile::syncDirectoryOf(target);
    return result;
}

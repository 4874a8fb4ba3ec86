#include "net/certificate_files.h"

#include "runtime/shown_text.h"

#include <QCryptographicHash>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QSaveFile>

#include <openssl/bio.h>
#include <openssl/err.h>
#include <openssl/evp.h>
#include <openssl/pem.h>
#include <openssl/rand.h>
#include <openssl/x509.h>
#include <openssl/x509v3.h>

#include <algorithm>
#include <memory>

namespace {

template <typename T, void (*Free)(T *)> struct Freer {
    void operator()(T *p) const { Free(p); }
};
using Bio = std::unique_ptr<BIO, Freer<BIO, BIO_free_all>>;
using Key = std::unique_ptr<EVP_PKEY, Freer<EVP_PKEY, EVP_PKEY_free>>;
using Certificate = std::unique_ptr<X509, Freer<X509, X509_free>>;

// The last reason libcrypto gave, in its own words ("bad decrypt").
QString cryptoReason() {
    unsigned long code = 0;
    unsigned long last = 0;
    while ((code = ERR_get_error()) != 0)
        last = code;
    if (last == 0)
        return QStringLiteral("unknown reason");
    const char *reason = ERR_reason_error_string(last);
    return reason ? QString::fromLatin1(reason) : QStringLiteral("error %1").arg(last);
}

int passphraseCallback(char *buffer, int size, int /*rwflag*/, void *user) {
    const auto *passphrase = static_cast<const QByteArray *>(user);
    if (!passphrase || passphrase->isEmpty() || passphrase->size() > size)
        return 0;
    std::memcpy(buffer, passphrase->constData(), size_t(passphrase->size()));
    return int(passphrase->size());
}

QSsl::KeyAlgorithm algorithmOf(const EVP_PKEY *key) {
    switch (EVP_PKEY_get_base_id(key)) {
    case EVP_PKEY_RSA:
        return QSsl::Rsa;
    case EVP_PKEY_EC:
        return QSsl::Ec;
    case EVP_PKEY_DSA:
        return QSsl::Dsa;
    case EVP_PKEY_DH:
        return QSsl::Dh;
    default:
        return QSsl::Opaque;
    }
}

// The key unprotected, as PEM in memory, for Qt to take.
QByteArray plainPem(EVP_PKEY *key) {
    const Bio out(BIO_new(BIO_s_mem()));
    if (!out
        || PEM_write_bio_PrivateKey(out.get(), key, nullptr, nullptr, 0, nullptr, nullptr) != 1)
        return {};
    char *data = nullptr;
    const long size = BIO_get_mem_data(out.get(), &data);
    return QByteArray(data, qsizetype(size));
}

bool addExtension(X509 *certificate, int nid, const char *value) {
    X509V3_CTX context;
    X509V3_set_ctx_nodb(&context);
    X509V3_set_ctx(&context, certificate, certificate, nullptr, nullptr, 0);
    X509_EXTENSION *extension = X509V3_EXT_conf_nid(nullptr, &context, nid, value);
    if (!extension)
        return false;
    const bool added = X509_add_ext(certificate, extension, -1) == 1;
    X509_EXTENSION_free(extension);
    return added;
}

// Written whole under a name of its own, so a failure leaves no part of it under `name`.
bool writeWhole(QSaveFile &file, const QByteArray &bytes, QFile::Permissions permissions,
                QString &error) {
    // The permissions go on before the first byte, so a key is never readable by others; the
    // flush is the check commit() leaves out, for a disk that is full.
    if (!file.open(QIODevice::WriteOnly) || !file.setPermissions(permissions)
        || file.write(bytes) != bytes.size() || !file.flush()) {
        error = QStringLiteral("%1 cannot be written: %2")
                    .arg(shownValue(file.fileName()), file.errorString());
        file.cancelWriting();
        return false;
    }
    return true;
}

bool commitNew(QSaveFile &file, QString &error) {
    if (QFileInfo::exists(file.fileName())) { // made meanwhile by someone else: theirs
        error = QStringLiteral("%1 exists already; it is kept").arg(shownValue(file.fileName()));
        file.cancelWriting();
        return false;
    }
    if (!file.commit()) {
        error = QStringLiteral("%1 cannot be written: %2")
                    .arg(shownValue(file.fileName()), file.errorString());
        return false;
    }
    return true;
}

Certificate selfSigned(EVP_PKEY *key, const QString &hostName, int days) {
    Certificate certificate(X509_new());
    if (!certificate)
        return {};
    X509 *x = certificate.get();
    unsigned char serial[16];
    if (RAND_bytes(serial, sizeof serial) != 1)
        return {};
    serial[0] &= 0x7f; // a positive number
    BIGNUM *number = BN_bin2bn(serial, sizeof serial, nullptr);
    const bool serialSet = number && BN_to_ASN1_INTEGER(number, X509_get_serialNumber(x));
    BN_free(number);
    X509_NAME *name = X509_get_subject_name(x);
    const QByteArray host = hostName.toUtf8();
    const QByteArray altNames = "DNS:" + host + ",DNS:localhost,IP:127.0.0.1,IP:::1";
    const bool made =
        serialSet && X509_set_version(x, X509_VERSION_3) == 1
        && X509_gmtime_adj(X509_getm_notBefore(x), 0)
        && X509_time_adj_ex(X509_getm_notAfter(x), days, 0, nullptr)
        && X509_NAME_add_entry_by_txt(name, "CN", MBSTRING_UTF8,
                                      reinterpret_cast<const unsigned char *>(host.constData()),
                                      int(host.size()), -1, 0)
               == 1
        && X509_set_issuer_name(x, name) == 1 && X509_set_pubkey(x, key) == 1
        && addExtension(x, NID_subject_alt_name, altNames.constData())
        && addExtension(x, NID_basic_constraints, "critical,CA:TRUE")
        && addExtension(x, NID_key_usage, "critical,digitalSignature,keyCertSign")
        && addExtension(x, NID_ext_key_usage, "serverAuth,clientAuth")
        && addExtension(x, NID_subject_key_identifier, "hash")
        && X509_sign(x, key, EVP_sha256()) > 0;
    return made ? std::move(certificate) : Certificate();
}

} // namespace

bool readPemFile(const QString &name, QByteArray &bytes, QString &error) {
    // Qt would add a warning of its own for a file without a name.
    if (name.isEmpty()) {
        error = QStringLiteral("no file is named");
        return false;
    }
    QFile file(name);
    if (!file.open(QIODevice::ReadOnly)) {
        error = QStringLiteral("%1 cannot be read: %2").arg(shownValue(name), file.errorString());
        return false;
    }
    // Certificate files are small; a device or a huge file is no certificate.
    constexpr qint64 Largest = 1 << 20;
    // Asked for 1 MiB, Qt allocates it first; the size a file tells (0 for many in /proc) is
    // what the first read asks for, and a file that grew meanwhile is read on.
    const qint64 told = file.isSequential() ? 0 : file.size();
    bytes = file.read(told > 0 ? std::min(told, Largest) + 1 : Largest + 1);
    if (bytes.size() > told && told > 0 && bytes.size() <= Largest)
        bytes += file.read(Largest + 1 - bytes.size());
    if (bytes.size() > Largest) {
        error =
            QStringLiteral("%1 is larger than 1 MiB, which no PEM file is").arg(shownValue(name));
        return false;
    }
    return true;
}

QList<QSslCertificate> readCertificates(const QString &file, QString &error) {
    QByteArray bytes;
    if (!readPemFile(file, bytes, error))
        return {};
    const QList<QSslCertificate> certificates = QSslCertificate::fromData(bytes, QSsl::Pem);
    if (certificates.isEmpty())
        error = QStringLiteral("%1 holds no PEM certificate").arg(file);
    return certificates;
}

bool keyNeedsPassphrase(const QString &keyFile) {
    QByteArray bytes;
    QString unused;
    return readPemFile(keyFile, bytes, unused)
           && (bytes.contains("ENCRYPTED PRIVATE KEY") || bytes.contains("Proc-Type: 4,ENCRYPTED"));
}

TlsIdentity readIdentity(const QString &certificateFile, const QString &keyFile,
                         const QByteArray &passphrase) {
    TlsIdentity identity;
    identity.chain = readCertificates(certificateFile, identity.error);
    if (!identity.error.isEmpty())
        return identity;
    QByteArray pem;
    if (!readPemFile(keyFile, pem, identity.error))
        return identity;
    ERR_clear_error();
    const Bio in(BIO_new_mem_buf(pem.constData(), int(pem.size())));
    QByteArray given = passphrase;
    const Key key(PEM_read_bio_PrivateKey(in.get(), nullptr, passphraseCallback, &given));
    if (!key) {
        const QString reason = cryptoReason();
        if (keyNeedsPassphrase(keyFile))
            identity.error = passphrase.isEmpty()
                                 ? QStringLiteral("the key %1 needs its passphrase").arg(keyFile)
                                 : QStringLiteral("the passphrase does not open the key %1 (%2)")
                                       .arg(keyFile, reason);
        else
            identity.error =
                QStringLiteral("%1 holds no PEM private key (%2)").arg(keyFile, reason);
        return identity;
    }
    const QByteArray der = identity.chain.constFirst().toDer();
    const auto *derData = reinterpret_cast<const unsigned char *>(der.constData());
    const Certificate certificate(d2i_X509(nullptr, &derData, long(der.size())));
    if (!certificate || X509_check_private_key(certificate.get(), key.get()) != 1) {
        ERR_clear_error();
        identity.error = QStringLiteral("the key %1 does not belong to the certificate %2")
                             .arg(keyFile, certificateFile);
        return identity;
    }
    identity.key = QSslKey(plainPem(key.get()), algorithmOf(key.get()), QSsl::Pem);
    if (identity.key.isNull())
        identity.error = QStringLiteral("the key %1 is of a kind TLS here cannot use").arg(keyFile);
    return identity;
}

QString fingerprintText(const QSslCertificate &certificate) {
    return QString::fromLatin1(certificate.digest(QCryptographicHash::Sha256).toHex(':').toUpper());
}

MadeCertificate makeSelfSignedCertificate(const QString &folder, const QString &hostName,
                                          int days) {
    MadeCertificate made;
    const QDir dir(folder);
    if (!dir.exists() && !QDir().mkpath(folder)) {
        made.error = QStringLiteral("the folder %1 cannot be made").arg(folder);
        return made;
    }
    ERR_clear_error();
    const Key key(EVP_PKEY_Q_keygen(nullptr, nullptr, "EC", "P-256"));
    const Certificate certificate = key ? selfSigned(key.get(), hostName, days) : Certificate();
    const Bio certificatePem(BIO_new(BIO_s_mem()));
    if (!certificate || !certificatePem
        || PEM_write_bio_X509(certificatePem.get(), certificate.get()) != 1) {
        made.error = QStringLiteral("no certificate could be made: %1").arg(cryptoReason());
        return made;
    }
    char *data = nullptr;
    const long size = BIO_get_mem_data(certificatePem.get(), &data);
    const QByteArray certificateBytes(data, qsizetype(size));
    const QString keyFile = dir.absoluteFilePath(MadeKeyName);
    const QString certificateFile = dir.absoluteFilePath(MadeCertificateName);
    for (const QString &file : {keyFile, certificateFile}) {
        if (QFileInfo::exists(file)) {
            made.error = QStringLiteral("%1 exists already; it is kept").arg(shownValue(file));
            return made;
        }
    }
    // Both are written out before either takes its name, and the key goes again if the
    // certificate cannot follow it: a failure leaves the folder as it was.
    QSaveFile keyOut(keyFile);
    QSaveFile certificateOut(certificateFile);
    if (!writeWhole(keyOut, plainPem(key.get()), QFile::ReadOwner | QFile::WriteOwner, made.error)
        || !writeWhole(certificateOut, certificateBytes,
                       QFile::ReadOwner | QFile::WriteOwner | QFile::ReadGroup | QFile::ReadOther,
                       made.error)
        || !commitNew(keyOut, made.error))
        return made;
    if (!commitNew(certificateOut, made.error)) {
        if (!QFile::remove(keyFile))
            made.error += QStringLiteral("; the key %1 is left").arg(shownValue(keyFile));
        return made;
    }
    made.keyFile = keyFile;
    made.certificateFile = certificateFile;
    made.fingerprint = fingerprintText(QSslCertificate(certificateBytes, QSsl::Pem));
    return made;
}

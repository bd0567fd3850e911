#include "testfiles.h"

#include <QCryptographicHash>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QJsonDocument>
#include <QProcess>

QByteArray readAll(const QString& path)
{
    QFile f(path);
    return f.open(QIODevice::ReadOnly) ? f.readAll() : QByteArray();
}

bool writeAll(const QString& path, const QByteArray& bytes)
{
    QDir().mkpath(QFileInfo(path).absolutePath());
    QFile f(path);
    return f.open(QIODevice::WriteOnly | QIODevice::Truncate) && f.write(bytes) == bytes.size() &&
           f.flush();
}

QString md5Hex(const QByteArray& bytes)
{
    return QString::fromLatin1(md5Bytes(bytes));
}

QByteArray md5Bytes(const QByteArray& bytes)
{
    return QCryptographicHash::hash(bytes, QCryptographicHash::Md5).toHex();
}

QJsonObject readJson(const QString& path)
{
    return QJsonDocument::fromJson(readAll(path)).object();
}

QByteArray bytePattern(int size, int seed)
{
    QByteArray bytes(size, Qt::Uninitialized);
    for (int i = 0; i < size; ++i)
        bytes[i] = char(seed + i * 7 + i / 251);
    return bytes;
}

bool makeTestCertificates(const QString& dir)
{
    // EC keys: made at once, where RSA ones take a while.
    const QString script = R"(set -e
ec="-newkey ec -pkeyopt ec_paramgen_curve:prime256v1 -nodes"
san=subjectAltName=IP:127.0.0.1,DNS:localhost
echo $san >server.ext
openssl req -x509 $ec -days 2 -keyout ca.key -out ca.pem -subj "/CN=Drevna test CA"
openssl req $ec -keyout server.key -out server.csr -subj /CN=127.0.0.1
openssl x509 -req -in server.csr -CA ca.pem -CAkey ca.key -CAcreateserial -days 2 \
  -extfile server.ext -out server.pem
openssl req -x509 $ec -days 2 -keyout stranger.key -out stranger.pem -subj /CN=127.0.0.1 \
  -addext $san)";
    QProcess sh;
    sh.setWorkingDirectory(dir);
    sh.setProcessChannelMode(QProcess::MergedChannels);
    sh.start("sh", {"-c", script});
    return sh.waitForFinished(60000) && sh.exitStatus() == QProcess::NormalExit &&
           sh.exitCode() == 0;
}

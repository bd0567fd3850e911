#include "services/eventtracker.h"

#include "base/buildconfig.h"

#include <QCoreApplication>
#include <QCryptographicHash>
#include <QDateTime>
#include <QDebug>
#include <QFile>
#include <QMap>
#include <QNetworkAccessManager>
#include <QNetworkReply>
#include <QNetworkRequest>
#include <QSysInfo>
#include <QThread>
#include <QUrl>
#include <QUuid>

namespace
{
const char* const signatureSalt = "Qd72hTRwpLmxva";
const char* const clientIdFile = "./clientid.txt";
} // namespace

EventTracker* EventTracker::instance()
{
    static EventTracker tracker;
    return &tracker;
}

EventTracker::EventTracker() : url(channel::trackingHost() + QStringLiteral("/trackevent"))
{
    manager = new QNetworkAccessManager();
    // The first report may come from a worker thread; requests are only ever
    // made on the GUI thread.
    if (QCoreApplication* app = QCoreApplication::instance())
        manager->moveToThread(app->thread());
}

void EventTracker::trackEvent(const QString& eventName, const QString& val1, const QString& val2)
{
    qDebug().noquote() << QStringLiteral("trackEvent eventName: ") + eventName +
                              QStringLiteral(", val1: ") + val1 + QStringLiteral(", val2: ") + val2;
    const QString address =
        buildUrl(eventName, val1, val2, QDateTime::currentMSecsSinceEpoch() / 1000);
    if (QThread::currentThread() == manager->thread())
        send(address);
    else
        QMetaObject::invokeMethod(
            manager, [this, address] { send(address); }, Qt::QueuedConnection);
}

void EventTracker::send(const QString& address)
{
    QNetworkReply* reply = manager->get(QNetworkRequest(QUrl(address, QUrl::TolerantMode)));
    // Nobody reads the answer; only release it.
    QObject::connect(reply, &QNetworkReply::finished, reply, &QObject::deleteLater);
}

QString EventTracker::buildUrl(const QString& eventName, const QString& val1, const QString& val2,
                               qint64 unixTime)
{
    // A map keeps the keys in the order that the signature depends on.
    QMap<QString, QString> params;
    params.insert(QStringLiteral("channel"), QString::number(channel));
    params.insert(QStringLiteral("clientid"), clientId());
    params.insert(QStringLiteral("name"), eventName);
    params.insert(QStringLiteral("network"), QStringLiteral("Ethernet"));
    params.insert(QStringLiteral("platform"), QSysInfo::prettyProductName());
    params.insert(QStringLiteral("time"), QString::number(unixTime));
    params.insert(QStringLiteral("val1"), val1);
    params.insert(QStringLiteral("val2"), val2);
    params.insert(QStringLiteral("version"), QStringLiteral("QT_100"));

    QString address = url;
    QString signedText;
    for (auto it = params.cbegin(); it != params.cend(); ++it) {
        address += it == params.cbegin() ? QLatin1Char('?') : QLatin1Char('&');
        address +=
            it.key() + QLatin1Char('=') + QString::fromLatin1(QUrl::toPercentEncoding(it.value()));
        signedText += it.value();
    }
    signedText += QLatin1String(signatureSalt);
    const QByteArray sign =
        QCryptographicHash::hash(signedText.toUtf8(), QCryptographicHash::Md5).toHex();
    return address + QStringLiteral("&sign=") + QString::fromLatin1(sign);
}

QString EventTracker::clientId()
{
    QMutexLocker lock(&clientIdMutex);
    if (!m_clientId.isEmpty())
        return m_clientId;
    QFile in(QString::fromLatin1(clientIdFile));
    if (in.open(QIODevice::ReadOnly)) {
        // Kept exactly as stored, line break and all: the endpoint knows it so.
        m_clientId = QString::fromUtf8(in.readAll());
        in.close();
    }
    if (m_clientId.isEmpty()) {
        m_clientId = QUuid::createUuid().toString();
        QFile out(QString::fromLatin1(clientIdFile));
        if (out.open(QIODevice::WriteOnly | QIODevice::Truncate)) {
            out.write(m_clientId.toUtf8());
            out.close();
        }
    }
    return m_clientId;
}

// Decoding of the portal's news answer.
#include "services/news.h"

#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>

namespace
{

QString stringMember(const QJsonObject& item, const char* name)
{
    const QJsonValue value = item.value(QLatin1String(name));
    return value.isString() ? value.toString() : QString();
}

// The list of the tab current when the answer arrives; false when the answer
// does not hold it.
bool newsList(const QJsonObject& answer, int page, QJsonArray& list)
{
    QJsonValue value;
    switch (page) {
    case 0: {
        const QJsonValue data = answer.value(QLatin1String("data"));
        if (!data.isObject())
            return false;
        value = data.toObject().value(QLatin1String("list"));
        break;
    }
    case 1:
        value = answer.value(QLatin1String("zonghe"));
        break;
    case 2:
        value = answer.value(QLatin1String("gonggao"));
        break;
    case 3:
        value = answer.value(QLatin1String("gonglue"));
        break;
    default:
        return false;
    }
    if (!value.isArray())
        return false;
    list = value.toArray();
    return true;
}

} // namespace

bool decodeNewsAnswer(const QByteArray& body, int page, QList<NewsItem>& items)
{
    QJsonParseError error;
    const QJsonDocument doc = QJsonDocument::fromJson(QString::fromUtf8(body).toUtf8(), &error);
    if (doc.isNull() || error.error != QJsonParseError::NoError || !doc.isObject() ||
        doc.object().isEmpty())
        return false;
    QJsonArray list;
    if (!newsList(doc.object(), page, list))
        return false;
    items.clear();
    for (const QJsonValue& element : qAsConst(list)) {
        const QJsonObject item = element.toObject();
        items.append({stringMember(item, "post_title"), stringMember(item, "update_time"),
                      stringMember(item, "url")});
    }
    return true;
}

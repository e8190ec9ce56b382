#include "kamailiorpcreply.h"

#include <QJsonDocument>
#include <QJsonObject>

namespace {

const int MaxMessageLength = 300;

QString bounded(const QString &text)
{
    if (text.size() <= MaxMessageLength)
        return text;
    int end = MaxMessageLength;
    if (text.at(end - 1).isHighSurrogate())
        --end;
    return text.left(end) + QStringLiteral("...");
}

}

bool KamailioRpcReply::isMethodNotFound() const
{
    return status == Error && message.contains(QLatin1String("Method Not Found"), Qt::CaseInsensitive);
}

QString KamailioRpcReply::describe() const
{
    switch (status) {
    case Ok: return QStringLiteral("ok");
    case Error: return QStringLiteral("Kamailio answered error %1: %2").arg(code).arg(message);
    case Failed: break;
    }
    return message;
}

KamailioRpcReply KamailioRpcReply::failure(const QString &why)
{
    KamailioRpcReply r;
    r.message = bounded(why);
    return r;
}

KamailioRpcReply KamailioRpcReply::read(const QByteArray &datagram)
{
    if (datagram.size() > MaxBytes)
        return failure(QStringLiteral("Kamailio's reply is larger than 1 MiB; refused"));
    QJsonParseError error;
    QJsonDocument doc = QJsonDocument::fromJson(datagram, &error);
    if (error.error == QJsonParseError::IllegalUTF8String) {
        // A user agent's header with bad UTF-8 must not hide every other row.
        doc = QJsonDocument::fromJson(QString::fromUtf8(datagram).toUtf8(), &error);
    }
    if (error.error != QJsonParseError::NoError)
        return failure(QStringLiteral("Kamailio's reply is not JSON: %1 at byte %2").arg(error.errorString()).arg(error.offset));
    if (!doc.isObject())
        return failure(QStringLiteral("Kamailio's reply is not a JSON-RPC object"));
    const QJsonObject o = doc.object();

    KamailioRpcReply r;
    const QJsonValue id = o.value(QLatin1String("id"));
    const double number = id.toDouble(-1);
    if (id.isDouble() && number >= 0 && number <= 9007199254740992.0 && number == qint64(number))
        r.id = qint64(number);

    const QJsonValue errorValue = o.value(QLatin1String("error"));
    if (!errorValue.isUndefined()) {
        const QJsonObject e = errorValue.toObject();
        const QJsonValue code = e.value(QLatin1String("code"));
        const double codeNumber = code.toDouble();
        r.status = Error;
        r.code = code.isDouble() && codeNumber >= -2147483647.0 && codeNumber <= 2147483647.0 ? int(codeNumber) : 0;
        r.message = bounded(e.value(QLatin1String("message")).toString());
        if (r.message.isEmpty())
            r.message = QStringLiteral("(no message)");
        return r;
    }
    if (!o.contains(QLatin1String("result"))) {
        r.message = QStringLiteral("Kamailio's reply holds neither a result nor an error");
        return r;
    }
    r.status = Ok;
    r.result = o.value(QLatin1String("result"));
    return r;
}

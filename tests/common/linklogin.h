#pragma once

#include "pbxframecodec.h"
#include "scramclient.h"

#include <QHostAddress>
#include <QJsonDocument>
#include <QSslSocket>
#include <QtTest>

// A client of the link written out by hand, frame by frame, for tests that
// play a hostile or plain client against an exchange on loopback.

inline QByteArray linkFrame(const QString &type, const QJsonObject &more = {})
{
    QJsonObject frame = more;
    frame.insert(QStringLiteral("type"), type);
    return PbxFrameCodec::encode(frame);
}

// The next frame the exchange sends, or an empty object when none comes.
inline QJsonObject nextFrame(QAbstractSocket &socket)
{
    if (!QTest::qWaitFor([&] { return socket.canReadLine() || socket.state() == QAbstractSocket::UnconnectedState; },
                         5000)
        || !socket.canReadLine())
        return {};
    return QJsonDocument::fromJson(socket.readLine()).object();
}

// A login over its own connection from the given loopback address, up to
// the exchange's challenge (or whatever it answers instead).
inline QJsonObject beginLogin(QSslSocket &socket, quint16 port, const ScramClient &scram,
                              const QString &from = QStringLiteral("127.0.0.1"))
{
    socket.setPeerVerifyMode(QSslSocket::VerifyNone);
    socket.bind(QHostAddress(from));
    socket.connectToHostEncrypted(QStringLiteral("127.0.0.1"), port);
    if (nextFrame(socket).value(QLatin1String("type")) != QLatin1String("hello"))
        return {};
    socket.write(linkFrame(QStringLiteral("login"), {{QStringLiteral("mode"), 5},
                                                    {QStringLiteral("scram"), QString::fromUtf8(scram.clientFirst())}}));
    return nextFrame(socket);
}

// The proof for a challenge; the exchange's verdict.
inline QJsonObject proveLogin(QSslSocket &socket, ScramClient &scram, const QJsonObject &challenge)
{
    if (challenge.value(QLatin1String("type")) != QLatin1String("login-challenge"))
        return challenge;
    QString error;
    const QByteArray final = scram.clientFinal(challenge.value(QLatin1String("scram")).toString().toUtf8(), &error);
    socket.write(linkFrame(QStringLiteral("login-proof"), {{QStringLiteral("scram"), QString::fromUtf8(final)}}));
    return nextFrame(socket);
}

inline QJsonObject logIn(QSslSocket &socket, quint16 port, const QString &user,
                         const QString &password = QStringLiteral("pw"), const QString &from = QStringLiteral("127.0.0.1"))
{
    ScramClient scram(user, password);
    return proveLogin(socket, scram, beginLogin(socket, port, scram, from));
}

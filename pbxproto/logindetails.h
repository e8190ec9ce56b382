#pragma once

#include <QMetaType>
#include <QString>
#include <QStringList>

// What the exchange tells about the session it accepted.
struct LoginDetails
{
    QString user;
    QString domain;
    QString serverName;
    QString serverVersion;
    QString apiVersion;
    QString sessionId;
    QString clientAddress;
    QString loginTime;
    QStringList features;
    QString extension;
    QString displayName;
    QString language;
    QString timezone;
};

Q_DECLARE_METATYPE(LoginDetails)

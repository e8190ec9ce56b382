#pragma once

#include <QList>
#include <QMetaType>
#include <QString>
#include <QStringList>

// One exchange that answered a discovery request.
struct DiscoveryInfo
{
    QStringList ips;   // in order of the reply, no duplicates
    QString pn;        // model
    QString fw;        // firmware version
    QString sn;        // serial number
    QString bl;        // bootloader version

    bool operator==(const DiscoveryInfo &other) const;
    bool operator!=(const DiscoveryInfo &other) const { return !(*this == other); }

    // Makes the record usable in queued connections and invokeMethod calls.
    // Safe to call more than once.
    static void registerMetaTypes();
};

Q_DECLARE_METATYPE(DiscoveryInfo)

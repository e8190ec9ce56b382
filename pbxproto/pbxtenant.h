#pragma once

#include <QMetaType>
#include <QString>

// A tenant as an exchange lists it. The agent reads them from its
// configuration or from Kamailio's domain table, whose did is the uuid and
// whose domains, ", "-joined, are the name.
struct PbxTenant
{
    QString uuid;
    QString name;

    bool operator==(const PbxTenant &other) const { return uuid == other.uuid && name == other.name; }
    bool operator!=(const PbxTenant &other) const { return !(*this == other); }
};

Q_DECLARE_METATYPE(PbxTenant)

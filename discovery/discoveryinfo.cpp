#include "discoveryinfo.h"

bool DiscoveryInfo::operator==(const DiscoveryInfo &other) const
{
    return ips == other.ips && pn == other.pn && fw == other.fw && sn == other.sn && bl == other.bl;
}

void DiscoveryInfo::registerMetaTypes()
{
    qRegisterMetaType<DiscoveryInfo>("DiscoveryInfo");
    qRegisterMetaType<QList<DiscoveryInfo>>("QList<DiscoveryInfo>");
}

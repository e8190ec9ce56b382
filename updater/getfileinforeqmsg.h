#pragma once

#include "zufwxmlrequestmessage.h"

namespace ZUFW_XML {

// Asks the update server which file the application should have.
class GetFileInfoReqMsg : public ZUFWXmlRequestMessage
{
public:
    GetFileInfoReqMsg(const QString &appUniqueId = QString(), int fileInfoType = 1, int platform = 2);

    QString xmlBody() const override;

    QString appUniqueId;
    int fileInfoType;
    int platform;
};

} // namespace ZUFW_XML

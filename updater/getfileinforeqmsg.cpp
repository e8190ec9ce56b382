#include "getfileinforeqmsg.h"

#include "zufwxmltags.h"

namespace ZUFW_XML {

GetFileInfoReqMsg::GetFileInfoReqMsg(const QString &appUniqueId, int fileInfoType, int platform)
    : appUniqueId(appUniqueId)
    , fileInfoType(fileInfoType)
    , platform(platform)
{
}

QString GetFileInfoReqMsg::xmlBody() const
{
    return element(GetFileInfo,
                   element(AppUniqueId, appUniqueId)
                       + element(FileInfoType, QString::number(fileInfoType))
                       + element(Platform, QString::number(platform)));
}

} // namespace ZUFW_XML

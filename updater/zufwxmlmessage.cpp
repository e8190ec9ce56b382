#include "zufwxmlmessage.h"

#include "zufwxmltags.h"

namespace ZUFW_XML {

ZUFWXmlMessage::~ZUFWXmlMessage() = default;

QString ZUFWXmlMessage::toXml() const
{
    return xmlHeader() + xmlBody() + xmlFooter();
}

QString ZUFWXmlMessage::openTag(const QString &name)
{
    return QLatin1Char('<') + name + QLatin1Char('>');
}

QString ZUFWXmlMessage::closeTag(const QString &name)
{
    return QLatin1String("</") + name + QLatin1Char('>');
}

QString ZUFWXmlMessage::element(const QString &name, const QString &content)
{
    return openTag(name) + content + closeTag(name);
}

QString ZUFWXmlMessage::xmlHeader() const
{
    return openTag(ZTUPFW) + element(API, ApiVersion);
}

QString ZUFWXmlMessage::xmlFooter() const
{
    return closeTag(ZTUPFW);
}

} // namespace ZUFW_XML

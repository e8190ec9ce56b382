#pragma once

#include <QString>

namespace ZUFW_XML {

// One document of the update protocol: header, message body, footer.
class ZUFWXmlMessage
{
public:
    virtual ~ZUFWXmlMessage();

    virtual QString xmlBody() const = 0;
    QString toXml() const;

    static QString openTag(const QString &name);
    static QString closeTag(const QString &name);
    // The element written as open tag, content, close tag; content is not escaped.
    static QString element(const QString &name, const QString &content);

protected:
    QString xmlHeader() const;
    QString xmlFooter() const;
};

} // namespace ZUFW_XML

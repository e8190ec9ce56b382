#pragma once

#include "zufwxmlmessage.h"

namespace ZUFW_XML {

// Base of every message the client sends.
class ZUFWXmlRequestMessage : public ZUFWXmlMessage
{
public:
    ~ZUFWXmlRequestMessage() override;
};

} // namespace ZUFW_XML

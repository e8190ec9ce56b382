#include "zufwxmlrequestmessage.h"

namespace ZUFW_XML {

ZUFWXmlRequestMessage::~ZUFWXmlRequestMessage() = default;

} // namespace ZUFW_XML

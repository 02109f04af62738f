#pragma once

// The reading of device replies shared by the service files: element names compared on their local part
// (devices use all sorts of prefixes), texts trimmed, numbers plain digits.
#include <tinyxml2.h>

#include <string>

namespace onvifc::xml {

using tinyxml2::XMLElement;
using tinyxml2::XMLNode;

bool HasLocalName(const XMLElement* e, const char* local);
// The first child element with that local name, or nothing.
const XMLElement* Child(const XMLNode* parent, const char* local);
std::string Trim(const std::string& s);
// An element's text, trimmed; empty when it has none.
std::string Text(const XMLElement* e);
// Plain decimal digits only, within [low, high]: no sign, no spaces, nothing after them.
bool ToInt(const std::string& text, int low, int high, int& out);
// "ter:NotAuthorized" -> "NotAuthorized".
std::string LocalPart(const std::string& qname);

// Parses a reply and finds the first element inside its SOAP Body. The parser reads exactly the bytes
// given and refuses a document nested deeper than TINYXML2_MAX_ELEMENT_DEPTH.
class Reply {
public:
    explicit Reply(const std::string& body);
    bool IsSoap() const { return m_isSoap; }
    bool WellFormed() const { return m_wellFormed; }
    // The response element when it has the expected name.
    const XMLElement* Payload(const char* local) const;

private:
    tinyxml2::XMLDocument m_doc;
    bool m_isSoap = false;
    bool m_wellFormed = false;
    const XMLElement* m_payload = nullptr;
};

}  // namespace onvifc::xml

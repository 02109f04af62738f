#pragma once

#include <tinyxml2.h>

#include <cstring>
#include <string>

namespace fakecam {

using tinyxml2::XMLDocument;
using tinyxml2::XMLElement;
using tinyxml2::XMLNode;

// Element names compared on their local part: prefixes differ from one client to the next.
inline std::string LocalName(const char* name) {
    const char* colon = std::strrchr(name, ':');
    return colon ? colon + 1 : name;
}

inline const XMLElement* Child(const XMLNode* parent, const char* local) {
    if (!parent) return nullptr;
    for (const XMLElement* e = parent->FirstChildElement(); e; e = e->NextSiblingElement()) {
        if (LocalName(e->Name()) == local) return e;
    }
    return nullptr;
}

inline std::string TextOf(const XMLElement* e) { return e && e->GetText() ? e->GetText() : ""; }

// Parses what a client sent, exactly its bytes; false when it is not well-formed XML.
inline bool ParseRequest(XMLDocument& doc, const std::string& text) {
    return doc.Parse(text.data(), text.size()) == tinyxml2::XML_SUCCESS;
}

}  // namespace fakecam

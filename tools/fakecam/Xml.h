#pragma once

#include <tinyxml.h>

#include <cstring>
#include <string>

namespace fakecam {

// Element names compared on their local part: prefixes differ from one client to the next.
inline std::string LocalName(const char* name) {
    const char* colon = std::strrchr(name, ':');
    return colon ? colon + 1 : name;
}

inline const TiXmlElement* Child(const TiXmlNode* parent, const char* local) {
    if (!parent) return nullptr;
    for (const TiXmlElement* e = parent->FirstChildElement(); e; e = e->NextSiblingElement()) {
        if (LocalName(e->Value()) == local) return e;
    }
    return nullptr;
}

inline std::string TextOf(const TiXmlElement* e) { return e && e->GetText() ? e->GetText() : ""; }

// Parses what a client sent. NULs follow the text: TinyXML can step over the terminator on a
// truncated UTF-8 sequence.
inline void ParseRequest(TiXmlDocument& doc, const std::string& text) {
    const std::string padded = text + std::string(16, '\0');
    doc.Parse(padded.c_str(), nullptr, TIXML_ENCODING_UTF8);
}

}  // namespace fakecam

#include "ResultReading.h"

#include <tinyxml.h>

#include "XmlGuard.h"

namespace quorvi {

std::vector<ItemUri> ReadResultDocument(const char* document) {
    std::vector<ItemUri> items;
    if (!document || xmlguard::XmlNestingDepth(document) > xmlguard::kMaxXmlDepth) return items;
    TiXmlDocument doc;
    // The outcome is not looked at: partial trees count.
    doc.Parse(xmlguard::PaddedForParser(document).c_str(), nullptr, TIXML_ENCODING_UNKNOWN);
    const TiXmlElement* root = doc.FirstChildElement("Onvif_GetStreamUri");
    if (!root) return items;
    for (const TiXmlElement* item = root->FirstChildElement("item"); item;
         item = item->NextSiblingElement("item")) {
        ItemUri entry;
        auto textOf = [&](const char* name) {
            const TiXmlElement* e = item->FirstChildElement(name);
            const char* t = e ? e->GetText() : nullptr;
            return t ? std::string(t).substr(0, kMaxItemText) : std::string();
        };
        auto number = [&](const char* name) {
            const std::string t = textOf(name);
            int n = 0;
            for (const char c : t) {
                if (c < '0' || c > '9' || n > 100000) return 0;
                n = n * 10 + (c - '0');
            }
            return n;
        };
        entry.name = textOf("Name");
        entry.token = textOf("Token");
        entry.source = textOf("Source");
        entry.encoding = textOf("Encoding");
        entry.width = number("Width");
        entry.height = number("Height");
        if (const TiXmlElement* uri = item->FirstChildElement("Uri")) {
            entry.hasUri = true;
            if (const char* text = uri->GetText()) {
                entry.hasText = true;
                entry.text = text;
            }
        }
        items.push_back(std::move(entry));
    }
    return items;
}

}  // namespace quorvi

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

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

DocumentInventory ReadInventory(const char* document) {
    DocumentInventory out;
    if (!document || xmlguard::XmlNestingDepth(document) > xmlguard::kMaxXmlDepth) return out;
    TiXmlDocument doc;
    doc.Parse(xmlguard::PaddedForParser(document).c_str(), nullptr, TIXML_ENCODING_UNKNOWN);
    const TiXmlElement* root = doc.FirstChildElement("Onvif_GetStreamUri");
    const TiXmlElement* inventory = root ? root->FirstChildElement("Inventory") : nullptr;
    if (!inventory) return out;
    auto textOf = [&](const char* name) {
        const TiXmlElement* e = inventory->FirstChildElement(name);
        const char* t = e ? e->GetText() : nullptr;
        return t ? std::string(t).substr(0, kMaxItemText) : std::string();
    };
    out.manufacturer = textOf("Manufacturer");
    out.model = textOf("Model");
    out.firmware = textOf("Firmware");
    out.serial = textOf("Serial");
    out.hardwareId = textOf("HardwareId");
    out.mac = textOf("Mac");
    out.ntp = textOf("Ntp");
    out.clockOffsetSeconds = textOf("ClockOffsetSeconds");
    if (out.clockOffsetSeconds.find_first_not_of("-0123456789") != std::string::npos ||
        out.clockOffsetSeconds.size() > 12)
        out.clockOffsetSeconds.clear();
    out.open = textOf("Open") == "true";
    return out;
}

}  // namespace quorvi

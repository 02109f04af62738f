#pragma once

#include <string>
#include <vector>

namespace quorvi {

// What one `item` of a result document says about its stream address.
struct ItemUri {
    bool hasUri = false;   // the item has a Uri element
    bool hasText = false;  // whose first child is text (or CDATA)
    std::string text;      // 8-bit, as the library wrote it
    bool operator==(const ItemUri& o) const {
        return hasUri == o.hasUri && hasText == o.hasText && text == o.text;
    }
    // What the stream carries, when the document says (the Name, Token, Source, Encoding, Width and
    // Height elements; texts cut to kMaxItemText bytes). The addresses are read from Uri alone.
    std::string name;
    std::string token;
    std::string source;
    std::string encoding;
    int width = 0;
    int height = 0;
};

constexpr std::size_t kMaxItemText = 256;

// Reads the result document of Onvif_GetStreamUri: the top-level Onvif_GetStreamUri element, its `item`
// children in order, and in each the first `Uri` child's text. Whatever the parser could build is read,
// well-formed or not; a document nested too deeply to parse safely reads as having no items.
std::vector<ItemUri> ReadResultDocument(const char* document);

// What Onvif_GetInventory's document says of the device (its Inventory element); every text cut to
// kMaxItemText bytes, empty where the device gave nothing.
struct DocumentInventory {
    std::string manufacturer;
    std::string model;
    std::string firmware;
    std::string serial;
    std::string hardwareId;
    std::string mac;
    std::string ntp;
    std::string clockOffsetSeconds;
    bool open = false;
};
DocumentInventory ReadInventory(const char* document);

}  // namespace quorvi

#pragma once

#include <cstddef>
#include <string>
#include <string_view>

namespace xmlguard {

// TinyXML-1 reads our own result document (stream/) and, in tests, what we send; it bounds nothing itself.
// Device replies go through tinyxml2, which bounds its input and its depth.

// The XML parser recurses once per nesting level, so a document nested deep enough would exhaust the
// stack. This measures the deepest nesting of a text cheaply, erring on the high side, so that such
// documents can be refused before they are parsed. Comments, CDATA sections and processing
// instructions are skipped whole; quoted attribute values may hold '>' or "/>".
inline std::size_t XmlNestingDepth(std::string_view text) {
    std::size_t depth = 0;
    std::size_t deepest = 0;
    std::size_t i = 0;
    auto skipPast = [&](std::string_view terminator) {
        const std::size_t end = text.find(terminator, i);
        i = end == std::string_view::npos ? text.size() : end + terminator.size();
    };
    while (i < text.size()) {
        if (text[i] != '<') {
            ++i;
            continue;
        }
        const std::string_view rest = text.substr(i);
        if (rest.substr(0, 4) == "<!--") {
            skipPast("-->");
        } else if (rest.substr(0, 9) == "<![CDATA[") {
            skipPast("]]>");
        } else if (rest.substr(0, 2) == "<?") {
            skipPast("?>");
        } else if (rest.substr(0, 2) == "<!") {
            skipPast(">");
        } else if (rest.substr(0, 2) == "</") {
            if (depth > 0) --depth;
            skipPast(">");
        } else {
            ++depth;
            if (depth > deepest) deepest = depth;
            char quote = 0;
            std::size_t j = i + 1;
            for (; j < text.size(); ++j) {
                const char c = text[j];
                if (quote) {
                    if (c == quote) quote = 0;
                } else if (c == '"' || c == '\'') {
                    quote = c;
                } else if (c == '>') {
                    break;
                }
            }
            if (j < text.size() && text[j - 1] == '/' && !quote) --depth;
            i = j + 1;
        }
    }
    return deepest;
}

constexpr std::size_t kMaxXmlDepth = 64;

// TinyXML steps over a whole UTF-8 sequence as soon as it sees a lead byte, so a sequence cut short by
// the end of the text carries it past the terminating NUL and on through whatever memory follows.
// Parse this copy instead: the NULs after the text catch any such step.
inline std::string PaddedForParser(std::string_view text) {
    std::string padded(text);
    padded.append(16, '\0');
    return padded;
}

}  // namespace xmlguard

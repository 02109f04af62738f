#include "MessageId.h"

#include <cstdio>
#include <cstring>
#include <random>

namespace quorvi {

MessageIdGenerator::MessageIdGenerator() {
    std::random_device rd;
    m_state = static_cast<uint32_t>(rd());
}

MessageIdGenerator::MessageIdGenerator(uint32_t seed) : m_state(seed) {}

uint32_t MessageIdGenerator::Draw() {
    m_state = m_state * 214013u + 2531011u;
    return (m_state >> 16) & 0x7FFFu;
}

std::string MessageIdGenerator::Next() {
    const uint32_t r1 = Draw();
    const uint32_t r2 = Draw();
    const uint32_t r3 = Draw();
    const uint32_t r4 = Draw();
    char buf[48];
    std::memset(buf, 0, sizeof buf);
    std::snprintf(buf, sizeof buf, "urn:uuid:%8.8x-%4.4hx-4%3.3hx-%4.4hx-%4.4hx%8.8x", r1,
                  static_cast<unsigned short>(r2 >> 16), static_cast<unsigned short>(r2 >> 4),
                  static_cast<unsigned short>(((r3 >> 16) & 0x3FFFu) | 0x8000u),
                  static_cast<unsigned short>(r3), r4);
    return buf;
}

MessageIdGenerator& ProcessMessageIds() {
    static MessageIdGenerator generator;
    return generator;
}

std::string MakeMessageId() { return ProcessMessageIds().Next(); }

}  // namespace quorvi

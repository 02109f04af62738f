#pragma once

#include <cstdint>
#include <string>

namespace quorvi {

// WS-Discovery MessageIDs: "urn:uuid:" and 36 characters from a small linear congruential generator.
// Every generator starts from a random seed, so two runs, or two instances on one network, do not send
// the same IDs; a fixed seed gives a fixed sequence.
class MessageIdGenerator {
public:
    MessageIdGenerator();  // random seed
    explicit MessageIdGenerator(uint32_t seed);

    std::string Next();  // draws four values
    uint32_t State() const { return m_state; }

private:
    uint32_t Draw();
    uint32_t m_state;
};

// The process's generator, used by the probe exchange. Not reentrant across threads: only the
// discovery worker draws from it.
MessageIdGenerator& ProcessMessageIds();

std::string MakeMessageId();

}  // namespace quorvi

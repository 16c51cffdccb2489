// Command frames and answer assembly on arbitrary bytes from the device.
//
// Input: flags (bit 0: framed answers at the start; bit 1: the mode flips once, before stream
// byte `at`), at, address, command, payload length (2 bytes, little-endian), then the stream.
// Checks: answers stay within their mode's size; an answer assembled in one mode is a run of
// consecutive stream bytes (framed: starting with DLE STX, LEN + 8 long; raw: 64 long); the
// parser keeps within the answer; a frame built by GetBytes(1) parses back to the same command
// and payload and assembles to itself, and a payload too long for the length byte builds no
// frame at all.
#include <algorithm>
#include <cstddef>
#include <cstdint>

#include "protocol/answer.h"
#include "protocol/lcmd.h"
#include "tests/fuzz/fuzz_check.h"

namespace {

bool SliceEndingAt(const BSTM& stream, std::size_t last, const BSTM& bytes) {
    if (bytes.size() > last + 1) return false;
    return std::equal(bytes.begin(), bytes.end(), stream.begin() + (last + 1 - bytes.size()));
}

void CheckParse(const BSTM& answer) {
    const LCmd parsed(answer);
    const std::size_t s = answer.size();
    if (IsFramed(answer)) {
        FUZZ_CHECK(parsed.Data.size() + 9 <= std::max<std::size_t>(s, 9));
        FUZZ_CHECK(std::equal(parsed.Data.begin(), parsed.Data.end(), answer.begin() + 6));
        if (s > 5) FUZZ_CHECK(parsed.Cmd == answer[5]);
        return;
    }
    uint32_t value = 0;
    for (std::size_t i = 0; i < std::min<std::size_t>(4, s); ++i)
        value |= static_cast<uint32_t>(answer[i]) << (8 * i);
    FUZZ_CHECK(parsed.Value == value);
    const std::size_t end = std::min(kRawAnswerSize, s);
    FUZZ_CHECK(parsed.Data == (end > 4 ? BSTM(answer.begin() + 4, answer.begin() + end) : BSTM{}));
}

void CheckAssembly(const BSTM& stream, bool framed, bool flip, std::size_t flipAt) {
    BSTM answer;
    bool pure = false;  // the answer so far was assembled in the current mode only
    for (std::size_t i = 0; i < stream.size(); ++i) {
        if (flip && i == flipAt) {
            framed = !framed;
            pure = false;
        }
        const bool wasEmpty = answer.empty();
        const bool complete = AssembleAnswerByte(answer, framed, stream[i]);
        if (wasEmpty) pure = true;
        FUZZ_CHECK(answer.size() <= kMaxFramedAnswer);
        if (pure && framed && answer.size() == 2)  // DLE STX must be adjacent in the stream
            FUZZ_CHECK(i > 0 && stream[i - 1] == kDle && stream[i] == kStx);
        if (!complete) continue;
        if (pure) {
            FUZZ_CHECK(SliceEndingAt(stream, i, answer));
            if (framed) {
                FUZZ_CHECK(answer.size() >= kFrameOverhead && answer[0] == kDle &&
                           answer[1] == kStx && answer.size() == answer[4] + kFrameOverhead);
            } else {
                FUZZ_CHECK(answer.size() == kRawAnswerSize);
            }
        }
        CheckParse(answer);
        answer.clear();
    }
}

void CheckRoundTrip(uint8_t addr, uint8_t cmd, const BSTM& payload) {
    LCmd c(addr, cmd);
    c.Data = payload;
    FUZZ_CHECK(c.GetBytes(0) == payload);
    const BSTM frame = c.GetBytes(1);
    const std::size_t n = payload.size();
    if (n > kMaxFramedPayload) {
        FUZZ_CHECK(frame.empty());
        return;
    }
    FUZZ_CHECK(frame.size() == n + 9);
    FUZZ_CHECK(frame[0] == kDle && frame[1] == kStx && frame[2] == 0 && frame[3] == addr);
    FUZZ_CHECK(frame[4] == n + 1 && frame[5] == cmd);
    FUZZ_CHECK(frame[n + 6] == kDle && frame[n + 7] == kEtx);
    uint8_t check = 0;
    for (uint8_t b : frame)
        check ^= b;
    FUZZ_CHECK(check == 0);  // the last byte is the XOR of all before it

    const LCmd back(frame);
    FUZZ_CHECK(back.Cmd == cmd && back.Data == payload);

    BSTM answer;
    for (std::size_t i = 0; i < frame.size(); ++i) {
        const bool complete = AssembleAnswerByte(answer, true, frame[i]);
        FUZZ_CHECK(complete == (i + 1 == frame.size()));
    }
    FUZZ_CHECK(answer == frame);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, std::size_t size) {
    constexpr std::size_t kHeader = 6;
    uint8_t head[kHeader] = {};
    std::copy(data, data + std::min(size, kHeader), head);
    const BSTM stream(data + std::min(size, kHeader), data + size);

    CheckAssembly(stream, (head[0] & 1) != 0, (head[0] & 2) != 0, head[1]);
    CheckParse(stream);

    // Lengths around the 255 the length byte can hold come up often.
    const std::size_t length = (head[4] | head[5] << 8) % 512;
    BSTM payload(length);
    for (std::size_t i = 0; i < length; ++i)
        payload[i] = stream.empty() ? static_cast<uint8_t>(i) : stream[i % stream.size()];
    CheckRoundTrip(head[2], head[3], payload);
    return 0;
}

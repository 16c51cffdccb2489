#include "protocol/lcmd.h"

#include <algorithm>

LCmd::~LCmd() = default;
CM_MCS_CMD::~CM_MCS_CMD() = default;
CM_MCS_DSP_BYTE_PROG::~CM_MCS_DSP_BYTE_PROG() = default;
CM_MCS_PROGRAM_DATA::~CM_MCS_PROGRAM_DATA() = default;
CM_MCS_IAP_RESET::~CM_MCS_IAP_RESET() = default;

bool IsFramed(const uint8_t* bytes, std::size_t size) {
    return size >= 4 && bytes[0] == kDle && bytes[1] == kStx && bytes[size - 3] == kDle &&
           bytes[size - 2] == kEtx;
}

LCmd::LCmd(const BSTM& answer) {
    const std::size_t s = answer.size();
    if (IsFramed(answer)) {
        // Byte 4 counts the command byte and the payload. A count that runs past the closing
        // DLE ETX keeps only the payload bytes actually there.
        if (s > 2) Addr = answer[2];
        if (s > 5) Cmd = answer[5];
        if (s > 4) {
            const std::size_t end = std::min<std::size_t>(5 + answer[4], s - 3);
            if (end > 6) Data.assign(answer.begin() + 6, answer.begin() + static_cast<long>(end));
        }
        return;
    }
    // Unframed: the first four bytes little-endian, then the rest of a 64-byte answer.
    const std::size_t valueBytes = std::min<std::size_t>(4, s);
    for (std::size_t i = 0; i < valueBytes; ++i)
        Value |= static_cast<uint32_t>(answer[i]) << (8 * i);
    const std::size_t end = std::min(kRawAnswerSize, s);
    if (end > 4) Data.assign(answer.begin() + 4, answer.begin() + static_cast<long>(end));
}

BSTM LCmd::GetBytes(int mode) const {
    if (mode == 0) return Data;
    if (mode != 1 || Data.size() > kMaxFramedPayload) return {};
    BSTM out;
    out.reserve(Data.size() + kFrameOverhead + 1);
    out.push_back(kDle);
    out.push_back(kStx);
    out.push_back(0x00);  // the host as sender
    out.push_back(Addr);
    out.push_back(static_cast<uint8_t>(Data.size() + 1));
    out.push_back(Cmd);
    out.insert(out.end(), Data.begin(), Data.end());
    out.push_back(kDle);
    out.push_back(kEtx);
    uint8_t check = 0;
    for (uint8_t b : out)
        check ^= b;
    out.push_back(check);
    return out;
}

CM_MCS_CMD::CM_MCS_CMD(uint8_t addr, uint8_t cmd, uint8_t b0) : LCmd(addr, cmd) {
    Data = {b0};
}

CM_MCS_CMD::CM_MCS_CMD(uint8_t addr, uint8_t cmd, uint8_t b0, uint8_t b1, uint8_t b2, uint8_t b3)
    : LCmd(addr, cmd) {
    Data = {b0, b1, b2, b3};
}

CM_MCS_DSP_BYTE_PROG::CM_MCS_DSP_BYTE_PROG(int block, const uint8_t* image, uint32_t mask)
    : LCmd(1, kCmd) {
    Data.reserve(2 + kBlockBytes);
    Data.push_back(static_cast<uint8_t>((block >> 8) & 0xFF));
    Data.push_back(static_cast<uint8_t>(block & 0xFF));
    const uint8_t* src = image + static_cast<std::size_t>(block) * kBlockBytes;
    for (std::size_t i = 0; i < kBlockBytes; ++i)
        Data.push_back(static_cast<uint8_t>(src[i] ^ ((mask >> (8 * (i % 4))) & 0xFF)));
}

CM_MCS_PROGRAM_DATA::CM_MCS_PROGRAM_DATA(const uint8_t* bytes, int count) : LCmd(0, 0) {
    if (bytes != nullptr && count > 0) Data.assign(bytes, bytes + count);
}

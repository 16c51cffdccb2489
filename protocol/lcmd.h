// Command objects: what goes to the device and what comes back, raw or framed.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

// The byte string every frame, answer and payload travels in.
using BSTM = std::vector<uint8_t>;

// Frame marks and sizes shared by the frame builder, the answer parser and the processor.
constexpr uint8_t kDle = 0x10;
constexpr uint8_t kStx = 0x02;
constexpr uint8_t kEtx = 0x03;
// Header (DLE STX src dst LEN) before the command byte, and the bytes LEN does not count.
constexpr std::size_t kFrameOverhead = 8;
constexpr std::size_t kRawAnswerSize = 64;
// The most payload bytes a frame's length byte can count (it counts the command byte too).
constexpr std::size_t kMaxFramedPayload = 0xFF - 1;

class LCmd {
  public:
    LCmd() = default;
    LCmd(uint8_t addr, uint8_t cmd) : Addr(addr), Cmd(cmd) {}
    // Parses an answer. Bytes that do not carry the framing marks are an unframed answer.
    // Never reads outside `answer`.
    explicit LCmd(const BSTM& answer);
    virtual ~LCmd();

    LCmd(const LCmd&) = default;
    LCmd& operator=(const LCmd&) = default;
    LCmd(LCmd&&) = default;
    LCmd& operator=(LCmd&&) = default;

    // 0: the payload alone; 1: the framed command; anything else: empty. A payload longer than
    // kMaxFramedPayload has no framed form (its length byte would wrap): mode 1 gives an empty
    // vector, which the processor refuses like any other frame that cannot be sent.
    BSTM GetBytes(int mode) const;

    const BSTM& GetData() const { return Data; }
    BSTM& GetData() { return Data; }
    uint8_t GetCmd() const { return Cmd; }
    uint32_t GetValue() const { return Value; }

    uint8_t Addr = 0;
    uint8_t Cmd = 0;
    uint32_t Value = 0;
    BSTM Data;
};

// True when `bytes` carries the framing marks: DLE STX at the start, DLE ETX before the check
// byte.
bool IsFramed(const uint8_t* bytes, std::size_t size);
inline bool IsFramed(const BSTM& bytes) {
    return IsFramed(bytes.data(), bytes.size());
}

class CM_MCS_CMD : public LCmd {
  public:
    CM_MCS_CMD(uint8_t addr, uint8_t cmd) : LCmd(addr, cmd) {}
    CM_MCS_CMD(uint8_t addr, uint8_t cmd, uint8_t b0);
    CM_MCS_CMD(uint8_t addr, uint8_t cmd, uint8_t b0, uint8_t b1, uint8_t b2, uint8_t b3);
    ~CM_MCS_CMD() override;
};

// One 32-byte block of the DSP program, each 4-byte group XORed with `mask` (least significant
// mask byte on the group's first byte). Reads image[block*32 .. block*32+31]; the caller
// guarantees those bytes exist.
class CM_MCS_DSP_BYTE_PROG : public LCmd {
  public:
    static constexpr uint8_t kCmd = 0x53;
    static constexpr std::size_t kBlockBytes = 32;
    CM_MCS_DSP_BYTE_PROG(int block, const uint8_t* image, uint32_t mask);
    ~CM_MCS_DSP_BYTE_PROG() override;
};

// Bytes sent as they are (raw mode), e.g. the IAP packets.
class CM_MCS_PROGRAM_DATA : public LCmd {
  public:
    CM_MCS_PROGRAM_DATA(const uint8_t* bytes, int count);
    ~CM_MCS_PROGRAM_DATA() override;
};

class CM_MCS_IAP_RESET : public LCmd {
  public:
    explicit CM_MCS_IAP_RESET(uint8_t cmd) : LCmd(1, cmd) {}
    ~CM_MCS_IAP_RESET() override;
};

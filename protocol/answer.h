// Answer assembly: the device's bytes, one at a time, into whole answers.
#pragma once

#include <cstddef>
#include <cstdint>

#include "protocol/lcmd.h"

// The longest framed answer: LEN 255 plus the eight bytes LEN does not count.
constexpr std::size_t kMaxFramedAnswer = 0xFF + kFrameOverhead;

// Adds one received byte to `answer`; true when `answer` is then complete (the caller hands it
// on and clears it).
// Raw mode: every byte counts; an answer is 64 bytes.
// Framed mode: bytes are dropped until DLE STX; a DLE followed by anything but STX is noise and
// dropped with its follower, unless the follower is a DLE, which may start the frame. The answer
// ends at LEN + 8 bytes; the closing DLE ETX and the check byte are not looked at here.
// A partial answer left from the other mode still completes: at 64 bytes or at LEN + 8, so an
// answer never grows past kMaxFramedAnswer bytes.
bool AssembleAnswerByte(BSTM& answer, bool framed, uint8_t b);

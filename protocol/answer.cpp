#include "protocol/answer.h"

bool AssembleAnswerByte(BSTM& answer, bool framed, uint8_t b) {
    if (!framed) {
        answer.push_back(b);
        return answer.size() >= kRawAnswerSize;
    }
    // Hunt for DLE STX, then take bytes until LEN + 8 are there.
    if (answer.empty()) {
        if (b == kDle) answer.push_back(b);
        return false;
    }
    if (answer.size() == 1) {
        if (b == kStx) {
            answer.push_back(b);
        } else if (b != kDle) {
            answer.clear();  // a stray DLE: resynchronise on the next DLE STX only
        }
        return false;
    }
    answer.push_back(b);
    // At or past (not only at) the length: a partial answer left from the other mode must not
    // grow without end.
    return answer.size() >= 5 && answer.size() >= answer[4] + kFrameOverhead;
}

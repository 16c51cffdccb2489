// The parameter read (which yields the program-data mask), DSP programming block by block, and
// the end of a full run.
#include <QPushButton>
#include <QString>
#include <QTimer>

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstring>

#include "app/isp.h"
#include "app/update_session.h"
#include "firmware/dsp_image.h"
#include "firmware/images.h"

namespace {

constexpr int kParamBlocks = 11;       // blocks 0..10
constexpr int kParamBlockStride = 50;  // where each block lands in ParamTable
constexpr int kParamBlockBytes = 50;   // bytes taken from blocks 0..9
constexpr int kParamLastBytes = 16;    // bytes taken from block 10
constexpr int kDspBlockBytes = 32;

void Enable(QTimer* t) {
    if (!t->isActive()) t->start();
}

// The check byte of a framed answer: the XOR of every byte before it. The assembler hands over
// exactly byte 4 + 8 bytes, so the check byte is the last one.
bool CheckByteMatches(const BSTM& frame) {
    if (frame.size() < 9 || frame.size() != static_cast<std::size_t>(frame[4]) + 8) return false;
    uint8_t x = 0;
    for (std::size_t i = 0; i + 1 < frame.size(); ++i)
        x ^= frame[i];
    return x == frame.back();
}

// The disconnect timer armed by an MCU reset is meant for the link of that reset. A device
// back in run mode before it fires has been seen leaving (which tore that link down already),
// and the timer would otherwise tear down the link a new flow is about to open.
void CancelStaleDisconnect(QTimer* t) {
    t->stop();
}

}  // namespace

void UpdateSession::bnSecurityClick() {
    if (mode_ != DeviceMode::Run) return;
    if (RefusedForProblem()) return;
    if (RunStage == FullRunStage::McuUpdate && McuUpdatePending) {
        // The microcontroller update was cut off before its reset and the device came back
        // with its old firmware: going on would end in " Program OK !! " for an update that
        // never happened. The run ends here; the user may start it again.
        RunStage = FullRunStage::Idle;
        McuUpdatePending = false;
        watch_->End();
        SetRunPhase(RunPhase::Idle);
        SetStatusRed(false);
        w_.btnStartProgram->setEnabled(true);
        return;
    }
    CancelStaleDisconnect(tmWaitDisconnect);
    if (Proc == nullptr) {
        if (!OpenLink()) {
            FailLinkOpen(QStringLiteral("Parameter Data Error !!"));
            return;
        }
        AcceptInput = true;
        Proc->SetWaitTime(5000);
    }
    Proc->SetPollSuppressed(true);
    SubmitCommand(CM_MCS_CMD(1, 0x10), true, true);
    ParamRequestCount = 0;
    paramReadOpen_ = true;
    SubmitCommand(CM_MCS_CMD(1, 0xA8, 0), true, true);
    Step = 1;
    SetStatusRed(true);
    // Outside a full run only the button starts a read.
    if (RunStage == FullRunStage::Idle) progress_.start = RunStart::ParameterRead;
    SetRunPhase(RunPhase::ParamRead);
    SetSimpleText(QStringLiteral("Parameter Data"));
    watch_->Enter(RunPhase::ParamRead);
}

bool UpdateSession::AnswerCheckByteOk(const BSTM& answer) {
    return CheckByteMatches(answer);
}

void UpdateSession::FailParameterRead() {
    // Without trustworthy parameter data there is no mask to program with: the run stops here,
    // and "Start Program " may begin it again.
    paramReadOpen_ = false;
    tmRunStep->stop();
    watch_->End();
    SetRunPhase(RunPhase::Idle);
    SetStatusRed(false);
    RunStage = FullRunStage::Idle;
    McuUpdatePending = false;
    if (HidDevice != nullptr) w_.btnStartProgram->setEnabled(true);
    ShowError(QStringLiteral("Parameter Data Error !!"));
}

void UpdateSession::OnParamAnswer(const LCmd& answer, bool checkByteOk) {
    // A read is eleven answers; one more (a device repeating itself) must not build the mask
    // and start DSP programming a second time.
    if (!paramReadOpen_ || ParamRequestCount >= kParamBlocks) return;
    const BSTM& p = answer.GetData();
    // The answer must be whole and name a block the table has; anything else would leave the
    // table, and so the mask, partly unknown, and the read would wait for a block it never asked
    // for again.
    const bool last = ParamRequestCount + 1 >= kParamBlocks;
    const std::size_t count = last ? kParamLastBytes : kParamBlockBytes;
    if (!checkByteOk || p.empty() || p[0] >= kParamBlocks || p.size() < 1 + count) {
        FailParameterRead();
        return;
    }
    const std::size_t offset = static_cast<std::size_t>(p[0]) * kParamBlockStride;

    if (ParamRequestCount == 0) {
        SubmitCommand(CM_MCS_CMD(1, 0x1A, 0x01, 0x00, 0x01, 0x00), true, true);
    }
    ++ParamRequestCount;

    const std::size_t stored = std::min(count, ParamTable.size() - offset);
    std::copy_n(p.begin() + 1, stored, ParamTable.begin() + static_cast<std::ptrdiff_t>(offset));

    if (!last) {
        SubmitCommand(CM_MCS_CMD(1, 0xA8, static_cast<uint8_t>(ParamRequestCount)), true, true);
        return;
    }

    uint32_t mask = 0;
    if (!BuildDspMask(ParamTable.data(), mask)) {
        // The row the device names lies outside its parameter data.
        FailParameterRead();
        return;
    }
    paramReadOpen_ = false;
    DspMask = mask;
    RunStage = FullRunStage::DspProgram;
    Enable(tmRunStep);
}

void UpdateSession::bnDspPorgramClick() {
    if (HidDevice == nullptr || RefusedForProblem()) return;
    CancelStaleDisconnect(tmWaitDisconnect);
    // The security read arrives here with its processor still open; only one may talk to
    // the device.
    if (Proc != nullptr) TearDownLink();
    if (!OpenLink()) {
        FailLinkOpen(QStringLiteral("Dsp Program Error !!"));
        return;
    }
    watch_->Enter(RunPhase::DspPrepare);
    DspWriting = true;
    AcceptInput = true;
    Proc->SetWaitTime(10000);
    Proc->SetPollSuppressed(true);
    SubmitCommand(CM_MCS_CMD(1, 0x10), true, true);
    Step = 1;
    // Inside a run the stage has moved on to the final commands before this.
    if (RunStage != FullRunStage::FinalCommands) progress_.start = RunStart::DspOnly;
    SetRunPhase(RunPhase::DspPrepare);
    SetSimpleText(QStringLiteral("Dsp Program"));
    Enable(tmDspProgram);
    SetStatusRed(true);
    w_.bnMcuProgram->setEnabled(false);
    w_.bnDspPorgram->setEnabled(false);
}

void UpdateSession::tmDspProgramTimer() {
    tmDspProgram->stop();
    SetStatusRed(true);

    const uint32_t* words = w_.Images().DspWords;
    std::size_t count = w_.Images().DspWordCount;
    if (words == nullptr) {
        words = kDspImageWords;
        count = kDspImageWordCount;
    }
    ImageLength = PrepareDspBuffer(words, count, ProgramBuffer.data(), ProgramBuffer.size());
    ShowProgramDump(ImageLength);

    DspBlock = 0;
    SubmitCommand(CM_MCS_DSP_BYTE_PROG(DspBlock, ProgramBuffer.data(), DspMask), true, true);
    DspBlockTotal = ImageLength / kDspBlockBytes;
    SetProgressMax(DspBlockTotal);
    SetProgress(0);
}

void UpdateSession::OnDspAnswer(const LCmd& /*answer*/) {
    // The first answer: the wait goes on, for the blocks (its deadline just started again).
    if (watch_->Phase() == RunPhase::DspPrepare) watch_->Enter(RunPhase::DspProgram);
    SetRunPhase(RunPhase::DspProgram, DspBlock);
    SetSimpleText(QStringLiteral("Dsp Progrmming ") + QString::number(DspBlock));
    SetProgress(DspBlock);
    if (DspBlock < DspBlockTotal) {
        ++DspBlock;
        SubmitCommand(CM_MCS_DSP_BYTE_PROG(DspBlock, ProgramBuffer.data(), DspMask), true, true);
        return;
    }
    Step = 1;
    DspWriting = false;
    watch_->End();
    // "Dsp Prog" alone ends here; a run goes on to its final commands.
    if (RunStage != FullRunStage::FinalCommands) SetRunPhase(RunPhase::Idle);
    SetProgress(0);
    SetStatusRed(false);
    SetPanelText(0, QStringLiteral("Disconnect"));
    w_.bnMcuProgram->setEnabled(true);
    w_.bnDspPorgram->setEnabled(true);
    Enable(tmRunStep);
}

void UpdateSession::tmRunStepTimer() {
    tmRunStep->stop();
    if (RunStage == FullRunStage::McuUpdate) {
        RunStage = FullRunStage::DspProgram;
    } else if (RunStage == FullRunStage::DspProgram) {
        // The stage moves on first: a programming that cannot start ends the run.
        RunStage = FullRunStage::FinalCommands;
        bnDspPorgramClick();
    } else if (RunStage == FullRunStage::FinalCommands) {
        SubmitCommand(CM_MCS_CMD(1, 0x12), true, true);
        if (Proc != nullptr) {
            Proc->SetWaitTime(500);
            Proc->SetPollSuppressed(false);
        }
        RunStage = FullRunStage::Idle;
        McuUpdatePending = false;
        SetRunPhase(RunPhase::Idle);
        ShowInfo(QStringLiteral(" Program OK !! "));
        // The dialog may have been open for a while: SubmitCommand finds out whether the
        // device is still there.
        SubmitCommand(CM_MCS_CMD(1, 0x04), true, true);
    }
}

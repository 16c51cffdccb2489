// The tests' one way into an update session's state: reads and writes of what the flows keep,
// without making any of it public.
#pragma once

#include <array>
#include <cstdint>
#include <functional>
#include <memory>
#include <utility>

#include "app/isp.h"
#include "app/update_session.h"

class UpdateSessionTestPeer {
  public:
    explicit UpdateSessionTestPeer(TfmIsp& isp) : s_(isp.Session()) {}

    int& Step() { return s_.Step; }
    FullRunStage& RunStage() { return s_.RunStage; }
    bool& McuUpdatePending() { return s_.McuUpdatePending; }
    bool& AcceptInput() { return s_.AcceptInput; }
    int& PacketSum() { return s_.PacketSum; }
    int& PreviousPacketSum() { return s_.PreviousPacketSum; }
    bool& McuAnswerDue() { return s_.McuAnswerDue; }
    int64_t& LastMcuAnswerValue() { return s_.LastMcuAnswerValue; }
    std::array<uint8_t, 71680>& ProgramBuffer() { return s_.ProgramBuffer; }

    int ImageLength() const { return s_.ImageLength; }
    int FirmwareVersion() const { return s_.FirmwareVersion; }
    int DeviceId1() const { return s_.DeviceId1; }
    int DeviceId2() const { return s_.DeviceId2; }
    int DeviceId3() const { return s_.DeviceId3; }
    bool DspWriting() const { return s_.DspWriting; }
    uint32_t DspMask() const { return s_.DspMask; }
    const std::array<uint8_t, 516>& ParamTable() const { return s_.ParamTable; }
    TJvHidDevice* HidDevice() const { return s_.HidDevice; }
    LUsbProc* Proc() const { return s_.Proc.get(); }

    QTimer* tmUsbWait() const { return s_.tmUsbWait; }
    QTimer* tmWaitDisconnect() const { return s_.tmWaitDisconnect; }
    QTimer* tmDspProgram() const { return s_.tmDspProgram; }
    QTimer* tmMcuProg() const { return s_.tmMcuProg; }
    QTimer* tmRunStep() const { return s_.tmRunStep; }

    bool OpenLink() { return s_.OpenLink(); }
    // What makes the session's links from now on.
    void SetLinkMaker(std::function<std::unique_ptr<LUsbProc>(LUsbOwner*)> make) {
        s_.makeLink_ = std::move(make);
    }

  private:
    UpdateSession& s_;
};

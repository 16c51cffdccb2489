// A link to the device that will not open, at each of the four places a flow opens one: the
// step fails with its dialog, the run ends with no link left, "Start Program " comes back and
// runs the whole update from there.
#include <QPushButton>
#include <QTimer>

#include <memory>
#include <string>
#include <vector>

#include "tests/app/flow_fixture.h"

namespace flowtest {
namespace {

// A processor whose Open() fails, as when its worker thread cannot be started.
class UnopenableProc : public LUsbProc {
  public:
    using LUsbProc::LUsbProc;
    bool Open() override { return false; }
};

struct OpenCase {
    int failingOpen;  // which open of the run fails (1 = the first)
    const char* dialog;
    const char* name;
};

class LinkOpen : public FlowFixture, public ::testing::WithParamInterface<OpenCase> {};

TEST_P(LinkOpen, FailsTheStepAndStartProgramRunsTheUpdateAgain) {
    const OpenCase c = GetParam();
    const Bytes image = Pattern(56 * 2 + 48, 23);
    HexImage hex = HexImage::Of(image);
    const std::vector<uint32_t> dsp = DspWords(16);
    UseImages(hex, dsp);
    int opens = 0;
    Peer().SetLinkMaker([&](LUsbOwner* owner) -> std::unique_ptr<LUsbProc> {
        if (++opens == c.failingOpen) return std::make_unique<UnopenableProc>(owner);
        return std::make_unique<LUsbProc>(owner);
    });

    isp->btnStartProgram->click();
    ASSERT_TRUE(WaitForDialog(QString::fromLatin1(c.dialog)));
    EXPECT_EQ(FlowDialogCount(), 1u);
    EXPECT_EQ(Peer().Proc(), nullptr);
    EXPECT_EQ(Peer().RunStage(), FullRunStage::Idle);
    EXPECT_FALSE(Peer().McuUpdatePending());
    EXPECT_FALSE(isp->StatusIsRed());
    EXPECT_TRUE(isp->btnStartProgram->isEnabled());
    Spin(300);  // no timer of the ended run goes on with it
    EXPECT_EQ(FlowDialogCount(), 1u);
    EXPECT_FALSE(Peer().tmMcuProg()->isActive());
    EXPECT_FALSE(Peer().tmRunStep()->isActive());

    isp->btnStartProgram->click();
    ASSERT_TRUE(WaitUntil([&] { return OkShown(); }));
    EXPECT_EQ(FlowDialogCount(), 2u);
    EXPECT_TRUE(device->FlashMatches(image.data(), image.size()));
    int length = 0;
    const Bytes prepared = PreparedDsp(dsp, &length);
    EXPECT_TRUE(device->DspMatches(prepared.data(), static_cast<std::size_t>(length)));
}

// The run opens a link in run mode, then in update mode, then back in run mode for the
// parameter read, then for DSP programming.
INSTANTIATE_TEST_SUITE_P(EachOpen, LinkOpen,
                         ::testing::Values(OpenCase{1, "ISP Start Error !!", "IntoUpdateMode"},
                                           OpenCase{2, "ISP Start Error !!", "McuUpdate"},
                                           OpenCase{3, "Parameter Data Error !!", "ParameterRead"},
                                           OpenCase{4, "Dsp Program Error !!", "DspProgramming"}),
                         [](const ::testing::TestParamInfo<OpenCase>& p) {
                             return std::string(p.param.name);
                         });

}  // namespace
}  // namespace flowtest

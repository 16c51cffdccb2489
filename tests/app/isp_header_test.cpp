// The main window's header first, alone: it must bring everything its inline code needs.
#include "app/isp.h"

#include <gtest/gtest.h>

#include <QApplication>

#include <memory>

#include "app/diag/report_log.h"

namespace {

QApplication& App() {
    static int argc = 1;
    static char name[] = "isp_header_test";
    static char* argv[] = {name, nullptr};
    static QApplication* app = new QApplication(argc, argv);
    return *app;
}

TEST(IspHeader, DiagnosticWindowsReadBackAndGoNullWhenDeleted) {
    App();
    TfmIsp isp;
    auto hidData = std::make_unique<TfmHidData>(&isp);
    auto progData = std::make_unique<TfmProgData>(&isp);
    isp.SetDiagnosticWindows(hidData.get(), progData.get());
    EXPECT_EQ(isp.HidDataWindow(), hidData.get());
    EXPECT_EQ(isp.ProgDataWindow(), progData.get());

    // The application may delete them first; the window then no longer reaches them.
    hidData.reset();
    progData.reset();
    EXPECT_EQ(isp.HidDataWindow(), nullptr);
    EXPECT_EQ(isp.ProgDataWindow(), nullptr);
    isp.Reports().LogReport('W', 0, nullptr, 0);
    isp.ShowProgramDump(16);
}

}  // namespace

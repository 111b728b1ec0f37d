#include "MessageBox.h"
#include "Program.h"
#include "RecordingPresenter.h"
#include "TestSystem.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <thread>

// On Windows MessageBox.h brings <windows.h>, whose MessageBox is a macro: the suite keeps its
// name everywhere.
#undef MessageBox

using namespace std::chrono_literals;

namespace sorvel {
namespace {

TEST(Program, TitleCaptionAndPathsAsTheProgramUsesThem) {
    // The test binary is platform_tests.
    EXPECT_EQ(ApplicationTitle(), "platform_tests");
    EXPECT_EQ(ProgramExeCaption(), "platform_tests.exe");
    // Where a backslash separates folders the path stays as written.
    EXPECT_EQ(NativePath(".\\Ressources\\Configuration.zkf"),
              test::kBackslashSeparates ? ".\\Ressources\\Configuration.zkf"
                                        : "./Ressources/Configuration.zkf");
    EXPECT_EQ(NativePath("plain/path.urt"), "plain/path.urt");
}

TEST(MessageBox, RecordingPresenterSeesTextCaptionAndFlagsAndAnswersFromScript) {
    test::RecordingPresenter presenter;
    presenter.Script({IDCANCEL});
    EXPECT_EQ(AfxMessageBox("first", MB_OKCANCEL | MB_SYSTEMMODAL), IDCANCEL);
    EXPECT_EQ(ShowMessageBox("second", "Cap.exe", MB_ICONERROR), IDOK);
    EXPECT_EQ(ShowMessageBox("third", "Cap.exe", MB_YESNO), IDYES);
    auto messages = presenter.Messages();
    ASSERT_EQ(messages.size(), 3u);
    EXPECT_EQ(messages[0].text, "first");
    EXPECT_EQ(messages[0].caption, "platform_tests");
    EXPECT_EQ(messages[0].flags, MB_OKCANCEL | MB_SYSTEMMODAL);
    EXPECT_EQ(messages[1].caption, "Cap.exe");
    EXPECT_EQ(messages[1].flags, MB_ICONERROR);
}

TEST(MessageBox, PresenterIsRestoredAndDefaultAnswersOk) {
    {
        test::RecordingPresenter presenter;
        presenter.Script({IDNO});
        EXPECT_EQ(ShowMessageBox("q", "c", MB_YESNO), IDNO);
    }
    // Default presenter: standard error, answered with IDOK whatever the buttons.
    testing::internal::CaptureStderr();
    EXPECT_EQ(ShowMessageBox("to stderr", "Caption", MB_YESNO), IDOK);
    EXPECT_EQ(testing::internal::GetCapturedStderr(), "Caption: to stderr\n");
}

TEST(MessageBox, ABlockedMessageBlocksOnlyItsOwnThread) {
    test::RecordingPresenter presenter;
    presenter.Block();
    std::atomic<int> answer{0};
    std::thread worker([&] { answer = ShowMessageBox("held", "c", MB_OKCANCEL); });
    ASSERT_TRUE(presenter.WaitForCount(1, 5s));
    EXPECT_EQ(answer.load(), 0);
    presenter.Unblock();
    worker.join();
    EXPECT_EQ(answer.load(), IDOK);
}

} // namespace
} // namespace sorvel

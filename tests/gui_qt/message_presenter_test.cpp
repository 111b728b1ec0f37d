// The Qt message boxes: flags to buttons, answers, captions, modality, boxes from other
// threads, stage prompts, and shutting down with boxes open.
#include "AppTestSupport.h"
#include "QtMessagePresenter.h"
#include "UpgradeDlg.h"

#include "RecordingPresenter.h"

#include <QAbstractButton>
#include <QMessageBox>
#include <QPushButton>
#include <QRadioButton>
#include <QTest>

#include <functional>
#include <future>
#include <thread>

using namespace sorvel::test;
using sorvel::MessageRequest;

namespace {

// The first visible top-level message box, or null.
QMessageBox* OpenBox() {
    for (QWidget* widget : QApplication::topLevelWidgets()) {
        auto* box = qobject_cast<QMessageBox*>(widget);
        if (box && box->isVisible())
            return box;
    }
    return nullptr;
}

class PresenterTest : public QtWindowTest {};

TEST_F(PresenterTest, ButtonsFromFlagsAndTheAnswerOfEachWayOut) {
    using B = QMessageBox;
    auto click = [](B::StandardButton button) {
        return [button](B* box) { box->button(button)->click(); };
    };
    auto escape = [](B* box) { QTest::keyClick(box, Qt::Key_Escape); };
    auto closeBox = [](B* box) { box->close(); };
    struct Case {
        unsigned flags;
        std::function<void(B*)> action;
        int expected;
        B::StandardButtons buttons;
    };
    const Case cases[] = {
        {MB_OK, click(B::Ok), IDOK, B::Ok},
        {MB_OK, escape, IDOK, B::Ok},
        {MB_OK | MB_SYSTEMMODAL, closeBox, IDOK, B::Ok},
        {MB_OKCANCEL, click(B::Ok), IDOK, B::Ok | B::Cancel},
        {MB_OKCANCEL, click(B::Cancel), IDCANCEL, B::Ok | B::Cancel},
        {MB_OKCANCEL | MB_SYSTEMMODAL, escape, IDCANCEL, B::Ok | B::Cancel},
        {MB_OKCANCEL, closeBox, IDCANCEL, B::Ok | B::Cancel},
        {MB_YESNO | MB_SYSTEMMODAL, click(B::Yes), IDYES, B::Yes | B::No},
        {MB_YESNO, click(B::No), IDNO, B::Yes | B::No},
        {MB_YESNO, escape, IDNO, B::Yes | B::No},
        {MB_YESNO, closeBox, IDNO, B::Yes | B::No},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(&c - cases);
        CQtMessagePresenter presenter;
        B::StandardButtons seen;
        WhenModal<B>([&](B* box) {
            seen = box->standardButtons();
            c.action(box);
        });
        EXPECT_EQ(presenter.Present(MessageRequest{"Question?", "Sorvel_User", c.flags}),
                  c.expected);
        EXPECT_EQ(seen, c.buttons);
    }
}

TEST_F(PresenterTest, CaptionTextIconAndStayOnTopAsGiven) {
    CQtMessagePresenter presenter;
    presenter.Install();
    bool checked = false;
    WhenModal<QMessageBox>([&](QMessageBox* box) {
        EXPECT_EQ(box->windowTitle(), QStringLiteral("Sorvel_User.exe"));
        EXPECT_EQ(box->text(), QStringLiteral("Error - line one\nline two <b>not bold</b>"));
        EXPECT_EQ(box->textFormat(), Qt::PlainText);
        EXPECT_EQ(box->icon(), QMessageBox::Critical);
        EXPECT_TRUE(box->windowFlags() & Qt::WindowStaysOnTopHint);
        checked = true;
        box->button(QMessageBox::Ok)->click();
    });
    EXPECT_EQ(sorvel::ShowMessageBox("Error - line one\nline two <b>not bold</b>",
                                     "Sorvel_User.exe", MB_ICONERROR | MB_SYSTEMMODAL),
              IDOK);
    EXPECT_TRUE(checked);

    WhenModal<QMessageBox>([&](QMessageBox* box) {
        EXPECT_EQ(box->icon(), QMessageBox::NoIcon);
        EXPECT_FALSE(box->windowFlags() & Qt::WindowStaysOnTopHint);
        box->button(QMessageBox::Ok)->click();
    });
    EXPECT_EQ(sorvel::AfxMessageBox("Plain", MB_OK), IDOK);
}

// A box raised on the GUI thread while the main dialog shows (a button handler) is modal to
// that dialog; before the dialog shows (the loader at start-up) it blocks the whole program.
TEST_F(PresenterTest, GuiThreadBoxesAreModalToTheVisibleOwner) {
    RecordingPresenter quiet; // the loader's messages
    CQtMessagePresenter presenter;
    CUpgradeDlg dlg(nullptr, ConfigFolder(ConfigKind::None).Path());
    dlg.SetFolderChooser([](const std::string&) { return std::string(); });
    presenter.SetOwner(&dlg);

    WhenModal<QMessageBox>([&](QMessageBox* box) {
        EXPECT_EQ(box->parentWidget(), nullptr);
        EXPECT_EQ(box->windowModality(), Qt::ApplicationModal);
        box->button(QMessageBox::Ok)->click();
    });
    presenter.Present(MessageRequest{"before", "t", MB_OK});

    dlg.show();
    WhenModal<QMessageBox>([&](QMessageBox* box) {
        EXPECT_EQ(box->parentWidget(), &dlg);
        EXPECT_EQ(box->windowModality(), Qt::WindowModal);
        box->button(QMessageBox::Ok)->click();
    });
    presenter.Present(MessageRequest{"during", "t", MB_OK});
    dlg.OnExit();
}

// Runs fn on a worker thread and returns its result; the GUI thread keeps serving events.
template <class Fn>
auto OnWorker(Fn fn) {
    return std::async(std::launch::async, fn);
}

// The sequencer's and the serial channel's messages come from engine threads: the box shows on
// the GUI thread, only the calling thread waits, and the main dialog stays usable meanwhile.
TEST_F(PresenterTest, ABoxFromAWorkerThreadLeavesTheMainDialogUsable) {
    RecordingPresenter quiet;
    ConfigFolder folder(ConfigKind::Full);
    CUpgradeDlg dlg(nullptr, folder.Path());
    dlg.show();
    ASSERT_TRUE(QTest::qWaitForWindowExposed(&dlg));

    CQtMessagePresenter presenter;
    presenter.SetOwner(&dlg);
    presenter.Install();
    auto answer = OnWorker([] {
        return sorvel::AfxMessageBox(
            "Please wait for the front panel displays 'FILE'\nand click on OK",
            MB_OKCANCEL | MB_SYSTEMMODAL);
    });

    QMessageBox* box = nullptr;
    ASSERT_TRUE(WaitFor([&] { return (box = OpenBox()) != nullptr; }));
    EXPECT_EQ(box->parentWidget(), nullptr);
    EXPECT_EQ(box->windowModality(), Qt::NonModal);
    EXPECT_TRUE(box->windowFlags() & Qt::WindowStaysOnTopHint);
    EXPECT_EQ(QApplication::activeModalWidget(), nullptr);
    EXPECT_EQ(answer.wait_for(std::chrono::milliseconds(0)), std::future_status::timeout);

    // The main dialog takes a click through the window system while the box is open.
    auto* onlyCartridge = qobject_cast<QRadioButton*>(dlg.GetDlgItem(IDC_ONLY_CARTRIDGE));
    ASSERT_NE(onlyCartridge, nullptr);
    QTest::mouseClick(dlg.windowHandle(), Qt::LeftButton, {},
                      onlyCartridge->mapTo(&dlg, QPoint(8, onlyCartridge->height() / 2)));
    EXPECT_TRUE(onlyCartridge->isChecked());
    EXPECT_EQ(dlg.GetUpdateMode(), MODE_CARTRIDGE_ONLY);

    box->button(QMessageBox::Cancel)->click();
    ASSERT_TRUE(WaitFor([&] {
        return answer.wait_for(std::chrono::milliseconds(0)) == std::future_status::ready;
    }));
    EXPECT_EQ(answer.get(), IDCANCEL);
    dlg.OnExit();
}

TEST_F(PresenterTest, BoxesOfSeveralThreadsAreAnsweredEachToItsOwnThread) {
    CQtMessagePresenter presenter;
    auto first = OnWorker([&] { return presenter.Present({"first", "c", MB_YESNO}); });
    ASSERT_TRUE(WaitFor([&] { return OpenBox() != nullptr; }));
    auto second = OnWorker([&] { return presenter.Present({"second", "c", MB_OKCANCEL}); });
    ASSERT_TRUE(WaitFor([&] { return QApplication::topLevelWidgets().size() == 2; }));

    for (QWidget* widget : QApplication::topLevelWidgets()) {
        auto* box = qobject_cast<QMessageBox*>(widget);
        ASSERT_NE(box, nullptr);
        if (box->text() == "second")
            box->button(QMessageBox::Ok)->click();
    }
    ASSERT_TRUE(WaitFor([&] {
        return second.wait_for(std::chrono::milliseconds(0)) == std::future_status::ready;
    }));
    EXPECT_EQ(second.get(), IDOK);
    EXPECT_EQ(first.wait_for(std::chrono::milliseconds(0)), std::future_status::timeout);

    QMessageBox* box = OpenBox();
    ASSERT_NE(box, nullptr);
    QTest::keyClick(box, Qt::Key_Escape);
    ASSERT_TRUE(WaitFor(
        [&] { return first.wait_for(std::chrono::milliseconds(0)) == std::future_status::ready; }));
    EXPECT_EQ(first.get(), IDNO);
}

// When the GUI thread stops serving boxes, no thread may stay blocked in one.
TEST_F(PresenterTest, ShutdownAnswersWaitingThreadsAndClosesTheirBoxes) {
    CQtMessagePresenter presenter;
    auto waiting = OnWorker([&] { return presenter.Present({"stop?", "c", MB_YESNO}); });
    ASSERT_TRUE(WaitFor([&] { return OpenBox() != nullptr; }));
    presenter.Shutdown();
    EXPECT_EQ(waiting.get(), IDNO);
    EXPECT_EQ(OpenBox(), nullptr);
    // Later calls answer at once without showing anything.
    EXPECT_EQ(OnWorker([&] {
                  return presenter.Present({"late", "c", MB_OKCANCEL});
              }).get(),
              IDCANCEL);
    EXPECT_EQ(presenter.Present({"late", "c", MB_OK}), IDOK);
    EXPECT_EQ(presenter.OpenPrompt({"late", "c", MB_OK}, [](int) {}), 0u);
}

TEST_F(PresenterTest, AStagePromptAnswersThroughItsCallbackWithoutBlocking) {
    CQtMessagePresenter presenter;
    std::vector<int> answers;
    auto id = presenter.OpenPrompt({"Please wait for the Set Top Box reboots and then click on OK",
                                    "Sorvel_User", MB_OKCANCEL | MB_SYSTEMMODAL},
                                   [&](int answer) { answers.push_back(answer); });
    ASSERT_NE(id, 0u);
    EXPECT_TRUE(presenter.IsPromptOpen(id));
    QMessageBox* box = OpenBox();
    ASSERT_NE(box, nullptr);
    EXPECT_TRUE(answers.empty());

    box->close(); // the close box answers Cancel
    EXPECT_EQ(answers, std::vector<int>{IDCANCEL});
    EXPECT_FALSE(presenter.IsPromptOpen(id));
    ASSERT_TRUE(WaitFor([] { return OpenBox() == nullptr; }));
    EXPECT_EQ(answers.size(), 1u);
}

// A stage prompt stays on top, so it must not stand over the main dialog's buttons.
TEST_F(PresenterTest, AStagePromptLeavesTheMainDialogUncovered) {
    RecordingPresenter quiet; // the loader's messages
    CQtMessagePresenter presenter;
    CUpgradeDlg dlg(nullptr, ConfigFolder(ConfigKind::None).Path());
    dlg.SetFolderChooser([](const std::string&) { return std::string(); });
    presenter.SetOwner(&dlg);
    dlg.show();
    ASSERT_TRUE(QTest::qWaitForWindowExposed(&dlg));
    auto id = presenter.OpenPrompt({"Please wait for the front panel displays 'FILE'\nand click "
                                    "on OK",
                                    "Sorvel_User", MB_OKCANCEL | MB_SYSTEMMODAL},
                                   nullptr);
    QMessageBox* box = OpenBox();
    ASSERT_NE(box, nullptr);
    EXPECT_FALSE(box->frameGeometry().intersects(dlg.frameGeometry()))
        << "prompt at " << box->x() << "," << box->y();
    presenter.ClosePrompt(id);
    dlg.OnExit();
}

TEST_F(PresenterTest, AStagePromptClosedByTheProgramDeliversNoAnswer) {
    CQtMessagePresenter presenter;
    int calls = 0;
    auto id = presenter.OpenPrompt({"prompt", "c", MB_OKCANCEL}, [&](int) { ++calls; });
    auto other = presenter.OpenPrompt({"other", "c", MB_OK}, [&](int) { calls += 10; });
    ASSERT_TRUE(WaitFor([] { return QApplication::topLevelWidgets().size() == 2; }));
    presenter.ClosePrompt(id);
    presenter.ClosePrompt(id); // twice: ignored
    EXPECT_FALSE(presenter.IsPromptOpen(id));
    EXPECT_TRUE(presenter.IsPromptOpen(other));
    ASSERT_TRUE(WaitFor([] { return QApplication::topLevelWidgets().size() == 1; }));
    EXPECT_EQ(calls, 0);
    presenter.Shutdown(); // closes the other prompt without an answer
    ASSERT_TRUE(WaitFor([] { return QApplication::topLevelWidgets().empty(); }));
    EXPECT_EQ(calls, 0);
}

} // namespace

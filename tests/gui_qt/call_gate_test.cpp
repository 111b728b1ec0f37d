// Calls from other threads reach a window on its own thread, and never a window that is gone.
#include "AppTestSupport.h"
#include "GuiCallGate.h"
#include "UpgradeDlg.h"

#include "RecordingPresenter.h"

#include <QProgressBar>
#include <QThread>

#include <atomic>
#include <thread>
#include <vector>

using namespace sorvel::test;

namespace {

TEST(GuiCallGate, CallsFromAnotherThreadRunOnTheWindowThreadInOrder) {
    QObject receiver;
    std::shared_ptr<CGuiCallGate> gate = CGuiCallGate::Create(&receiver);
    std::vector<int> order; // touched on the GUI thread only
    std::atomic<int> wrongThread{0};
    QThread* gui = QThread::currentThread();

    std::thread worker([&] {
        for (int i = 0; i < 100; ++i) {
            EXPECT_TRUE(gate->Post([&, i] {
                if (QThread::currentThread() != gui)
                    ++wrongThread;
                order.push_back(i);
            }));
        }
    });
    worker.join();
    ASSERT_TRUE(WaitFor([&] { return order.size() == 100; }));
    for (int i = 0; i < 100; ++i)
        EXPECT_EQ(order[static_cast<std::size_t>(i)], i);
    EXPECT_EQ(wrongThread.load(), 0);
}

TEST(GuiCallGate, NothingRunsOnceTheReceiverIsDestroyed) {
    auto receiver = std::make_unique<QObject>();
    std::shared_ptr<CGuiCallGate> gate = CGuiCallGate::Create(receiver.get());
    std::atomic<int> ran{0};
    // Queued before the receiver goes, not yet run.
    ASSERT_TRUE(gate->Post([&] { ++ran; }));
    receiver.reset();
    EXPECT_FALSE(gate->IsOpen());

    std::thread worker([&] { EXPECT_FALSE(gate->Post([&] { ++ran; })); });
    worker.join();
    QCoreApplication::processEvents();
    QCoreApplication::sendPostedEvents();
    EXPECT_EQ(ran.load(), 0);
}

TEST(GuiCallGate, ACallThatClosesTheGateDropsTheRest) {
    QObject receiver;
    std::shared_ptr<CGuiCallGate> gate = CGuiCallGate::Create(&receiver);
    int ran = 0;
    gate->Post([&] {
        ++ran;
        gate->Close();
    });
    gate->Post([&] { ++ran; });
    WaitFor([&] { return ran > 0; });
    QCoreApplication::processEvents();
    EXPECT_EQ(ran, 1);
}

class DialogGateTest : public QtWindowTest {};

// The engine reports on its own threads; the dialog takes progress from any thread and drops
// whatever arrives after it has ended.
TEST_F(DialogGateTest, ProgressFromAWorkerThreadMovesTheBarUntilTheDialogEnds) {
    RecordingPresenter presenter;
    ConfigFolder folder(ConfigKind::Full);
    auto dlg = std::make_unique<CUpgradeDlg>(nullptr, folder.Path());
    dlg->show();

    std::thread([&] { dlg->SetProgress(42); }).join();
    EXPECT_TRUE(WaitFor([&] { return dlg->m_ctlProgress->value() == 42; }));
    std::thread([&] { dlg->SetProgress(250); }).join();
    EXPECT_TRUE(WaitFor([&] { return dlg->m_ctlProgress->value() == 100; }));

    std::shared_ptr<CGuiCallGate> gate = dlg->CallGate();
    dlg->OnExit();
    EXPECT_FALSE(dlg->isVisible());
    int late = 0;
    std::thread([&] {
        EXPECT_FALSE(gate->Post([&] { ++late; }));
        dlg->SetProgress(7);
    }).join();
    QCoreApplication::processEvents();
    EXPECT_EQ(late, 0);
    EXPECT_EQ(dlg->m_ctlProgress->value(), 100);

    dlg.reset();
    std::thread([&] { EXPECT_FALSE(gate->Post([&] { ++late; })); }).join();
    EXPECT_EQ(late, 0);
}

} // namespace

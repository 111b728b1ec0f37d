#include "ConsoleUi.h"

#include <iostream>
#include <thread>

namespace sorvel::cli {
namespace {

constexpr int kBarWidth = 40;

} // namespace

void ProgressOutput::Set(int nPos) {
    std::lock_guard lock(m_mutex);
    if (nPos == m_last)
        return;
    m_last = nPos;
    if (!m_terminal) {
        std::cout << "progress: " << nPos << "%" << std::endl;
        return;
    }
    if (nPos <= 0) {
        // Back to 0: the file is through, or the upload ended. The bar of that file stays on
        // screen as it last stood.
        if (m_lineOpen)
            std::cout << "\n" << std::flush;
        m_lineOpen = false;
        return;
    }
    const int clamped = nPos > 100 ? 100 : nPos;
    const int filled = clamped * kBarWidth / 100;
    std::cout << "\r[" << std::string(static_cast<std::size_t>(filled), '#')
              << std::string(static_cast<std::size_t>(kBarWidth - filled), '.') << "] "
              << (clamped < 10    ? "  "
                  : clamped < 100 ? " "
                                  : "")
              << clamped << "%" << std::flush;
    m_lineOpen = true;
}

void ProgressOutput::EndLine() {
    std::lock_guard lock(m_mutex);
    if (m_lineOpen)
        std::cout << "\n" << std::flush;
    m_lineOpen = false;
}

MessagePresenter MakeCliPresenter(bool answerYes, std::shared_ptr<ProgressOutput> progress) {
    MessagePresenter console = MakeConsolePresenter(answerYes);
    return [console, progress](const MessageRequest& request) {
        progress->EndLine();
        return console(request);
    };
}

ConsoleUi::ConsoleUi(std::string port, bool answerYes, std::shared_ptr<TaskQueue> queue,
                     std::shared_ptr<ProgressOutput> progress)
    : m_port(std::move(port)), m_answerYes(answerYes), m_queue(std::move(queue)),
      m_progress(std::move(progress)) {}

int ConsoleUi::ShowMessage(const std::string& text, unsigned flags) {
    return AfxMessageBox(text, flags);
}

void ConsoleUi::ShowStagePrompt(const std::string& text, unsigned flags,
                                std::function<void(int answer)> onAnswer) {
    const unsigned buttons = flags & kMessageButtonsMask;
    if (m_answerYes || (buttons != MB_OKCANCEL && buttons != MB_YESNO)) {
        // Nothing to read: print at once, answer through the queue as a window would.
        const int answer = AfxMessageBox(text, flags);
        m_queue->Post([onAnswer = std::move(onAnswer), answer] {
            if (onAnswer)
                onAnswer(answer);
        });
        return;
    }
    // Reading a line blocks; the owner thread must stay free for Ctrl-C and the engine's
    // notifications. The thread holds what it uses, so it may outlive this object; sorvel-cli
    // ends the process without waiting for a reader that never got its line.
    m_readers->fetch_add(1);
    std::thread([text, flags, queue = m_queue, readers = m_readers,
                 onAnswer = std::move(onAnswer)]() mutable {
        const int answer = AfxMessageBox(text, flags);
        queue->Post([onAnswer = std::move(onAnswer), answer] {
            if (onAnswer)
                onAnswer(answer);
        });
        readers->fetch_sub(1);
    }).detach();
}

void ConsoleUi::SetProgressBar(int nPos) {
    m_progress->Set(nPos);
}

void ConsoleUi::Post(std::function<void()> task) {
    m_queue->Post(std::move(task));
}

} // namespace sorvel::cli

#include "ConsoleUi.h"

#include "CliSystem.h"
#include "Program.h"

#include <algorithm>
#include <filesystem>
#include <iostream>
#include <thread>

namespace sorvel::cli {
namespace {

constexpr int kDefaultColumns = 80;

// The width of the terminal on standard output.
int Columns() {
    const int columns = TerminalColumns();
    return columns > 0 ? columns : kDefaultColumns;
}

// What to type at a prompt with a choice, as MakeConsolePresenter reads the answer.
std::string AnswerHint(unsigned buttons, bool answerYes) {
    const bool yesNo = buttons == MB_YESNO;
    std::string hint =
        yesNo ? "[Enter or y = Yes, anything else = No]" : "[Enter = OK, anything else = Cancel]";
    if (answerYes)
        hint += yesNo ? " -> Yes (--yes)" : " -> OK (--yes)";
    return hint;
}

} // namespace

void ProgressOutput::Set(int nPos) {
    sorvel::MutexLock lock(m_mutex);
    if (nPos == m_last)
        return;
    m_last = nPos;
    if (!m_terminal) {
        // Back to 0 between files, or when the upload ended: nothing was sent, nothing to say.
        if (nPos > 0)
            PrintPercentLocked(nPos);
        return;
    }
    if (nPos <= 0) {
        // Back to 0: the file is through, or the upload ended. The line of that file stays on
        // screen as it last stood.
        EndLineLocked();
        m_line.waiting = false;
        return;
    }
    m_line.waiting = false;
    m_line.percent = std::min(nPos, 100);
    const Clock::time_point now = Clock::now();
    if (!m_haveFirst) {
        m_haveFirst = true;
        m_firstAt = now;
        m_firstPercent = m_line.percent;
    }
    EstimateLocked(now);
    DrawLocked();
}

void ProgressOutput::EndLine() {
    sorvel::MutexLock lock(m_mutex);
    EndLineLocked();
    // A message took the waiting line's place; it is not drawn again below the message.
    m_line.waiting = false;
}

void ProgressOutput::FileStarted(int index, int count, const std::string& path) {
    if (!m_terminal) {
        ProgressLineState file;
        file.index = index;
        file.count = count;
        file.name = DisplayName(path);
        sorvel::MutexLock lock(m_mutex);
        std::cout << FileTitle(file) << std::endl;
        return;
    }
    std::error_code error;
    const std::uintmax_t bytes = std::filesystem::file_size(sorvel::NativePath(path), error);
    sorvel::MutexLock lock(m_mutex);
    EndLineLocked();
    m_line = ProgressLineState{};
    m_line.index = index;
    m_line.count = count;
    m_line.name = DisplayName(path);
    m_line.waiting = true;
    m_fileBytes = error ? 0 : bytes;
    m_startedAt = Clock::now();
    m_haveFirst = false;
    DrawLocked();
}

void ProgressOutput::FileCompleted() {
    sorvel::MutexLock lock(m_mutex);
    if (!m_terminal) {
        // The engine's reports may stop short of 100 % (the last is sent before the file is
        // through); its end is said here, as on a terminal.
        if (m_last != 100)
            PrintPercentLocked(100);
        m_last = 100;
        return;
    }
    m_line.waiting = false;
    m_line.percent = 100;
    EstimateLocked(Clock::now());
    DrawLocked();
    EndLineLocked();
}

int ProgressOutput::Tick() {
    sorvel::MutexLock lock(m_mutex);
    if (!m_terminal || !m_line.waiting)
        return -1;
    const auto waited =
        std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - m_startedAt);
    const auto seconds = static_cast<int>(waited.count() / 1000);
    if (seconds != m_line.waitedSeconds) {
        m_line.waitedSeconds = seconds;
        DrawLocked();
    }
    // Just past the next whole second.
    return static_cast<int>(1000 - waited.count() % 1000) + 1;
}

void ProgressOutput::EstimateLocked(Clock::time_point now) {
    const double seconds = std::chrono::duration<double>(now - m_firstAt).count();
    const int done = m_line.percent - m_firstPercent;
    m_line.bytesPerSecond = -1;
    m_line.secondsLeft = m_line.percent >= 100 ? 0 : -1;
    if (!m_haveFirst || m_fileBytes == 0 || done <= 0 || seconds <= 0)
        return;
    const auto fileBytes = static_cast<double>(m_fileBytes);
    m_line.bytesPerSecond = fileBytes * done / 100 / seconds;
    if (m_line.percent < 100)
        m_line.secondsLeft = fileBytes * (100 - m_line.percent) / 100 / m_line.bytesPerSecond;
}

void ProgressOutput::DrawLocked() {
    const int columns = Columns();
    const std::string line = LayOutProgressLine(m_line, columns);
    const int width = VisibleWidth(line);
    // Blanks over what is left of a longer line, within the width.
    const int blanks = std::clamp(m_lineWidth - width, 0, std::max(columns - 1 - width, 0));
    std::cout << "\r" << line << std::string(static_cast<std::size_t>(blanks), ' ') << std::flush;
    m_lineWidth = width;
    m_lineOpen = true;
}

void ProgressOutput::PrintPercentLocked(int percent) {
    std::cout << "progress: " << percent << "%" << std::endl;
}

void ProgressOutput::EndLineLocked() {
    if (m_lineOpen)
        std::cout << "\n" << std::flush;
    m_lineOpen = false;
    m_lineWidth = 0;
}

MessagePresenter MakeCliPresenter(bool answerYes, std::shared_ptr<ProgressOutput> progress) {
    MessagePresenter console = MakeConsolePresenter(answerYes);
    return [console, progress, answerYes](const MessageRequest& request) {
        progress->EndLine();
        const unsigned buttons = request.flags & kMessageButtonsMask;
        if (buttons != MB_OKCANCEL && buttons != MB_YESNO)
            return console(request);
        // The prompt's own text stays as it is and first; the hint is its last line.
        MessageRequest shown = request;
        shown.text += '\n';
        shown.text += AnswerHint(buttons, answerYes);
        return console(shown);
    };
}

ConsoleUi::ConsoleUi(std::string port, bool answerYes, std::shared_ptr<TaskQueue> queue,
                     std::shared_ptr<ProgressOutput> progress)
    : m_port(std::move(port)), m_answerYes(answerYes), m_queue(std::move(queue)),
      m_progress(std::move(progress)) {}

int ConsoleUi::ShowMessage(const std::string& text, unsigned flags) {
    return AfxMessageBox(text, flags);
}

void AskStagePrompt(const std::string& text, unsigned flags, bool answerYes,
                    const std::shared_ptr<TaskQueue>& queue,
                    const std::shared_ptr<std::atomic<int>>& readers,
                    std::function<void(int answer)> onAnswer) {
    const unsigned buttons = flags & kMessageButtonsMask;
    if (answerYes || (buttons != MB_OKCANCEL && buttons != MB_YESNO)) {
        // Nothing to read: print at once, answer through the queue as a window would.
        const int answer = AfxMessageBox(text, flags);
        queue->Post([onAnswer = std::move(onAnswer), answer] {
            if (onAnswer)
                onAnswer(answer);
        });
        return;
    }
    // Reading a line blocks. sorvel-cli ends the process without waiting for a reader that never
    // got its line.
    readers->fetch_add(1);
    std::thread([text, flags, queue, readers, onAnswer = std::move(onAnswer)]() mutable {
        const int answer = AfxMessageBox(text, flags);
        queue->Post([onAnswer = std::move(onAnswer), answer] {
            if (onAnswer)
                onAnswer(answer);
        });
        readers->fetch_sub(1);
    }).detach();
}

void ConsoleUi::ShowStagePrompt(const std::string& text, unsigned flags,
                                std::function<void(int answer)> onAnswer) {
    AskStagePrompt(text, flags, m_answerYes, m_queue, m_readers, std::move(onAnswer));
}

void ConsoleUi::SetProgressBar(int nPos) {
    m_progress->Set(nPos);
}

void ConsoleUi::OnFileStarted(int index, int count, const std::string& path) {
    m_progress->FileStarted(index, count, path);
}

void ConsoleUi::OnFileCompleted() {
    m_progress->FileCompleted();
}

void ConsoleUi::Post(std::function<void()> task) {
    m_queue->Post(std::move(task));
}

} // namespace sorvel::cli

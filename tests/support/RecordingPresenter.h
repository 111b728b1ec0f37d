// A message-box presenter for tests: records every message and answers from a script.
//
// Install() makes it the process-wide presenter until the object is destroyed (the previous one
// is put back). Answers: a queue of scripted answers is used first; when it is empty, the
// default answer function decides (IDOK/IDYES by default). A test can also hold a message open
// (Block) and release it later, to test code that waits while a box is shown. Thread-safe.
#pragma once

#include "MessageBox.h"

#include <chrono>
#include <condition_variable>
#include <deque>
#include <functional>
#include <mutex>
#include <string>
#include <vector>

namespace sorvel::test {

class RecordingPresenter {
public:
    RecordingPresenter();
    ~RecordingPresenter();
    RecordingPresenter(const RecordingPresenter&) = delete;
    RecordingPresenter& operator=(const RecordingPresenter&) = delete;

    // Answers the next messages in order (IDOK, IDCANCEL, IDYES, IDNO).
    void Script(std::vector<int> answers);
    // Answers the messages for which no scripted answer is left.
    void SetDefaultAnswer(std::function<int(const MessageRequest&)> answer);
    // While blocking, every message waits inside the presenter until Unblock().
    void Block();
    void Unblock();

    std::vector<MessageRequest> Messages() const;
    std::vector<std::string> Texts() const;
    std::size_t Count() const;
    void Clear();
    // Waits until at least n messages were shown (or are being shown); false on time-out.
    bool WaitForCount(std::size_t n, std::chrono::milliseconds timeout) const;

private:
    int Present(const MessageRequest& request);

    mutable std::mutex m_mutex;
    mutable std::condition_variable m_changed;
    std::vector<MessageRequest> m_messages;
    std::deque<int> m_script;
    std::function<int(const MessageRequest&)> m_default;
    bool m_blocking = false;
    int m_presenting = 0; // threads inside Present
    MessagePresenter m_previous;
};

} // namespace sorvel::test

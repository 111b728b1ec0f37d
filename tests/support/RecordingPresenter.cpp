#include "RecordingPresenter.h"

namespace sorvel::test {

RecordingPresenter::RecordingPresenter() {
    m_previous =
        SetMessagePresenter([this](const MessageRequest& request) { return Present(request); });
}

RecordingPresenter::~RecordingPresenter() {
    // No new message reaches this object once the previous presenter is back; a thread still
    // inside Present (a stopped reader thread that nobody waits for, say) is let go and waited
    // for, so that it never touches a destroyed presenter.
    SetMessagePresenter(std::move(m_previous));
    std::unique_lock lock(m_mutex);
    m_blocking = false;
    m_changed.notify_all();
    m_changed.wait(lock, [&] { return m_presenting == 0; });
}

void RecordingPresenter::Script(std::vector<int> answers) {
    std::lock_guard lock(m_mutex);
    m_script.insert(m_script.end(), answers.begin(), answers.end());
}

void RecordingPresenter::SetDefaultAnswer(std::function<int(const MessageRequest&)> answer) {
    std::lock_guard lock(m_mutex);
    m_default = std::move(answer);
}

void RecordingPresenter::Block() {
    std::lock_guard lock(m_mutex);
    m_blocking = true;
}

void RecordingPresenter::Unblock() {
    {
        std::lock_guard lock(m_mutex);
        m_blocking = false;
    }
    m_changed.notify_all();
}

std::vector<MessageRequest> RecordingPresenter::Messages() const {
    std::lock_guard lock(m_mutex);
    return m_messages;
}

std::vector<std::string> RecordingPresenter::Texts() const {
    std::lock_guard lock(m_mutex);
    std::vector<std::string> texts;
    for (const auto& m : m_messages)
        texts.push_back(m.text);
    return texts;
}

std::size_t RecordingPresenter::Count() const {
    std::lock_guard lock(m_mutex);
    return m_messages.size();
}

void RecordingPresenter::Clear() {
    std::lock_guard lock(m_mutex);
    m_messages.clear();
}

bool RecordingPresenter::WaitForCount(std::size_t n, std::chrono::milliseconds timeout) const {
    std::unique_lock lock(m_mutex);
    return m_changed.wait_for(lock, timeout, [&] { return m_messages.size() >= n; });
}

int RecordingPresenter::Present(const MessageRequest& request) {
    std::unique_lock lock(m_mutex);
    ++m_presenting;
    m_messages.push_back(request);
    m_changed.notify_all();
    m_changed.wait(lock, [&] { return !m_blocking; });
    int answer = PositiveAnswer(request.flags);
    if (!m_script.empty()) {
        answer = m_script.front();
        m_script.pop_front();
    } else if (m_default) {
        answer = m_default(request);
    }
    --m_presenting;
    m_changed.notify_all();
    return answer;
}

} // namespace sorvel::test

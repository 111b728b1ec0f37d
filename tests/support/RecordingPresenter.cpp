#include "RecordingPresenter.h"

namespace sorvel::test {

RecordingPresenter::RecordingPresenter() {
    m_previous =
        SetMessagePresenter([this](const MessageRequest& request) { return Present(request); });
}

RecordingPresenter::~RecordingPresenter() {
    Unblock();
    SetMessagePresenter(std::move(m_previous));
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
    m_messages.push_back(request);
    m_changed.notify_all();
    m_changed.wait(lock, [&] { return !m_blocking; });
    if (!m_script.empty()) {
        int answer = m_script.front();
        m_script.pop_front();
        return answer;
    }
    if (m_default)
        return m_default(request);
    return PositiveAnswer(request.flags);
}

} // namespace sorvel::test

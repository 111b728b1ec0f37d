#include "Win32MessagePresenter.h"

#include <algorithm>
#include <atomic>
#include <future>
#include <thread>
#include <utility>

struct CWin32MessagePresenter::Prompt {
    PromptId id = 0;
    std::thread thread;
    DWORD dwThreadId = 0;
    // Set by whichever comes first: the user's answer (delivered) or ClosePrompt (dropped).
    std::atomic<bool> bDone{false};
    std::atomic<bool> bAnswered{false};
};

CWin32MessagePresenter::~CWin32MessagePresenter() {
    Shutdown();
    if (m_bInstalled)
        sorvel::SetMessagePresenter(std::move(m_previous));
}

void CWin32MessagePresenter::Install() {
    if (m_bInstalled)
        return;
    m_previous = sorvel::SetMessagePresenter(
        [this](const sorvel::MessageRequest& request) { return Present(request); });
    m_bInstalled = true;
}

void CWin32MessagePresenter::SetOwner(HWND hOwner) {
    std::lock_guard lock(m_ownerMutex);
    m_owner = Owner{hOwner, GetCurrentThreadId()};
}

int CWin32MessagePresenter::Present(const sorvel::MessageRequest& request) const {
    Owner owner;
    {
        std::lock_guard lock(m_ownerMutex);
        owner = m_owner;
    }
    HWND hParent = nullptr;
    UINT flags = request.flags;
    if (GetCurrentThreadId() == owner.dwThreadId) {
        if (owner.hWnd != nullptr && IsWindow(owner.hWnd) && IsWindowVisible(owner.hWnd))
            hParent = owner.hWnd;
    } else {
        // Nobody would see a box of another thread behind the dialog.
        flags |= MB_TOPMOST | MB_SETFOREGROUND;
    }
    const int answer = MessageBoxA(hParent, request.text.c_str(), request.caption.c_str(), flags);
    // 0: the box could not be shown (no memory); treat it as the cautious answer.
    return answer != 0 ? answer : sorvel::NegativeAnswer(request.flags);
}

CWin32MessagePresenter::PromptId
CWin32MessagePresenter::OpenPrompt(const sorvel::MessageRequest& request,
                                   std::function<void(int)> onAnswer) {
    ReapAnswered();
    auto prompt = std::make_shared<Prompt>();
    prompt->id = ++m_nLastPrompt;
    std::promise<DWORD> started;
    std::future<DWORD> threadId = started.get_future();
    prompt->thread = std::thread(
        [prompt, request, onAnswer = std::move(onAnswer), started = std::move(started)]() mutable {
            // A message queue of its own first, so that ClosePrompt can post WM_QUIT to it even
            // before the box exists.
            MSG msg;
            PeekMessageA(&msg, nullptr, WM_USER, WM_USER, PM_NOREMOVE);
            started.set_value(GetCurrentThreadId());
            const int answer = MessageBoxA(nullptr, request.text.c_str(), request.caption.c_str(),
                                           request.flags | MB_TOPMOST | MB_SETFOREGROUND);
            if (!prompt->bDone.exchange(true)) {
                prompt->bAnswered = true;
                if (onAnswer)
                    onAnswer(answer != 0 ? answer : sorvel::NegativeAnswer(request.flags));
            }
        });
    prompt->dwThreadId = threadId.get();
    m_prompts.push_back(prompt);
    return prompt->id;
}

void CWin32MessagePresenter::ClosePrompt(PromptId id) {
    auto it = std::find_if(m_prompts.begin(), m_prompts.end(),
                           [id](const std::shared_ptr<Prompt>& p) { return p->id == id; });
    if (it == m_prompts.end())
        return;
    std::shared_ptr<Prompt> prompt = *it;
    m_prompts.erase(it);
    if (!prompt->bDone.exchange(true)) {
        // The box's modal loop ends on WM_QUIT (and posts it again, so the thread ends too).
        PostThreadMessageA(prompt->dwThreadId, WM_QUIT, 0, 0);
    }
    if (prompt->thread.joinable())
        prompt->thread.join();
}

bool CWin32MessagePresenter::IsPromptOpen(PromptId id) const {
    return std::any_of(m_prompts.begin(), m_prompts.end(),
                       [id](const std::shared_ptr<Prompt>& p) { return p->id == id && !p->bDone; });
}

void CWin32MessagePresenter::Shutdown() {
    while (!m_prompts.empty())
        ClosePrompt(m_prompts.front()->id);
}

void CWin32MessagePresenter::ReapAnswered() {
    for (auto it = m_prompts.begin(); it != m_prompts.end();) {
        if ((*it)->bAnswered) {
            if ((*it)->thread.joinable())
                (*it)->thread.join();
            it = m_prompts.erase(it);
        } else {
            ++it;
        }
    }
}

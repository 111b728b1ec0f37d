#include "QtMessagePresenter.h"

#include "GuiCallGate.h"

#include <QApplication>
#include <QMessageBox>
#include <QPointer>
#include <QScreen>
#include <QThread>

#include <atomic>
#include <condition_variable>
#include <deque>
#include <map>
#include <mutex>
#include <optional>
#include <vector>

namespace {

QMessageBox::Icon IconFor(unsigned flags) {
    switch (flags & sorvel::kMessageIconMask) {
    case MB_ICONERROR:
        return QMessageBox::Critical;
    case MB_ICONQUESTION:
        return QMessageBox::Question;
    case MB_ICONWARNING:
        return QMessageBox::Warning;
    case MB_ICONINFORMATION:
        return QMessageBox::Information;
    default:
        return QMessageBox::NoIcon;
    }
}

// A box for one message, not yet shown. Buttons, default and escape button follow the flags:
// Esc and the close box give the escape button. The modality is set before the window flags,
// because setting it resets them.
QMessageBox* MakeBox(const sorvel::MessageRequest& request, QWidget* parent,
                     Qt::WindowModality modality, bool stayOnTop) {
    auto* box = new QMessageBox(parent);
    box->setWindowModality(modality);
    box->setWindowTitle(QString::fromUtf8(request.caption));
    box->setTextFormat(Qt::PlainText);
    box->setText(QString::fromUtf8(request.text));
    box->setIcon(IconFor(request.flags));
    switch (request.flags & sorvel::kMessageButtonsMask) {
    case MB_OKCANCEL:
        box->setStandardButtons(QMessageBox::Ok | QMessageBox::Cancel);
        box->setDefaultButton(QMessageBox::Ok);
        box->setEscapeButton(QMessageBox::Cancel);
        break;
    case MB_YESNO:
        box->setStandardButtons(QMessageBox::Yes | QMessageBox::No);
        box->setDefaultButton(QMessageBox::Yes);
        box->setEscapeButton(QMessageBox::No);
        break;
    default:
        box->setStandardButtons(QMessageBox::Ok);
        box->setDefaultButton(QMessageBox::Ok);
        box->setEscapeButton(QMessageBox::Ok);
        break;
    }
    if (stayOnTop || (request.flags & MB_SYSTEMMODAL))
        box->setWindowFlag(Qt::WindowStaysOnTopHint, true);
    return box;
}

int AnswerOf(QMessageBox* box, unsigned flags) {
    QAbstractButton* clicked = box->clickedButton();
    int button = clicked ? static_cast<int>(box->standardButton(clicked)) : 0;
    return CQtMessagePresenter::AnswerForButton(button, flags);
}

bool OnGuiThread() {
    QCoreApplication* app = QCoreApplication::instance();
    return app && QThread::currentThread() == app->thread();
}

} // namespace

// Shared state of a presenter. A request from another thread is handed to the GUI thread through
// a call gate, the one hand-off to that thread (the main dialog's once SetOwner gives it, else
// the presenter's own); the thread then sleeps on `m_answered` until its Pending record has an
// answer.
class CQtMessagePresenter::Impl : public std::enable_shared_from_this<Impl> {
public:
    struct Pending {
        sorvel::MessageRequest request;
        std::optional<int> answer;
    };

    struct Prompt {
        QPointer<QMessageBox> box;
        std::function<void(int)> onAnswer;
    };

    void Start() {
        m_anchor = new QObject;
        m_ownGate = CGuiCallGate::Create(m_anchor);
        m_gate = m_ownGate;
    }
    void SetGate(std::shared_ptr<CGuiCallGate> gate) {
        std::lock_guard lock(m_mutex);
        m_gate = gate ? std::move(gate) : m_ownGate;
    }

    int Present(const sorvel::MessageRequest& request);
    int PresentOnGuiThread(const sorvel::MessageRequest& request);
    int PresentFromOtherThread(const sorvel::MessageRequest& request);
    void Open(const std::shared_ptr<Pending>& pending);

    // One box asked for on another thread, on its way to the GUI thread.
    struct OpenGuard {
        OpenGuard(std::weak_ptr<Impl> owner, std::shared_ptr<Pending> request)
            : impl(std::move(owner)), pending(std::move(request)) {}
        ~OpenGuard() {
            if (opened)
                return;
            if (auto owner = impl.lock())
                owner->Deliver(pending, sorvel::NegativeAnswer(pending->request.flags));
        }
        void Open() {
            opened = true;
            if (auto owner = impl.lock())
                owner->Open(pending);
        }
        std::weak_ptr<Impl> impl;
        std::shared_ptr<Pending> pending;
        std::atomic<bool> opened{false};
    };
    void Deliver(const std::shared_ptr<Pending>& pending, int answer);
    PromptId OpenPrompt(const sorvel::MessageRequest& request, std::function<void(int)> onAnswer);
    void ClosePrompt(PromptId id);
    bool IsPromptOpen(PromptId id) const { return m_prompts.count(id) != 0; }
    void Shutdown();

    // GUI thread only.
    QPointer<QWidget> m_owner;

private:
    // A stage prompt stays on top of every window but must not hide the main dialog's
    // buttons ("Cancel Upload", "Exit"): it stands below the dialog, else to its right, else
    // where the window system puts it.
    void PlaceBesideOwner(QMessageBox* box) const {
        if (!m_owner || !m_owner->isVisible())
            return;
        box->adjustSize();
        const QSize size = box->sizeHint();
        const QRect owner = m_owner->frameGeometry();
        const QScreen* screen = m_owner->screen();
        const QRect room = screen ? screen->availableGeometry() : QRect();
        constexpr int kGap = 8;
        for (const QPoint place : {QPoint(owner.left(), owner.bottom() + kGap),
                                   QPoint(owner.right() + kGap, owner.top())}) {
            if (room.isEmpty() || room.contains(QRect(place, size))) {
                box->move(place);
                return;
            }
        }
    }

    bool IsClosed() {
        std::lock_guard lock(m_mutex);
        return m_closed;
    }

    std::mutex m_mutex;
    std::condition_variable m_answered;
    bool m_closed = false;                           // guarded by m_mutex
    std::vector<std::shared_ptr<Pending>> m_waiting; // guarded by m_mutex
    std::shared_ptr<CGuiCallGate> m_gate;            // guarded by m_mutex
    std::shared_ptr<CGuiCallGate> m_ownGate;
    QObject* m_anchor = nullptr; // the own gate's receiver, on the GUI thread

    // GUI thread only.
    std::vector<QPointer<QMessageBox>> m_threadBoxes;
    std::map<PromptId, Prompt> m_prompts;
    PromptId m_lastPromptId = 0;
};

int CQtMessagePresenter::Impl::Present(const sorvel::MessageRequest& request) {
    if (!QCoreApplication::instance())
        return sorvel::StderrPresenter(request);
    if (OnGuiThread())
        return PresentOnGuiThread(request);
    return PresentFromOtherThread(request);
}

int CQtMessagePresenter::Impl::PresentOnGuiThread(const sorvel::MessageRequest& request) {
    if (IsClosed())
        return sorvel::NegativeAnswer(request.flags);
    // Modal to the dialog the user is working in: an open modal dialog first, else the owner
    // while it shows. Before the owner shows (the loader's messages at start-up) the box stands
    // alone and blocks the whole program.
    QWidget* parent = QApplication::activeModalWidget();
    if (!parent && m_owner && m_owner->isVisible())
        parent = m_owner;
    QMessageBox* box =
        MakeBox(request, parent, parent ? Qt::WindowModal : Qt::ApplicationModal, false);
    QPointer<QMessageBox> guard(box);
    box->exec();
    if (!guard)
        return sorvel::NegativeAnswer(request.flags);
    int answer = AnswerOf(box, request.flags);
    delete box;
    return answer;
}

int CQtMessagePresenter::Impl::PresentFromOtherThread(const sorvel::MessageRequest& request) {
    auto pending = std::make_shared<Pending>();
    pending->request = request;
    std::shared_ptr<CGuiCallGate> gate;
    {
        std::lock_guard lock(m_mutex);
        if (m_closed)
            return sorvel::NegativeAnswer(request.flags);
        gate = m_gate;
        m_waiting.push_back(pending);
    }
    // A call that the gate drops unrun (closed now, or closed before it ran: the dialog went)
    // answers with the box's negative answer, so that no thread waits for a box never shown.
    // Posted outside the lock: a dropped call answers under it.
    auto guard = std::make_shared<OpenGuard>(weak_from_this(), pending);
    gate->Post([guard] { guard->Open(); });
    guard.reset();
    std::unique_lock lock(m_mutex);
    m_answered.wait(lock, [&] { return pending->answer.has_value(); });
    std::erase(m_waiting, pending);
    return *pending->answer;
}

void CQtMessagePresenter::Impl::Open(const std::shared_ptr<Pending>& pending) {
    {
        std::lock_guard lock(m_mutex);
        if (m_closed || pending->answer)
            return;
    }
    std::weak_ptr<Impl> weak = weak_from_this();
    unsigned flags = pending->request.flags;
    QMessageBox* box = MakeBox(pending->request, nullptr, Qt::NonModal, false);
    box->setAttribute(Qt::WA_DeleteOnClose, true);
    QObject::connect(box, &QDialog::finished, box, [weak, pending, box, flags](int) {
        if (auto impl = weak.lock())
            impl->Deliver(pending, AnswerOf(box, flags));
    });
    // A box destroyed unanswered (the program ends) must not leave its thread waiting.
    QObject::connect(box, &QObject::destroyed, [weak, pending, flags] {
        if (auto impl = weak.lock())
            impl->Deliver(pending, sorvel::NegativeAnswer(flags));
    });
    std::erase_if(m_threadBoxes, [](const QPointer<QMessageBox>& b) { return b.isNull(); });
    m_threadBoxes.emplace_back(box);
    box->show();
    box->raise();
}

void CQtMessagePresenter::Impl::Deliver(const std::shared_ptr<Pending>& pending, int answer) {
    {
        std::lock_guard lock(m_mutex);
        if (pending->answer)
            return;
        pending->answer = answer;
    }
    m_answered.notify_all();
}

CQtMessagePresenter::PromptId
CQtMessagePresenter::Impl::OpenPrompt(const sorvel::MessageRequest& request,
                                      std::function<void(int)> onAnswer) {
    if (IsClosed())
        return 0;
    PromptId id = ++m_lastPromptId;
    unsigned flags = request.flags;
    QMessageBox* box = MakeBox(request, nullptr, Qt::NonModal, true);
    box->setAttribute(Qt::WA_DeleteOnClose, true);
    m_prompts[id] = Prompt{box, std::move(onAnswer)};
    std::weak_ptr<Impl> weak = weak_from_this();
    QObject::connect(box, &QDialog::finished, box, [weak, id, box, flags](int) {
        auto impl = weak.lock();
        if (!impl)
            return;
        auto it = impl->m_prompts.find(id);
        if (it == impl->m_prompts.end())
            return; // closed by the program: the answer is not wanted
        std::function<void(int)> onAnswer = std::move(it->second.onAnswer);
        impl->m_prompts.erase(it);
        if (onAnswer)
            onAnswer(AnswerOf(box, flags));
    });
    QObject::connect(box, &QObject::destroyed, [weak, id] {
        if (auto impl = weak.lock())
            impl->m_prompts.erase(id);
    });
    PlaceBesideOwner(box);
    box->show();
    box->raise();
    return id;
}

void CQtMessagePresenter::Impl::ClosePrompt(PromptId id) {
    auto it = m_prompts.find(id);
    if (it == m_prompts.end())
        return;
    QPointer<QMessageBox> box = it->second.box;
    m_prompts.erase(it);
    delete box.data();
}

void CQtMessagePresenter::Impl::Shutdown() {
    {
        std::lock_guard lock(m_mutex);
        m_closed = true;
        for (const std::shared_ptr<Pending>& pending : m_waiting) {
            if (!pending->answer)
                pending->answer = sorvel::NegativeAnswer(pending->request.flags);
        }
        m_gate.reset();
    }
    m_answered.notify_all();
    if (m_ownGate)
        m_ownGate->Close();
    delete m_anchor;
    m_anchor = nullptr;

    std::vector<QPointer<QMessageBox>> boxes;
    boxes.swap(m_threadBoxes);
    for (auto& entry : m_prompts)
        boxes.push_back(entry.second.box);
    m_prompts.clear();
    for (QPointer<QMessageBox>& box : boxes)
        delete box.data();
}

CQtMessagePresenter::CQtMessagePresenter() : m_impl(std::make_shared<Impl>()) {
    m_impl->Start();
}

CQtMessagePresenter::~CQtMessagePresenter() {
    Shutdown();
    if (m_installed)
        sorvel::SetMessagePresenter(std::move(m_previous));
}

void CQtMessagePresenter::Install() {
    sorvel::MessagePresenter previous = sorvel::SetMessagePresenter(AsPresenter());
    if (!m_installed) {
        m_previous = std::move(previous);
        m_installed = true;
    }
}

sorvel::MessagePresenter CQtMessagePresenter::AsPresenter() const {
    std::shared_ptr<Impl> impl = m_impl;
    return [impl](const sorvel::MessageRequest& request) { return impl->Present(request); };
}

void CQtMessagePresenter::SetOwner(QWidget* owner, std::shared_ptr<CGuiCallGate> gate) {
    m_impl->m_owner = owner;
    m_impl->SetGate(std::move(gate));
}

int CQtMessagePresenter::Present(const sorvel::MessageRequest& request) const {
    return m_impl->Present(request);
}

CQtMessagePresenter::PromptId CQtMessagePresenter::OpenPrompt(const sorvel::MessageRequest& request,
                                                              std::function<void(int)> onAnswer) {
    return m_impl->OpenPrompt(request, std::move(onAnswer));
}

void CQtMessagePresenter::ClosePrompt(PromptId id) {
    m_impl->ClosePrompt(id);
}

bool CQtMessagePresenter::IsPromptOpen(PromptId id) const {
    return m_impl->IsPromptOpen(id);
}

void CQtMessagePresenter::Shutdown() {
    m_impl->Shutdown();
}

int CQtMessagePresenter::AnswerForButton(int standardButton, unsigned flags) {
    switch (standardButton) {
    case QMessageBox::Ok:
        return IDOK;
    case QMessageBox::Cancel:
        return IDCANCEL;
    case QMessageBox::Yes:
        return IDYES;
    case QMessageBox::No:
        return IDNO;
    default:
        return sorvel::NegativeAnswer(flags);
    }
}

#include "QtMessagePresenter.h"

#include <QApplication>
#include <QMessageBox>
#include <QMetaObject>
#include <QPointer>
#include <QThread>

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

// Lives on the GUI thread and opens the boxes that other threads asked for. It is told to look
// by a queued call by name, which carries no data: the requests travel through the presenter's
// mutex only.
class PresenterReceiver : public QObject {
    Q_OBJECT
public:
    explicit PresenterReceiver(std::function<void()> drain) : m_drain(std::move(drain)) {}
    Q_INVOKABLE void Drain() { m_drain(); }

private:
    std::function<void()> m_drain;
};

} // namespace

// Shared state of a presenter. Requests from other threads wait in `m_toOpen` until the GUI
// thread opens their boxes; each waiting thread sleeps on `m_answered` until its Pending record
// has an answer.
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
        std::weak_ptr<Impl> weak = weak_from_this();
        m_receiver = new PresenterReceiver([weak] {
            if (auto impl = weak.lock())
                impl->OpenQueued();
        });
    }

    int Present(const sorvel::MessageRequest& request);
    int PresentOnGuiThread(const sorvel::MessageRequest& request);
    int PresentFromOtherThread(const sorvel::MessageRequest& request);
    void OpenQueued();
    void Deliver(const std::shared_ptr<Pending>& pending, int answer);
    PromptId OpenPrompt(const sorvel::MessageRequest& request, std::function<void(int)> onAnswer);
    void ClosePrompt(PromptId id);
    bool IsPromptOpen(PromptId id) const { return m_prompts.count(id) != 0; }
    void Shutdown();

    // GUI thread only.
    QPointer<QWidget> m_owner;

private:
    bool IsClosed() {
        std::lock_guard lock(m_mutex);
        return m_closed;
    }

    std::mutex m_mutex;
    std::condition_variable m_answered;
    bool m_closed = false;
    bool m_drainPosted = false;
    std::deque<std::shared_ptr<Pending>> m_toOpen;
    std::vector<std::shared_ptr<Pending>> m_waiting;
    PresenterReceiver* m_receiver = nullptr; // GUI thread object; null after Shutdown

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
    std::unique_lock lock(m_mutex);
    if (m_closed)
        return sorvel::NegativeAnswer(request.flags);
    m_toOpen.push_back(pending);
    m_waiting.push_back(pending);
    if (!m_drainPosted) {
        m_drainPosted = true;
        // Under the lock: Shutdown deletes the receiver only after taking it.
        QMetaObject::invokeMethod(m_receiver, "Drain", Qt::QueuedConnection);
    }
    m_answered.wait(lock, [&] { return pending->answer.has_value(); });
    std::erase(m_waiting, pending);
    return *pending->answer;
}

void CQtMessagePresenter::Impl::OpenQueued() {
    std::deque<std::shared_ptr<Pending>> requests;
    {
        std::lock_guard lock(m_mutex);
        m_drainPosted = false;
        if (m_closed)
            return;
        requests.swap(m_toOpen);
    }
    std::weak_ptr<Impl> weak = weak_from_this();
    for (const std::shared_ptr<Pending>& pending : requests) {
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
    PresenterReceiver* receiver = nullptr;
    {
        std::lock_guard lock(m_mutex);
        m_closed = true;
        m_toOpen.clear();
        for (const std::shared_ptr<Pending>& pending : m_waiting) {
            if (!pending->answer)
                pending->answer = sorvel::NegativeAnswer(pending->request.flags);
        }
        receiver = m_receiver;
        m_receiver = nullptr;
    }
    m_answered.notify_all();
    delete receiver;

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

void CQtMessagePresenter::SetOwner(QWidget* owner) {
    m_impl->m_owner = owner;
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

#include "QtMessagePresenter.moc"

#include "GuiCallGate.h"

#include <QMetaObject>

// The receiving end: a small object on the window's thread, destroyed with the window. Calls
// are announced to it by a queued invocation by name, which carries no data of ours; the calls
// themselves travel through the gate's mutex-protected queue.
class GuiCallPump : public QObject {
    Q_OBJECT
public:
    GuiCallPump(std::function<void()> drain, std::function<void()> close, QObject* receiver)
        : QObject(receiver), m_drain(std::move(drain)), m_close(std::move(close)) {}
    ~GuiCallPump() override { m_close(); }

    Q_INVOKABLE void Drain() { m_drain(); }

private:
    std::function<void()> m_drain;
    std::function<void()> m_close;
};

std::shared_ptr<CGuiCallGate> CGuiCallGate::Create(QObject* receiver) {
    std::shared_ptr<CGuiCallGate> gate(new CGuiCallGate());
    // The pump is a child of the receiver: it is destroyed, and the gate closed, with it.
    std::weak_ptr<CGuiCallGate> weak = gate;
    gate->m_pump = new GuiCallPump(
        [weak] {
            if (auto g = weak.lock())
                g->RunQueued();
        },
        [weak] {
            if (auto g = weak.lock())
                g->Close();
        },
        receiver);
    return gate;
}

CGuiCallGate::~CGuiCallGate() = default;

bool CGuiCallGate::Post(std::function<void()> fn) {
    std::lock_guard lock(m_mutex);
    if (!m_pump)
        return false;
    m_queue.push_back(std::move(fn));
    if (!m_drainPosted) {
        m_drainPosted = true;
        // Under the lock, so that the pump cannot be destroyed between the check and the post.
        QMetaObject::invokeMethod(m_pump, "Drain", Qt::QueuedConnection);
    }
    return true;
}

void CGuiCallGate::Close() {
    std::deque<std::function<void()>> dropped;
    {
        std::lock_guard lock(m_mutex);
        m_pump = nullptr;
        dropped.swap(m_queue);
    }
    // The dropped calls are destroyed outside the lock: their captures may post or close again.
}

bool CGuiCallGate::IsOpen() const {
    std::lock_guard lock(m_mutex);
    return m_pump != nullptr;
}

void CGuiCallGate::RunQueued() {
    std::deque<std::function<void()>> calls;
    {
        std::lock_guard lock(m_mutex);
        m_drainPosted = false;
        if (!m_pump)
            return;
        calls.swap(m_queue);
    }
    while (!calls.empty()) {
        std::function<void()> fn = std::move(calls.front());
        calls.pop_front();
        // A call may close the gate (the dialog ends): the rest are then dropped.
        if (!IsOpen())
            return;
        fn();
    }
}

#include "GuiCallGate.moc"

#include "AppTestSupport.h"

#include "ConfigWriter.h"

#include <QDialog>
#include <QTest>

namespace sorvel::test {

void QtWindowTest::TearDown() {
    QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
    const QWidgetList left = QApplication::topLevelWidgets();
    for (QWidget* widget : left)
        ADD_FAILURE() << "window left open: " << widget->metaObject()->className() << " \""
                      << widget->windowTitle().toStdString() << "\"";
    for (QWidget* widget : left)
        delete widget;
    std::filesystem::current_path(m_workingDirectory);
}

ConfigFolder::ConfigFolder(ConfigKind kind) {
    if (kind == ConfigKind::None)
        return;
    m_dir.Write("Ressources/sti.urt", std::string("STI upload file\x01\x02", 17));
    m_dir.Write("Ressources/cart1.urt", std::string("cartridge one"));
    m_dir.Write("Ressources/cart2.urt", std::string("cartridge two"));
    ConfigContents wanted;
    wanted.stiPath = ".\\Ressources\\sti.urt";
    wanted.softwareVersion = ConfigTexts::kSoftware;
    wanted.hardwareVersion = ConfigTexts::kHardware;
    wanted.brevonVersion = ConfigTexts::kBrevon;
    wanted.pellumVersion = ConfigTexts::kPellum;
    wanted.cartridgeType = ConfigTexts::kCartridgeType;
    if (kind == ConfigKind::Full) {
        wanted.cartridge1Path = ".\\Ressources\\cart1.urt";
        wanted.cartridge2Path = ".\\Ressources\\cart2.urt";
    }
    std::string error;
    if (!WriteConfiguration(m_dir.Path(), wanted, &error))
        ADD_FAILURE() << "cannot write the configuration: " << error;
}

namespace detail {
void WhenFound(std::function<QWidget*()> find, std::function<void(QWidget*)> fn,
               std::chrono::milliseconds deadline, const char* missing) {
    const auto end = std::chrono::steady_clock::now() + deadline;
    auto timer = new QTimer();
    timer->setInterval(5);
    QObject::connect(timer, &QTimer::timeout, [timer, find, fn, end, missing] {
        QWidget* widget = find();
        if (widget == nullptr && std::chrono::steady_clock::now() <= end)
            return;
        timer->stop();
        timer->deleteLater();
        if (widget)
            fn(widget);
        else
            ADD_FAILURE() << missing;
    });
    timer->start();
}
} // namespace detail

bool WaitFor(const std::function<bool()>& cond, std::chrono::milliseconds deadline) {
    auto end = std::chrono::steady_clock::now() + deadline;
    while (!cond()) {
        if (std::chrono::steady_clock::now() > end)
            return cond();
        QCoreApplication::processEvents(QEventLoop::AllEvents, 5);
        QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
    }
    return true;
}

} // namespace sorvel::test

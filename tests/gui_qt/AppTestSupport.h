// Helpers for the dialog tests: a fixture that checks that no window outlives a test, real
// configuration folders, and closing modal dialogs from the event loop.
#pragma once

#include "ConfigFile.h"
#include "TempDir.h"

#include <QApplication>
#include <QDialog>
#include <QTimer>
#include <QWidget>

#include <gtest/gtest.h>

#include <chrono>
#include <filesystem>
#include <functional>
#include <memory>
#include <ostream>
#include <string>

// Failure messages show QStrings as text.
inline void PrintTo(const QString& text, std::ostream* os) {
    *os << '"' << text.toStdString() << '"';
}

namespace sorvel::test {

// Every dialog test: windows left open by a test fail it, and are closed so that the next test
// starts clean. The main dialog makes the folder it loads the working directory; the test's own
// comes back at the end.
class QtWindowTest : public ::testing::Test {
protected:
    void TearDown() override;

private:
    std::filesystem::path m_workingDirectory = std::filesystem::current_path();
};

// The three kinds of configuration folder the program may start in.
enum class ConfigKind { None, StiOnly, Full };

// Texts that the configurations below carry (mixed case on purpose: the version dialog shows
// them in upper case).
struct ConfigTexts {
    static constexpr const char* kSoftware = "Sw-1.3.9b";
    static constexpr const char* kHardware = "hw Rev C";
    static constexpr const char* kBrevon = "Brevon 4.2a";
    static constexpr const char* kPellum = "pellum 7.0";
    static constexpr const char* kCartridgeType = "Ct-x2";
};

// A folder with Ressources/Configuration.zkf of the given kind (none: no file at all) and the
// upload files it names. The STI-only configuration carries a Pellum Mail record all the same.
class ConfigFolder {
public:
    explicit ConfigFolder(ConfigKind kind);
    std::string Path() const { return m_dir.Path().string(); }

private:
    TempDir m_dir;
};

namespace detail {
// From the event loop, every few milliseconds: once find() returns a widget, calls fn with it;
// after the deadline, fails the test with missing.
void WhenFound(std::function<QWidget*()> find, std::function<void(QWidget*)> fn,
               std::chrono::milliseconds deadline, const char* missing);
} // namespace detail

// Calls fn with the application's modal widget of type W once one shows (up to the deadline).
// If the widget is still the modal one after fn returned, it is rejected so that the test cannot
// hang.
template <class W>
void WhenModal(std::function<void(W*)> fn,
               std::chrono::milliseconds deadline = std::chrono::seconds(10)) {
    detail::WhenFound(
        []() -> QWidget* {
            W* target = qobject_cast<W*>(QApplication::activeModalWidget());
            return target && target->isVisible() ? target : nullptr;
        },
        [fn](QWidget* widget) {
            fn(static_cast<W*>(widget));
            if (QApplication::activeModalWidget() == widget) {
                ADD_FAILURE() << "the modal dialog did not close";
                if (auto* dialog = qobject_cast<QDialog*>(widget))
                    dialog->done(0);
            }
        },
        deadline, "no modal dialog of the expected type showed");
}

// Calls fn with the first visible top-level window of type W once one shows (the main dialog,
// which is not modal), up to the deadline.
template <class W>
void WhenShown(std::function<void(W*)> fn,
               std::chrono::milliseconds deadline = std::chrono::seconds(10)) {
    detail::WhenFound(
        []() -> QWidget* {
            for (QWidget* widget : QApplication::topLevelWidgets()) {
                W* target = qobject_cast<W*>(widget);
                if (target && target->isVisible())
                    return target;
            }
            return nullptr;
        },
        [fn](QWidget* widget) { fn(static_cast<W*>(widget)); }, deadline,
        "no window of the expected type showed");
}

// Processes events until cond holds or the deadline passes; returns cond().
bool WaitFor(const std::function<bool()>& cond,
             std::chrono::milliseconds deadline = std::chrono::seconds(10));

} // namespace sorvel::test

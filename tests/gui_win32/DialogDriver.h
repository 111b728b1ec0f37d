// Driving Win32 dialogs from a test, as a user would but by messages: run the thread's messages
// until something holds, read the controls, find the message boxes that show and answer them.
#pragma once

#include <windows.h>

#include <chrono>
#include <functional>
#include <string>

namespace sorvel::test {

// Runs this thread's messages until cond holds or the deadline passes; returns cond().
inline bool PumpUntil(const std::function<bool()>& cond,
                      std::chrono::milliseconds deadline = std::chrono::seconds(10)) {
    const auto end = std::chrono::steady_clock::now() + deadline;
    while (!cond()) {
        MSG msg;
        while (PeekMessageA(&msg, nullptr, 0, 0, PM_REMOVE)) {
            TranslateMessage(&msg);
            DispatchMessageA(&msg);
        }
        if (std::chrono::steady_clock::now() > end)
            return cond();
        MsgWaitForMultipleObjects(0, nullptr, FALSE, 5, QS_ALLINPUT);
    }
    return true;
}

// Runs this thread's messages for a while.
inline void PumpFor(std::chrono::milliseconds duration) {
    PumpUntil([] { return false; }, duration);
}

inline std::string WindowText(HWND hWnd) {
    char text[512] = {};
    GetWindowTextA(hWnd, text, sizeof text);
    return text;
}

// Finds the shown top-level dialog box with the given caption, on any thread.
inline HWND FindBox(const char* caption) {
    HWND hBox = FindWindowA("#32770", caption);
    return hBox != nullptr && IsWindowVisible(hBox) ? hBox : nullptr;
}

// A message box's text: the texts of its static controls (the icon's is empty), one a line.
inline std::string BoxText(HWND hBox) {
    std::string text;
    EnumChildWindows(
        hBox,
        [](HWND hChild, LPARAM lParam) -> BOOL {
            char className[16] = {};
            GetClassNameA(hChild, className, sizeof className);
            const std::string childText = WindowText(hChild);
            if (lstrcmpiA(className, "Static") == 0 && !childText.empty()) {
                auto& all = *reinterpret_cast<std::string*>(lParam);
                all += all.empty() ? childText : "\n" + childText;
            }
            return TRUE;
        },
        reinterpret_cast<LPARAM>(&text));
    return text;
}

// A shown message box with the caption and exactly the text, on any thread, or null. Boxes of one
// caption differ by their text: a stage prompt and a button's message may be up together.
inline HWND FindBoxWithText(const std::string& caption, const std::string& text) {
    struct Search {
        const std::string& caption;
        const std::string& text;
        HWND hFound;
    } search{caption, text, nullptr};
    EnumWindows(
        [](HWND hWnd, LPARAM lParam) -> BOOL {
            auto& s = *reinterpret_cast<Search*>(lParam);
            char className[16] = {};
            GetClassNameA(hWnd, className, sizeof className);
            if (std::string(className) == "#32770" && IsWindowVisible(hWnd) &&
                WindowText(hWnd) == s.caption && BoxText(hWnd) == s.text) {
                s.hFound = hWnd;
                return FALSE;
            }
            return TRUE;
        },
        reinterpret_cast<LPARAM>(&search));
    return search.hFound;
}

// Presses a box's button, as a click on it does: the box ends with that answer. The box's own
// thread acts on it, whichever thread asks.
inline void AnswerBox(HWND hBox, int button) {
    PostMessageA(hBox, WM_COMMAND, MAKEWPARAM(button, BN_CLICKED),
                 reinterpret_cast<LPARAM>(GetDlgItem(hBox, button)));
}

} // namespace sorvel::test

#include "MessageBox.h"

#include "Program.h"

#include <cstdio>
#include <iostream>
#include <memory>
#include <mutex>
#include <string>

namespace sorvel {
namespace {

std::mutex g_presenterMutex;
// Held by shared_ptr so that a message being shown keeps its presenter alive while another
// thread installs a new one.
std::shared_ptr<const MessagePresenter> g_presenter;

std::shared_ptr<const MessagePresenter> CurrentPresenter() {
    std::lock_guard lock(g_presenterMutex);
    return g_presenter;
}

bool IsYes(std::string line) {
    while (!line.empty() && (line.back() == '\r' || line.back() == ' ' || line.back() == '\t'))
        line.pop_back();
    std::size_t start = line.find_first_not_of(" \t");
    line = start == std::string::npos ? std::string() : line.substr(start);
    for (char& c : line)
        c = static_cast<char>(c >= 'A' && c <= 'Z' ? c - 'A' + 'a' : c);
    return line.empty() || line == "y" || line == "yes" || line == "ok";
}

} // namespace

MessagePresenter SetMessagePresenter(MessagePresenter presenter) {
    auto next = presenter ? std::make_shared<const MessagePresenter>(std::move(presenter))
                          : std::shared_ptr<const MessagePresenter>();
    std::lock_guard lock(g_presenterMutex);
    std::shared_ptr<const MessagePresenter> previous = std::move(g_presenter);
    g_presenter = std::move(next);
    return previous ? *previous : MessagePresenter();
}

int ShowMessageBox(const std::string& text, const std::string& caption, unsigned flags) {
    MessageRequest request{text, caption, flags};
    if (auto presenter = CurrentPresenter())
        return (*presenter)(request);
    return StderrPresenter(request);
}

int AfxMessageBox(const std::string& text, unsigned flags) {
    return ShowMessageBox(text, ApplicationTitle(), flags);
}

int PositiveAnswer(unsigned flags) {
    return (flags & kMessageButtonsMask) == MB_YESNO ? IDYES : IDOK;
}

int NegativeAnswer(unsigned flags) {
    switch (flags & kMessageButtonsMask) {
    case MB_YESNO:
        return IDNO;
    case MB_OKCANCEL:
        return IDCANCEL;
    default:
        return IDOK;
    }
}

int StderrPresenter(const MessageRequest& request) {
    std::string line = request.caption + ": " + request.text + "\n";
    std::fputs(line.c_str(), stderr);
    std::fflush(stderr);
    return IDOK;
}

MessagePresenter MakeConsolePresenter(bool answerYes) {
    // One mutex per presenter: a prompt and its answer stay together on the terminal.
    auto mutex = std::make_shared<std::mutex>();
    return [mutex, answerYes](const MessageRequest& request) {
        std::lock_guard lock(*mutex);
        std::cout << request.text << std::endl;
        unsigned buttons = request.flags & kMessageButtonsMask;
        if (buttons != MB_OKCANCEL && buttons != MB_YESNO)
            return IDOK;
        if (answerYes)
            return PositiveAnswer(request.flags);
        std::string line;
        if (!std::getline(std::cin, line))
            return NegativeAnswer(request.flags);
        return IsYes(line) ? PositiveAnswer(request.flags) : NegativeAnswer(request.flags);
    };
}

} // namespace sorvel

#include "CommMessages.h"

#include "Comm.h"
#include "Program.h"

#include <mutex>

namespace comm {
namespace {

constexpr std::size_t kCaptionBytes = 260;

// The caption is read by the reader and writer threads while a new CommOpen may compute it
// again, so it sits behind a lock.
std::mutex g_captionMutex;
std::string g_szCommCaption = "Serial comm error";
thread_local std::string t_lastOpenError;
thread_local int t_lastOpenFailure = 0;

std::string Caption() {
    std::lock_guard lock(g_captionMutex);
    return g_szCommCaption;
}

} // namespace

void TakeProgramCaption() {
    std::string caption = sorvel::ProgramExeCaption();
    if (caption.size() >= kCaptionBytes)
        caption.resize(kCaptionBytes - 1);
    std::lock_guard lock(g_captionMutex);
    g_szCommCaption = caption;
}

void CommMessage(const char* text, unsigned style) {
    sorvel::ShowMessageBox(text, Caption(), style);
}

void SetLastOpenError(std::string reason, int failure) {
    t_lastOpenError = std::move(reason);
    t_lastOpenFailure = failure;
}

} // namespace comm

std::string CommLastOpenError() {
    return comm::t_lastOpenError;
}

int CommLastOpenFailure() {
    return comm::t_lastOpenFailure;
}

// The process-wide message box.
//
// Every message of the system (the serial channel's "Error - ..." boxes, the configuration
// loader's errors, the sequencer's prompts) goes through ShowMessageBox. The program decides how
// a message is presented by installing a presenter: the Qt program shows a real message box, the
// command-line tools print to the console, tests record and answer from a script. With no
// presenter installed the message is printed to standard error and answered with IDOK.
//
// Threads: ShowMessageBox may be called from any thread and blocks the calling thread until the
// presenter answers. Several threads may show messages at once; the presenter decides whether
// they queue. SetMessagePresenter may be called from any thread; a message already being shown
// finishes with the presenter it started with.
//
// The library is shared by the engine library and the program so that both use one presenter.
#pragma once

#include "PlatformExport.h"
#include "SorvelWinTypes.h"

#include <functional>
#include <string>

#if !defined(_WIN32)
// Style flags and answers with their Windows values.
constexpr unsigned MB_OK = 0x0;
constexpr unsigned MB_OKCANCEL = 0x1;
constexpr unsigned MB_YESNO = 0x4;
constexpr unsigned MB_ICONERROR = 0x10;
constexpr unsigned MB_ICONQUESTION = 0x20;
constexpr unsigned MB_ICONWARNING = 0x30;
constexpr unsigned MB_ICONINFORMATION = 0x40;
constexpr unsigned MB_SYSTEMMODAL = 0x1000;
constexpr int IDOK = 1;
constexpr int IDCANCEL = 2;
constexpr int IDYES = 6;
constexpr int IDNO = 7;
#endif

namespace sorvel {

// Masks of the flag bits that choose the buttons and the icon.
constexpr unsigned kMessageButtonsMask = 0xF;
constexpr unsigned kMessageIconMask = 0xF0;

struct MessageRequest {
    std::string text;
    std::string caption;
    unsigned flags = 0;
};

// Shows a message and returns the button that answered it (IDOK, IDCANCEL, IDYES or IDNO).
using MessagePresenter = std::function<int(const MessageRequest&)>;

// Installs a presenter for the whole process and returns the previous one. An empty presenter
// restores the default (standard error, answered with IDOK).
SORVEL_PLATFORM_API MessagePresenter SetMessagePresenter(MessagePresenter presenter);

// Shows one message through the installed presenter; returns its answer.
SORVEL_PLATFORM_API int ShowMessageBox(const std::string& text, const std::string& caption,
                                       unsigned flags);

// The program's own message box: captioned with the application title (ApplicationTitle()).
SORVEL_PLATFORM_API int AfxMessageBox(const std::string& text, unsigned flags = MB_OK);

// The positive answer for a flag set: IDYES for MB_YESNO, IDOK otherwise.
SORVEL_PLATFORM_API int PositiveAnswer(unsigned flags);
// The negative answer for a flag set: IDNO for MB_YESNO, IDCANCEL for MB_OKCANCEL, IDOK for
// MB_OK (a box with one button can only be acknowledged).
SORVEL_PLATFORM_API int NegativeAnswer(unsigned flags);

// The default presenter: prints "caption: text" to standard error and answers IDOK.
SORVEL_PLATFORM_API int StderrPresenter(const MessageRequest& request);

// A presenter for command-line tools. Prints each text as it is, followed by a newline, to
// standard output. A message with a choice (MB_OKCANCEL, MB_YESNO) then reads one line from
// standard input: empty, "y", "yes" or "ok" (any case) answer OK/Yes; anything else, or the end
// of input, answers Cancel/No. With answerYes set it answers OK/Yes without reading. Messages of
// several threads are shown one after the other.
SORVEL_PLATFORM_API MessagePresenter MakeConsolePresenter(bool answerYes);

} // namespace sorvel

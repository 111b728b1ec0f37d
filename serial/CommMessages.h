// What the serial channel's backends say: the texts of the channel's error messages, their
// caption (the program file's name plus ".exe"), and the reason of the last failed open. Internal
// to the channel.
#pragma once

#include "MessageBox.h"

#include <string>

namespace comm {

inline constexpr const char* kMsgExitEvent = "Error - Cannot create thread exit event.";
inline constexpr const char* kMsgGetTimeouts = "Error - Cannot get port timeouts.";
inline constexpr const char* kMsgSetState = "Error - Cannot set port state.";
inline constexpr const char* kMsgSetTimeouts = "Error - Cannot set port timeouts.";
inline constexpr const char* kMsgPortReady = "Error - Cannot set the port ready.";
inline constexpr const char* kMsgReadThread = "Error - Cannot initiate port Read thread.";
inline constexpr const char* kMsgReaderEvent = "Error - Cannot create Reader Event.";
inline constexpr const char* kMsgStatusEvent = "Error - Cannot create Status Event.";
inline constexpr const char* kMsgCommMask = "Error - Cannot set port Communication mask.";
inline constexpr const char* kMsgCommWait = "Error - Wait for Communication event failed.";
inline constexpr const char* kMsgReaderWait = "Error - Wait for Reader & Status objects failed.";
inline constexpr const char* kMsgClearErrors = "Error - Cannot clear communication port errors.";
inline constexpr const char* kMsgWriteEvent = "Error -  Cannot create Write event.";
inline constexpr const char* kMsgWriteResult = "Error - Cannot get overlapped writter result.";
inline constexpr const char* kMsgWriteShort = "Error - Cannot write data in to port.";
inline constexpr const char* kMsgWriteWait = "Error - Wait for write object failed.";
inline constexpr const char* kMsgWriteStart =
    "Error - Cannot write in to port. Verify set port properties and rights.";

// Takes the caption of later messages from the program's file name (each CommOpen does).
void TakeProgramCaption();
// Shows a channel message through the process's message box, on the calling thread.
void CommMessage(const char* text, unsigned style = MB_ICONERROR);
// The reason CommLastOpenError gives on the calling thread, and the kind CommLastOpenFailure
// gives (a CommOpenFailure); "" and COMM_OPEN_OK clear them.
void SetLastOpenError(std::string reason, int failure);

} // namespace comm

// Upload files as the engine sends them: opened when an upload starts (UploadURTFile, on the
// client's thread) and read one record each time the box asks for one (the receive filter, on the
// reader thread). The format itself, and the buffer sizes it sets, are in UploadFormat.h.
// Both functions work on the library-wide upload state (EngineState.h); the caller holds
// g_uploadMutex, and for ReadUploadRecord also g_recordMutex when it reads into g_RecordBuffer.
#pragma once

#include "EngineState.h"

#include <cstdint>
#include <string>

// Opens g_szUploadFileName for reading, checks its header and sets g_hUploadFile,
// g_nUploadFileOffset (6), g_nRecordsTotal and g_nRecordsLeft. Returns 1 when the file is open and
// its header valid; 0 otherwise, with no file open and the reason in *reason when given:
// the system's text for a file that does not open, or "not an upload file", "record count too
// large", "not a regular file", "locked by another program".
//
// The file is shared for reading and locked against writers for as long as it is open: it holds
// a shared flock(), so a program that takes an exclusive lock to write it fails (and one that
// holds it is refused here). Programs that write without locking are not stopped; POSIX has no
// mandatory share mode.
int OpenUploadFile(std::string* reason = nullptr) REQUIRES(g_uploadMutex);

// Reads the next record of the open upload file into buffer (kRecordBufferBytes bytes) and
// returns its length, or 0 when the file cannot give one; then *fault (when given) says why:
// - at the end of the file: kFaultFileEnded (nothing consumed);
// - when no file is open or reading fails: kFaultUnreadable (nothing consumed);
// - for a header whose type byte is not 0x02, or one cut short by the end of the file:
//   kFaultBadRecord (its 4 bytes, or what the file still held, are consumed);
// - for a record longer than the buffer (L above 5091): kFaultRecordTooLong (nothing consumed);
// - for a record cut short by the end of the file: kFaultRecordCut (nothing consumed). A part
//   of a record is never given out as if it were the whole;
// - when the file was written to since it was opened: kFaultChanged. What the box got so far
//   may be of two versions of the file, so the upload must not go on.
std::int32_t ReadUploadRecord(char* buffer, const char** fault = nullptr) REQUIRES(g_uploadMutex);

// Why ReadUploadRecord gave no record, as the client is told.
constexpr const char* kFaultFileEnded = "the upload file ends before its last record";
constexpr const char* kFaultUnreadable = "the upload file cannot be read";
constexpr const char* kFaultBadRecord = "the upload file holds a damaged record header";
constexpr const char* kFaultRecordTooLong = "a record of the upload file is too long";
constexpr const char* kFaultRecordCut = "the upload file ends inside a record";
constexpr const char* kFaultChanged = "the upload file changed while it was being sent";

// Closes the open upload file, if any.
void CloseUploadFile() REQUIRES(g_uploadMutex);

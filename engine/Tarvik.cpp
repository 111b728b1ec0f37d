// The exported class: the client's settings, and the operations over the library-wide state.
//
// The operations are serialised by g_engineMutex, which is never held while a client
// notification runs; opening the port (which may show channel messages) runs outside it.
#include "Tarvik.h"

#include "EngineState.h"
#include "Trace.h"
#include "UploadFile.h"
#include "UploadProtocol.h"

#include <cstring>
#include <string>

namespace {

constexpr char kDefaultPortName[] = "COM1";
constexpr DWORD kBaudRate = 115200;

// True while a Connect is opening the port outside g_engineMutex.
bool g_bConnecting GUARDED_BY(g_engineMutex) = false;

unsigned int Fail(unsigned int result, std::string reason) {
    if (result != 0)
        tarvik::Trace("refused with result %u: %s", result, reason.c_str());
    tarvik::SetLastErrorText(std::move(reason));
    return result;
}

// Ends the current upload: the handshake thread, the file and the flags.
void EndUpload() REQUIRES(g_engineMutex) {
    tarvik::StopHandshakeThread();
    sorvel::MutexLock lock(g_uploadMutex);
    CloseUploadFile();
    g_uploadWatch.settling = false;
    ++g_nUploadNumber; // a filter still at work on this upload leaves the counters alone
    g_bUploadMode.store(false);
    g_bTargetReady.store(false);
    g_bUploadRunning.store(false);
}

} // namespace

CTarvik::CTarvik(void (*pfnNotify)(_tagUploadNotificationMsgstruct*)) {
    std::memset(m_szPortName, 0, sizeof m_szPortName);
    std::memcpy(m_szPortName, kDefaultPortName, sizeof kDefaultPortName);
    // Fields not set below (fBinary, fErrorChar, fNull, fAbortOnError, the reserved ones and
    // the special characters) stay 0.
    std::memset(&m_dcb, 0, sizeof m_dcb);
    m_dcb.DCBlength = sizeof(DCB);
    m_dcb.BaudRate = kBaudRate;
    m_dcb.fParity = 1;
    m_dcb.fOutxCtsFlow = 0;
    m_dcb.fOutxDsrFlow = 0;
    m_dcb.fDtrControl = DTR_CONTROL_ENABLE;
    m_dcb.fDsrSensitivity = 0;
    m_dcb.fTXContinueOnXoff = 0;
    m_dcb.fOutX = 0;
    m_dcb.fInX = 0;
    m_dcb.fRtsControl = RTS_CONTROL_DISABLE;
    m_dcb.XonLim = 0;
    m_dcb.XoffLim = 0;
    m_dcb.ByteSize = 8;
    m_dcb.Parity = NOPARITY;
    m_dcb.StopBits = ONESTOPBIT;
    m_dcb.XonChar = 0x11;
    m_dcb.XoffChar = 0x13;
    m_pfnNotify = pfnNotify;
}

CTarvik& CTarvik::operator=(const CTarvik& other) {
    if (this != &other) {
        std::memcpy(m_szPortName, other.m_szPortName, sizeof m_szPortName);
        m_dcb = other.m_dcb;
        m_pfnNotify = other.m_pfnNotify;
    }
    return *this;
}

unsigned int CTarvik::Connect() {
    tarvik::StartTraceFromEnvironment();
    tarvik::SetLastPortFailure(PORT_FAILURE_NONE);
    std::string portName;
    {
        sorvel::MutexLock lock(g_engineMutex);
        if (g_hPort.load() != nullptr || g_bConnecting) {
            return Fail(CONNECT_ALREADY_CONNECTED, "already connected");
        }
        g_dcbComm = m_dcb;
        g_bUploadRunning.store(false);
        if (m_pfnNotify == nullptr) {
            return Fail(CONNECT_NO_NOTIFY_FUNCTION, "no notification function");
        }
        g_pfnNotify.store(m_pfnNotify);
        // A name that fills the whole member has no NUL: refused rather than cut or overread.
        const std::size_t length = strnlen(m_szPortName, sizeof m_szPortName);
        if (length == sizeof m_szPortName) {
            tarvik::SetLastPortFailure(PORT_FAILURE_MISSING);
            return Fail(CONNECT_PORT_FAILED, "port name too long");
        }
        portName.assign(m_szPortName, length);
        g_bConnecting = true;
    }

    HCOMM port = CommOpen(portName.c_str());
    if (port == nullptr) {
        std::string reason = CommLastOpenError();
        // The channel's kinds are numbered as the engine's.
        tarvik::SetLastPortFailure(CommLastOpenFailure());
        tarvik::Trace("port did not open: %s", reason.c_str());
        sorvel::MutexLock lock(g_engineMutex);
        g_bConnecting = false;
        return Fail(CONNECT_PORT_FAILED,
                    reason.empty() ? portName + ": cannot open the port" : reason);
    }
    if (tarvik::TraceOn()) {
        const char parity = "NOEMS"[m_dcb.Parity <= 4 ? m_dcb.Parity : 0];
        const char* stop = m_dcb.StopBits == TWOSTOPBITS    ? "2"
                           : m_dcb.StopBits == ONE5STOPBITS ? "1.5"
                                                            : "1";
        tarvik::Trace("port opened: %s (%s), %lu baud %u%c%s", portName.c_str(),
                      CommDevicePath(portName).c_str(), static_cast<unsigned long>(m_dcb.BaudRate),
                      static_cast<unsigned>(m_dcb.ByteSize), parity, stop);
    }
    // The filter finds its connection from the first received byte on.
    tarvik::SetCurrentConnection(std::make_shared<tarvik::EngineConnection>(port, m_dcb));
    HCOMMREADER reader = tarvik::ThreadStartFailsForTest()
                             ? nullptr
                             : CommStartReader(port, UploadReceiveFilter, UploadReaderIdle);

    sorvel::MutexLock lock(g_engineMutex);
    g_bConnecting = false;
    g_hPort.store(port);
    g_hReaderThread.store(reader);
    if (reader == nullptr) {
        // The port stays open until Disconnect; nothing reads it.
        return Fail(CONNECT_READER_FAILED, "cannot start the port's reader thread");
    }
    return Fail(CONNECT_OK, "");
}

unsigned int CTarvik::UploadURTFile(char* const pszFileName) {
    sorvel::MutexLock lock(g_engineMutex);
    if (g_hPort.load() == nullptr) {
        return Fail(UPLOAD_NOT_CONNECTED, "not connected");
    }
    if (g_bUploadRunning.load()) {
        return Fail(UPLOAD_ALREADY_RUNNING, "an upload is running");
    }
    if (pszFileName == nullptr) {
        EndUpload();
        return Fail(UPLOAD_BAD_FILE, "no upload file given");
    }
    // A path that does not fit with its NUL is refused rather than cut (a cut path could name
    // another file).
    const std::size_t length = strnlen(pszFileName, kUploadPathBytes);
    if (length == kUploadPathBytes) {
        EndUpload();
        return Fail(UPLOAD_BAD_FILE, "path too long");
    }

    // A port that went away is no connection to upload over; the client hears why.
    const std::shared_ptr<tarvik::EngineConnection> connection = tarvik::CurrentConnection();
    if (connection != nullptr && connection->Gone()) {
        return Fail(UPLOAD_NOT_CONNECTED, "the port was disconnected");
    }
    // A handshake thread left over from the last upload has nothing more to say.
    tarvik::StopHandshakeThread();

    std::uint64_t uploadNumber = 0;
    std::int32_t records = 0;
    {
        sorvel::MutexLock uploadLock(g_uploadMutex);
        std::memcpy(g_szUploadFileName, pszFileName, length + 1);
        // A file left open by an upload that Disconnect interrupted is closed first.
        CloseUploadFile();
        uploadNumber = ++g_nUploadNumber;
        // A NAK before this upload's first record must not resend the last upload's record.
        g_nLastRecordLength = 0;
        g_uploadWatch = {};
        std::string reason;
        if (OpenUploadFile(&reason) == 0) {
            g_bUploadMode.store(false);
            g_bTargetReady.store(false);
            g_bUploadRunning.store(false);
            return Fail(UPLOAD_BAD_FILE, reason);
        }
        records = g_nRecordsTotal;
        g_bTargetReady.store(false);
        // Set before the thread starts: a fast box may complete the upload before this call
        // returns, and completion clears it.
        g_bUploadRunning.store(true);
        g_bUploadMode.store(true);
    }

    tarvik::Trace("upload started: %s, %d records", pszFileName, static_cast<int>(records));
    if (!tarvik::StartHandshakeThread(connection, pszFileName, uploadNumber)) {
        EndUpload();
        return Fail(UPLOAD_THREAD_FAILED, "cannot start the handshake thread");
    }
    return Fail(UPLOAD_STARTED, "");
}

void CTarvik::CancelUploadProcess() {
    sorvel::MutexLock lock(g_engineMutex);
    if (g_bUploadRunning.load())
        tarvik::Trace("upload cancelled by the client");
    EndUpload();
}

void CTarvik::Disconnect() {
    sorvel::MutexLock lock(g_engineMutex);
    tarvik::StopHandshakeThread();
    if (g_hPort.load() == nullptr) {
        return; // nothing open, or a Connect is still opening the port
    }
    // The reader stops first: from another thread CommStopReader waits for it unless it is inside
    // the filter, and from the reader thread itself it does not wait at all.
    if (HCOMMREADER reader = g_hReaderThread.exchange(nullptr)) {
        CommStopReader(reader);
    }
    if (std::shared_ptr<tarvik::EngineConnection> connection = tarvik::CurrentConnection()) {
        connection->Close();
    }
    tarvik::SetCurrentConnection(nullptr);
    g_hPort.store(nullptr);
    tarvik::Trace("port closed");
}

const char* CTarvik::GetLastErrorText() {
    return tarvik::LastErrorText();
}

int CTarvik::GetLastRecordResends() {
    return tarvik::LastRecordResends();
}

int CTarvik::GetLastPortFailure() {
    return tarvik::LastPortFailure();
}

void CTarvik::TraceNote(const char* pszText) {
    if (pszText != nullptr && tarvik::TraceOn())
        tarvik::Trace("%s", pszText);
}

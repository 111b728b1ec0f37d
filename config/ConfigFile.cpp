#include "ConfigFile.h"

#include "Crc32.h"
#include "FileAccess.h"
#include "MessageBox.h"
#include "Program.h"

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <system_error>
#include <vector>

namespace {

constexpr DWORD kTrailerBytes = 4;
constexpr DWORD kRecordHeaderBytes = 3; // tag, length high byte, length low byte
constexpr std::size_t kChecksumBytes = 4;

bool IsKnownTag(BYTE tag) {
    return (tag >= TAG_SOFTWARE_VERSION && tag <= TAG_CARTRIDGE_FILE2_CRC) || tag == TAG_HEADER;
}

DWORD ReadLittleEndian32(const BYTE* p) {
    return static_cast<DWORD>(p[0]) | static_cast<DWORD>(p[1]) << 8 |
           static_cast<DWORD>(p[2]) << 16 | static_cast<DWORD>(p[3]) << 24;
}

// A loader message: its text exactly as the first line, and below it, when known, which file
// is at fault and why.
void Show(const char* text, const std::string& detail = {}) {
    sorvel::AfxMessageBox(detail.empty() ? std::string(text) : text + std::string("\n") + detail,
                          MB_OK);
}

// The configuration file as the program names it, followed by what is wrong with it.
std::string ConfigurationDetail(const std::string& reason) {
    return std::string(kConfigurationPath) + ": " + reason;
}

// The folder as an absolute path, as the system writes it.
std::string AbsoluteFolder(const std::string& folder) {
    std::error_code error;
    std::filesystem::path absolute = std::filesystem::absolute(sorvel::NativePath(folder), error);
    if (error)
        return folder;
    absolute = absolute.lexically_normal();
    // "C:\Upgrade\." and "/home/tech/." say the same with a dot more.
    if (!absolute.has_filename() && absolute.has_parent_path() &&
        absolute.parent_path() != absolute.root_path())
        absolute = absolute.parent_path();
    return absolute.make_preferred().string();
}

char* CopyText(const char* source, WORD length) {
    if (!source)
        return nullptr;
    char* copy = new char[static_cast<std::size_t>(length) + 1]();
    std::memcpy(copy, source, length);
    return copy;
}

// Clears the image pointer when a load leaves, whichever way it leaves.
class ImageScope {
public:
    ImageScope(const BYTE** ppData, DWORD* pLength, const BYTE* pImage, DWORD nLength)
        : m_ppData(ppData), m_pLength(pLength) {
        *m_ppData = pImage;
        *m_pLength = nLength;
    }
    ~ImageScope() {
        *m_ppData = nullptr;
        *m_pLength = 0;
    }
    ImageScope(const ImageScope&) = delete;
    ImageScope& operator=(const ImageScope&) = delete;

private:
    const BYTE** m_ppData;
    DWORD* m_pLength;
};

void ResetRecord(CONFIG_INFO* pInfo) {
    ReleaseConfigStrings(pInfo);
    *pInfo = CONFIG_INFO{};
}

// Where a record keeps each upload file: its path, its expected checksum, and the message the
// loader shows when the file does not match.
struct UploadFileSlot {
    BYTE fileTag;
    char* CONFIG_INFO::*path;
    DWORD CONFIG_INFO::*crc;
    bool CONFIG_INFO::*crcUsable;
    const char* mismatchMessage;
};

constexpr UploadFileSlot kUploadFileSlots[] = {
    {TAG_STI_FILE, &CONFIG_INFO::pszStiFile, &CONFIG_INFO::dwStiFileCrc,
     &CONFIG_INFO::bStiFileCrcUsable, kMsgUnknownStiFile},
    {TAG_CARTRIDGE_FILE1, &CONFIG_INFO::pszCartridgeFile1, &CONFIG_INFO::dwCartridgeFile1Crc,
     &CONFIG_INFO::bCartridgeFile1CrcUsable, kMsgUnknownCartridgeFile1},
    {TAG_CARTRIDGE_FILE2, &CONFIG_INFO::pszCartridgeFile2, &CONFIG_INFO::dwCartridgeFile2Crc,
     &CONFIG_INFO::bCartridgeFile2CrcUsable, kMsgUnknownCartridgeFile2},
};

const UploadFileSlot* FindUploadFileSlot(BYTE fileTag) {
    for (const UploadFileSlot& slot : kUploadFileSlots)
        if (slot.fileTag == fileTag)
            return &slot;
    return nullptr;
}

// The outcome of checking one upload file: no message when it verifies.
struct UploadCheck {
    const char* message = nullptr;
    std::string detail;
};

// The one check of an upload file, for the loader and for RecheckUploadFile alike.
UploadCheck CheckUploadFile(const CONFIG_INFO& info, BYTE fileTag, const std::string& baseDir) {
    const UploadFileSlot* slot = FindUploadFileSlot(fileTag);
    if (!slot)
        return {kMsgUploadFileNotFound, "tag " + std::to_string(fileTag) + " names no upload file"};
    const std::string configured = info.*slot->path ? info.*slot->path : "";
    // An empty path resolves to the base folder itself, which never opens as a file.
    if (configured.empty())
        return {kMsgUploadFileNotFound, "no file is named by the configuration"};
    DWORD crc = 0;
    sorvel::FileOutcome outcome =
        sorvel::FileCrc32(sorvel::ResolveStoredPath(baseDir, configured), &crc);
    if (outcome.status == sorvel::FileStatus::NotOpened)
        return {kMsgUploadFileNotFound, configured + ": " + outcome.reason};
    // A file that could not be read whole has no known checksum: it does not verify.
    if (outcome.status != sorvel::FileStatus::Ok)
        return {slot->mismatchMessage, configured + ": cannot be read (" + outcome.reason + ")"};
    if (!(info.*slot->crcUsable))
        return {slot->mismatchMessage,
                configured + ": the configuration holds no usable CRC-32 for it"};
    if (crc != info.*slot->crc)
        return {slot->mismatchMessage, configured + ": does not match the configuration's CRC-32"};
    return {};
}

} // namespace

void ReleaseConfigStrings(CONFIG_INFO* pInfo) {
    if (!pInfo)
        return;
    for (char** pp : {&pInfo->pszSoftwareVersion, &pInfo->pszStiFile, &pInfo->pszHardwareVersion,
                      &pInfo->pszBrevonVersion, &pInfo->pszPellumVersion, &pInfo->pszCartridgeFile1,
                      &pInfo->pszCartridgeFile2}) {
        delete[] * pp;
        *pp = nullptr;
    }
    pInfo->nSoftwareVersionLen = pInfo->nStiFileLen = pInfo->nHardwareVersionLen = 0;
    pInfo->nBrevonVersionLen = pInfo->nPellumVersionLen = 0;
    pInfo->nCartridgeFile1Len = pInfo->nCartridgeFile2Len = 0;
}

void CopyConfigInfo(const CONFIG_INFO& source, CONFIG_INFO* pCopy) {
    *pCopy = source;
    pCopy->pszSoftwareVersion = CopyText(source.pszSoftwareVersion, source.nSoftwareVersionLen);
    pCopy->pszStiFile = CopyText(source.pszStiFile, source.nStiFileLen);
    pCopy->pszHardwareVersion = CopyText(source.pszHardwareVersion, source.nHardwareVersionLen);
    pCopy->pszBrevonVersion = CopyText(source.pszBrevonVersion, source.nBrevonVersionLen);
    pCopy->pszPellumVersion = CopyText(source.pszPellumVersion, source.nPellumVersionLen);
    pCopy->pszCartridgeFile1 = CopyText(source.pszCartridgeFile1, source.nCartridgeFile1Len);
    pCopy->pszCartridgeFile2 = CopyText(source.pszCartridgeFile2, source.nCartridgeFile2Len);
}

CConfigFile::CConfigFile(std::string baseDir) : m_baseDir(std::move(baseDir)) {}

BYTE CConfigFile::Load(CONFIG_INFO* pInfo) {
    if (!pInfo)
        return CONFIG_NONE;
    ResetRecord(pInfo);
    std::vector<BYTE> image;
    sorvel::FileOutcome outcome = sorvel::ReadWholeFile(
        sorvel::ResolveStoredPath(m_baseDir, kConfigurationPath), kMaxConfigurationBytes, &image);
    if (outcome.status == sorvel::FileStatus::NotOpened) {
        // Where it was looked for: a program started from a menu or by a double click may have
        // been started in another folder than the user thinks.
        Show(kMsgConfigurationNotFound,
             ConfigurationDetail(outcome.reason) + "\nlooked in " + AbsoluteFolder(m_baseDir));
        return CONFIG_NONE;
    }
    if (outcome.status != sorvel::FileStatus::Ok) {
        // Opened but not read whole, or far too large: its checksum cannot be confirmed.
        Show(kMsgUnknownConfigurationFile, ConfigurationDetail(outcome.reason));
        return CONFIG_NONE;
    }
    return LoadFromImage(image.data(), image.size(), pInfo);
}

BYTE CConfigFile::LoadFromImage(const BYTE* pImage, std::size_t nSize, CONFIG_INFO* pInfo) {
    if (!pInfo)
        return CONFIG_NONE;
    ResetRecord(pInfo);
    // A file without room for its trailer cannot carry a checksum that matches.
    if (!pImage || nSize < kTrailerBytes || nSize > kMaxConfigurationBytes) {
        Show(kMsgUnknownConfigurationFile,
             ConfigurationDetail(nSize > kMaxConfigurationBytes
                                     ? "too large for a configuration"
                                     : "too short to hold its checksum"));
        return CONFIG_NONE;
    }
    ImageScope scope(&m_pData, &m_dwLength, pImage, static_cast<DWORD>(nSize));
    return LoadImage(pInfo);
}

BYTE CConfigFile::LoadImage(CONFIG_INFO* pInfo) {
    const DWORD bodyLength = m_dwLength - kTrailerBytes;
    DWORD crc = 0;
    UpdateCrc32(m_pData, bodyLength, &crc);
    if (crc != ReadLittleEndian32(m_pData + bodyLength)) {
        Show(kMsgUnknownConfigurationFile,
             ConfigurationDetail("its checksum does not match its contents"));
        return CONFIG_NONE;
    }

    // The header's length is not used; its lookup still shows a message when the body starts
    // with an unrecognised tag, as every lookup does.
    WORD headerLength = 0;
    GetTagLength(TAG_HEADER, &headerLength);

    LoadText(TAG_SOFTWARE_VERSION, &pInfo->pszSoftwareVersion, &pInfo->nSoftwareVersionLen);
    LoadText(TAG_STI_FILE, &pInfo->pszStiFile, &pInfo->nStiFileLen);
    LoadText(TAG_HARDWARE_VERSION, &pInfo->pszHardwareVersion, &pInfo->nHardwareVersionLen);
    LoadText(TAG_BREVON_VERSION, &pInfo->pszBrevonVersion, &pInfo->nBrevonVersionLen);

    GetTagLength(TAG_CARTRIDGE_FILE1, &pInfo->nCartridgeFile1Len);
    const BYTE result = pInfo->nCartridgeFile1Len == 0 ? CONFIG_STI_ONLY : CONFIG_FULL;
    if (result == CONFIG_FULL) {
        pInfo->pszCartridgeFile1 = new char[pInfo->nCartridgeFile1Len + 1u]();
        GetTagValue(TAG_CARTRIDGE_FILE1, pInfo->pszCartridgeFile1, pInfo->nCartridgeFile1Len);
        LoadText(TAG_CARTRIDGE_FILE2, &pInfo->pszCartridgeFile2, &pInfo->nCartridgeFile2Len);
        LoadText(TAG_PELLUM_VERSION, &pInfo->pszPellumVersion, &pInfo->nPellumVersionLen);
    }

    // The cartridge type is kept as text in its 6 bytes: a longer value is cut to 5 characters.
    TagRecord type{};
    if (FindTag(TAG_CARTRIDGE_TYPE, kMsgUnknownTagValue, &type)) {
        std::memset(pInfo->szCartridgeType, 0, sizeof pInfo->szCartridgeType);
        std::memcpy(pInfo->szCartridgeType, type.pValue,
                    std::min<std::size_t>(type.nLength, sizeof pInfo->szCartridgeType - 1));
    }

    ExpectedCrc expected;
    LoadExpectedCrc(TAG_STI_FILE_CRC, &expected);
    if (!VerifyUploadFile(TAG_STI_FILE, expected, pInfo))
        return CONFIG_NONE;
    if (result == CONFIG_STI_ONLY)
        return CONFIG_STI_ONLY;

    // Without a checksum record of its own, a cartridge file is expected to have the previous
    // file's checksum.
    LoadExpectedCrc(TAG_CARTRIDGE_FILE1_CRC, &expected);
    if (!VerifyUploadFile(TAG_CARTRIDGE_FILE1, expected, pInfo))
        return CONFIG_NONE;
    LoadExpectedCrc(TAG_CARTRIDGE_FILE2_CRC, &expected);
    if (!VerifyUploadFile(TAG_CARTRIDGE_FILE2, expected, pInfo))
        return CONFIG_NONE;
    return CONFIG_FULL;
}

bool CConfigFile::FindTag(BYTE tag, const char* unknownMessage, TagRecord* pRecord) const {
    if (!m_pData || m_dwLength < kTrailerBytes)
        return false;
    // The trailer is never read as a record. Offsets are 64-bit so that a length near the end
    // of a large image cannot wrap.
    const std::uint64_t bodyLength = m_dwLength - kTrailerBytes;
    std::uint64_t offset = 0;
    while (offset < bodyLength) {
        const BYTE t = m_pData[offset];
        if (!IsKnownTag(t)) {
            char where[64];
            std::snprintf(where, sizeof where, "unrecognised tag 0x%02X at byte %llu",
                          static_cast<unsigned>(t), static_cast<unsigned long long>(offset));
            Show(unknownMessage, ConfigurationDetail(where));
            return false;
        }
        // The two length bytes always lie inside the image (at worst in the trailer), but a
        // record is only whole when its header and value end inside the body.
        const WORD length = static_cast<WORD>(m_pData[offset + 1] << 8 | m_pData[offset + 2]);
        const std::uint64_t end = offset + kRecordHeaderBytes + length;
        if (t == tag) {
            if (end > bodyLength) {
                char where[64];
                std::snprintf(where, sizeof where, "the record of tag %u runs past the end",
                              static_cast<unsigned>(t));
                Show(unknownMessage, ConfigurationDetail(where));
                return false;
            }
            *pRecord = TagRecord{m_pData + offset + kRecordHeaderBytes, length};
            return true;
        }
        offset = end;
    }
    return false;
}

void CConfigFile::GetTagLength(BYTE tag, WORD* pLen) {
    *pLen = 0;
    TagRecord record{};
    if (FindTag(tag, kMsgUnknownTagLength, &record))
        *pLen = record.nLength;
}

WORD CConfigFile::GetTagValue(BYTE tag, void* pDest, std::size_t nDestSize) {
    TagRecord record{};
    if (!FindTag(tag, kMsgUnknownTagValue, &record))
        return 0;
    const WORD n = static_cast<WORD>(std::min<std::size_t>(record.nLength, nDestSize));
    if (n > 0)
        std::memcpy(pDest, record.pValue, n);
    return n;
}

void CConfigFile::UpdateCrc32(const BYTE* pData, DWORD nCount, DWORD* pCrc) {
    *pCrc = sorvel::Crc32Update(*pCrc, pData, nCount);
}

void CConfigFile::LoadText(BYTE tag, char** ppText, WORD* pLen) {
    GetTagLength(tag, pLen);
    // One byte more than stored, zeroed: the text is terminated even when the value lacks its
    // NUL, and an absent value reads as "".
    *ppText = new char[static_cast<std::size_t>(*pLen) + 1]();
    GetTagValue(tag, *ppText, *pLen);
}

void CConfigFile::LoadExpectedCrc(BYTE tag, ExpectedCrc* pExpected) {
    if (tag == TAG_STI_FILE_CRC)
        *pExpected = ExpectedCrc{};
    TagRecord record{};
    if (!FindTag(tag, kMsgUnknownTagValue, &record))
        return;
    // A checksum that is not 4 bytes long cannot be a CRC-32: the file it belongs to is refused
    // rather than compared with part of a value.
    if (record.nLength != kChecksumBytes) {
        pExpected->bUsable = false;
        return;
    }
    *pExpected = ExpectedCrc{ReadLittleEndian32(record.pValue), true};
}

bool CConfigFile::VerifyUploadFile(BYTE fileTag, const ExpectedCrc& expected,
                                   CONFIG_INFO* pInfo) const {
    const UploadFileSlot* slot = FindUploadFileSlot(fileTag);
    pInfo->*slot->crc = expected.dwValue;
    pInfo->*slot->crcUsable = expected.bUsable;
    const UploadCheck check = CheckUploadFile(*pInfo, fileTag, m_baseDir);
    if (check.message)
        Show(check.message, check.detail);
    return check.message == nullptr;
}

const char* UploadFileMismatchMessage(BYTE fileTag) {
    const UploadFileSlot* slot = FindUploadFileSlot(fileTag);
    return slot ? slot->mismatchMessage : kMsgUploadFileNotFound;
}

bool RecheckUploadFile(const CONFIG_INFO& info, BYTE fileTag, const std::string& baseDir,
                       std::string* pMessage, std::string* pDetail) {
    UploadCheck check = CheckUploadFile(info, fileTag, baseDir);
    if (pMessage)
        *pMessage = check.message ? check.message : "";
    if (pDetail)
        *pDetail = std::move(check.detail);
    return check.message == nullptr;
}

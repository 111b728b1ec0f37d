// The upgrade's configuration file and its loader.
//
// ".\Ressources\Configuration.zkf" names the upload files (the STI file and, in a full
// configuration, two cartridge files), carries the CRC-32 of each and the version texts shown
// by the version dialog. It is a body of records (tag byte, 16-bit big-endian length, value)
// followed by the CRC-32 of the body, least significant byte first.
//
// CConfigFile::Load verifies the file's own checksum, fills a CONFIG_INFO, verifies every
// upload file it names against its CRC-32, shows every failure through the program's message
// box (AfxMessageBox), and returns CONFIG_NONE, CONFIG_STI_ONLY or CONFIG_FULL.
//
// Threads: the loader runs on one thread at a time; a CConfigFile is not shared.
#pragma once

#include "SorvelWinTypes.h"

#include <cstddef>
#include <string>

constexpr BYTE TAG_HEADER = 0xAD;
constexpr BYTE TAG_SOFTWARE_VERSION = 1;
constexpr BYTE TAG_HARDWARE_VERSION = 2;
constexpr BYTE TAG_BREVON_VERSION = 3;
constexpr BYTE TAG_PELLUM_VERSION = 4;
constexpr BYTE TAG_CARTRIDGE_TYPE = 5;
constexpr BYTE TAG_STI_FILE = 6;
constexpr BYTE TAG_CARTRIDGE_FILE1 = 7;
constexpr BYTE TAG_CARTRIDGE_FILE2 = 8;
constexpr BYTE TAG_STI_FILE_CRC = 9;
constexpr BYTE TAG_CARTRIDGE_FILE1_CRC = 10;
constexpr BYTE TAG_CARTRIDGE_FILE2_CRC = 11;

constexpr BYTE CONFIG_NONE = 0;
constexpr BYTE CONFIG_STI_ONLY = 1;
constexpr BYTE CONFIG_FULL = 2;

// Where the program finds its configuration, relative to the working directory.
constexpr const char* kConfigurationPath = ".\\Ressources\\Configuration.zkf";

// What the loader found. A default record is empty and valid; Load puts the record into that
// state before it fills it (releasing any blocks it held), so whatever the result every text
// pointer is either null or a NUL-terminated block from new char[] that the record's owner
// releases with ReleaseConfigStrings (also after a failed load). Lengths are the stored value
// lengths N, which count the text's NUL; a block holds N + 1 bytes, so a value stored without its
// NUL still reads as text. After a load that got past the checksum, the software, hardware and
// Brevon versions and the STI path are never null (an absent text reads as ""), and in a
// CONFIG_FULL load neither are the Pellum version and both cartridge paths.
struct CONFIG_INFO {
    char* pszSoftwareVersion = nullptr;
    WORD nSoftwareVersionLen = 0;
    char* pszStiFile = nullptr;
    WORD nStiFileLen = 0;
    char* pszHardwareVersion = nullptr;
    WORD nHardwareVersionLen = 0;
    char* pszBrevonVersion = nullptr;
    WORD nBrevonVersionLen = 0;
    char* pszPellumVersion = nullptr;
    WORD nPellumVersionLen = 0;
    char* pszCartridgeFile1 = nullptr;
    WORD nCartridgeFile1Len = 0;
    char* pszCartridgeFile2 = nullptr;
    WORD nCartridgeFile2Len = 0;
    // Always NUL-terminated: a longer value keeps its first 5 characters.
    char szCartridgeType[6] = {};
    // The CRC-32 each upload file was checked against, kept so that RecheckUploadFile can check
    // the file again before it is sent. A load sets a file's pair when it reads that file's
    // checksum (the STI file's in every load that gets past the configuration's own checksum, the
    // cartridge files' only in a CONFIG_FULL load that reaches them): the value is the one the
    // loader compares with (0 for an STI file without a checksum record, the previous file's for a
    // cartridge file without one), and ...Usable is false when the stored checksum is not 4 bytes
    // long. A pair the load did not set keeps its default: 0 and not usable.
    DWORD dwStiFileCrc = 0;
    DWORD dwCartridgeFile1Crc = 0;
    DWORD dwCartridgeFile2Crc = 0;
    bool bStiFileCrcUsable = false;
    bool bCartridgeFile1CrcUsable = false;
    bool bCartridgeFile2CrcUsable = false;
};

// Releases every text block of the record and sets the pointers to null and the lengths to 0.
// szCartridgeType and the expected checksums are kept. Safe on a default record and on one
// released before.
void ReleaseConfigStrings(CONFIG_INFO* pInfo);

// Makes *pCopy a deep copy of source (new blocks, same lengths and texts, same cartridge type and
// expected checksums); *pCopy must hold no blocks of its own, or have been released. Release the
// copy with ReleaseConfigStrings.
void CopyConfigInfo(const CONFIG_INFO& source, CONFIG_INFO* pCopy);

// Messages the loader shows, with their exact texts.
constexpr const char* kMsgConfigurationNotFound = "Error 0x3c00 : Configuration File not found !";
constexpr const char* kMsgUnknownConfigurationFile = "Error 0x1c00 : Unknown configuration file";
constexpr const char* kMsgUnknownTagLength = "Error 0x2c01 : Unknown configuration Tag";
constexpr const char* kMsgUnknownTagValue = "Error 0x2c02 : Unknown configuration Tag";
constexpr const char* kMsgUploadFileNotFound = "Error 0x3c01 : File not found !";
constexpr const char* kMsgUnknownStiFile = "Error 0x1c01 : Unknown uart file";
constexpr const char* kMsgUnknownCartridgeFile1 = "Error 0x1c02 : Unknown uart file";
constexpr const char* kMsgUnknownCartridgeFile2 = "Error 0x1c03 : Unknown uart file";

// Checks one upload file of a loaded record again, with the loader's own check, and shows
// nothing: for a file that may have changed since the load (edited, cut or removed) before it is
// sent. fileTag is TAG_STI_FILE, TAG_CARTRIDGE_FILE1 or TAG_CARTRIDGE_FILE2; the file's path is
// taken from info and resolves against baseDir as the loader resolves it.
// Returns true when the file opens and its CRC-32 equals the expected checksum kept in info
// (pMessage and pDetail, when not null, are then cleared). Otherwise returns false with
// *pMessage = the message the loader shows for that file, and *pDetail = the configured path,
// ": " and the reason:
// - the file does not open: kMsgUploadFileNotFound, the system's reason ("No such file or
//   directory", "Permission denied", "Is a directory", "not a regular file"); a file that is not
//   named at all (empty path) has the detail "no file is named by the configuration" alone;
// - its CRC-32 differs, it cannot be read whole, or info holds no usable checksum for it (the
//   stored one was not 4 bytes long, or the load never reached the file):
//   kMsgUnknownStiFile, kMsgUnknownCartridgeFile1 or kMsgUnknownCartridgeFile2;
// - fileTag names no upload file: kMsgUploadFileNotFound, with a detail saying so.
// Any thread; info is only read.
[[nodiscard]] bool RecheckUploadFile(const CONFIG_INFO& info, BYTE fileTag,
                                     const std::string& baseDir, std::string* pMessage,
                                     std::string* pDetail);

// The loader's message for an upload file that does not match its CRC-32: kMsgUnknownStiFile,
// kMsgUnknownCartridgeFile1 or kMsgUnknownCartridgeFile2; kMsgUploadFileNotFound for a fileTag
// that names no upload file.
const char* UploadFileMismatchMessage(BYTE fileTag);

// A configuration file larger than this is not one (real ones hold a few hundred bytes); it is
// refused as unknown instead of being read into memory.
constexpr std::size_t kMaxConfigurationBytes = 16 * 1024 * 1024;

// Reads and verifies a configuration. Every failure is shown through sorvel::AfxMessageBox
// (captioned with the application title): the message's text exactly as the first line, then a
// second line that names the file at fault as the program names it (the configuration's
// ".\Ressources\Configuration.zkf", or an upload file's path as configured) and why, with the
// system's reason where there is one ("No such file or directory", "Permission denied"). The
// load goes on or stops as follows:
// - the file does not open (missing, unreadable, not a regular file): kMsgConfigurationNotFound;
// - it is shorter than its 4-byte trailer, larger than kMaxConfigurationBytes, cannot be read
//   whole, or its body does not match its trailer: kMsgUnknownConfigurationFile;
// - a tag lookup meets an unrecognised tag byte, or finds the wanted record running past the
//   end of the body: kMsgUnknownTagLength (length lookup) or kMsgUnknownTagValue (value lookup),
//   the tag reads as absent and the load goes on;
// - an upload file does not open: kMsgUploadFileNotFound; its CRC-32 differs from the expected
//   value, cannot be read whole, or its checksum record is not 4 bytes long: kMsgUnknownStiFile,
//   kMsgUnknownCartridgeFile1 or kMsgUnknownCartridgeFile2. The first failing file ends the load.
// Results: CONFIG_NONE (nothing may be uploaded), CONFIG_STI_ONLY, CONFIG_FULL.
class CConfigFile {
public:
    // baseDir: the working directory against which the configuration path and relative upload
    // paths resolve ("." = the process's working directory).
    explicit CConfigFile(std::string baseDir = ".");

    // Loads kConfigurationPath (below baseDir) into *pInfo and verifies the upload files.
    BYTE Load(CONFIG_INFO* pInfo);

    // The same as Load for a configuration image already in memory (tools, tests and the fuzz
    // target); upload paths still resolve against baseDir. The image is not kept.
    BYTE LoadFromImage(const BYTE* pImage, std::size_t nSize, CONFIG_INFO* pInfo);

    // Tag lookups over the image being loaded (outside a load there is none and every tag is
    // absent). Each scans from the start of the body and shows the unrecognised-tag message of
    // its kind when the scan meets one.
    // Sets *pLen to 0, then to the value length of the first record with the tag.
    void GetTagLength(BYTE tag, WORD* pLen);
    // Copies at most nDestSize bytes of the first record's value with the tag into pDest;
    // leaves pDest untouched when there is no such record. Returns the number of bytes copied.
    WORD GetTagValue(BYTE tag, void* pDest, std::size_t nDestSize);

    // Advances the running CRC-32 (reflected 0xEDB88320, initial value 0, no final inversion)
    // over nCount bytes; a count of 0 leaves it unchanged.
    static void UpdateCrc32(const BYTE* pData, DWORD nCount, DWORD* pCrc);

private:
    struct TagRecord {
        const BYTE* pValue;
        WORD nLength;
    };
    struct ExpectedCrc {
        DWORD dwValue = 0;
        bool bUsable = true; // false when the stored checksum is not 4 bytes long
    };

    // The first record with the tag, or nothing (after showing unknownMessage when the scan met
    // an unrecognised tag or a wanted record that does not fit in the body).
    [[nodiscard]] bool FindTag(BYTE tag, const char* unknownMessage, TagRecord* pRecord) const;
    // Length lookup, a block of N + 1 bytes, value lookup, terminating NUL.
    void LoadText(BYTE tag, char** ppText, WORD* pLen);
    void LoadExpectedCrc(BYTE tag, ExpectedCrc* pExpected);
    // Keeps expected in *pInfo as the checksum of the upload file with fileTag, then checks the
    // file as RecheckUploadFile does and shows the message of a failure.
    [[nodiscard]] bool VerifyUploadFile(BYTE fileTag, const ExpectedCrc& expected,
                                        CONFIG_INFO* pInfo) const;
    BYTE LoadImage(CONFIG_INFO* pInfo);

    std::string m_baseDir;
    // The image being loaded: set only while Load or LoadFromImage runs.
    const BYTE* m_pData = nullptr;
    DWORD m_dwLength = 0;
};

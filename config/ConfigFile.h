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

// What the loader found. Every text pointer is either null or a NUL-terminated block from
// new char[] owned by the record's owner (released with ReleaseConfigStrings). Lengths are the
// stored value lengths N (which count the text's NUL). A default record is empty and valid.
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
    char szCartridgeType[6] = {};
};

// Releases every text block of the record and sets the pointers to null and the lengths to 0.
void ReleaseConfigStrings(CONFIG_INFO* pInfo);

class CConfigFile {
public:
    // baseDir: the working directory against which the configuration path and relative upload
    // paths resolve ("." = the process's working directory).
    explicit CConfigFile(std::string baseDir = ".");

    // Loads and verifies the configuration into *pInfo; see the header comment.
    BYTE Load(CONFIG_INFO* pInfo);

    // Sets *pLen to 0, then to the value length of the first record with the tag.
    void GetTagLength(BYTE tag, WORD* pLen);
    // Copies at most nDestSize bytes of the first record's value with the tag into pDest;
    // leaves pDest untouched when there is no such record. Returns the number of bytes copied.
    WORD GetTagValue(BYTE tag, void* pDest, std::size_t nDestSize);

    // Advances the running CRC-32 (reflected 0xEDB88320, initial value 0, no final inversion)
    // over nCount bytes.
    static void UpdateCrc32(const BYTE* pData, DWORD nCount, DWORD* pCrc);

private:
    std::string m_baseDir;
    BYTE* m_pData = nullptr;
    DWORD m_dwLength = 0;
};

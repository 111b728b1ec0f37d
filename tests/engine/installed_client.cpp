// A client of Tarvik_Dll built from nothing but the installed Tarvik.h and the library (C++17).
//
//   installed_client --write FILE N     writes an upload file of N records
//   installed_client PORT FILE          uploads FILE over PORT; 0 once the upload completed
#include "Tarvik.h"

#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstring>
#include <mutex>
#include <string>

namespace {

std::mutex g_mutex;
std::condition_variable g_changed;
bool g_complete = false;
int g_lastPercent = -1;

void Notify(_tagUploadNotificationMsgstruct* message) {
    std::lock_guard<std::mutex> lock(g_mutex);
    if (message->nMsgType == UPLOAD_MSG_PROGRESS) {
        g_lastPercent = message->nPercent;
    } else if (message->nMsgType == UPLOAD_MSG_COMPLETE) {
        g_complete = true;
    }
    g_changed.notify_all();
}

CTarvik g_uploader(Notify);

int WriteSample(const char* path, int records) {
    std::FILE* file = std::fopen(path, "wb");
    if (file == nullptr) {
        return 1;
    }
    const unsigned char header[] = {'M',
                                    'Z',
                                    0,
                                    0,
                                    static_cast<unsigned char>(records >> 8),
                                    static_cast<unsigned char>(records)};
    std::fwrite(header, 1, sizeof header, file);
    for (int i = 0; i < records; ++i) {
        const int length = 100 + i * 37;
        std::fputc(0x02, file);
        std::fputc(0, file);
        std::fputc(length >> 8, file);
        std::fputc(length & 0xFF, file);
        for (int j = 0; j < length + 5; ++j) {
            std::fputc((i * 31 + j) & 0xFF, file);
        }
    }
    return std::fclose(file) == 0 ? 0 : 1;
}

} // namespace

int main(int argc, char** argv) {
    if (argc == 4 && std::strcmp(argv[1], "--write") == 0) {
        return WriteSample(argv[2], std::atoi(argv[3]));
    }
    if (argc != 3) {
        std::fprintf(stderr, "usage: installed_client PORT FILE | --write FILE N\n");
        return 2;
    }
    std::snprintf(g_uploader.m_szPortName, sizeof g_uploader.m_szPortName, "%s", argv[1]);
    unsigned int result = g_uploader.Connect();
    if (result != 0) {
        std::fprintf(stderr, "Connect: %u (%s)\n", result, CTarvik::GetLastErrorText());
        return 1;
    }
    std::string path = argv[2];
    result = g_uploader.UploadURTFile(&path[0]);
    if (result != 0) {
        std::fprintf(stderr, "UploadURTFile: %u (%s)\n", result, CTarvik::GetLastErrorText());
        g_uploader.Disconnect();
        return 1;
    }
    bool complete = false;
    {
        std::unique_lock<std::mutex> lock(g_mutex);
        complete = g_changed.wait_for(lock, std::chrono::seconds(60), [] { return g_complete; });
    }
    g_uploader.CancelUploadProcess();
    g_uploader.Disconnect();
    std::printf("%s (last progress %d%%)\n", complete ? "complete" : "not complete", g_lastPercent);
    return complete ? 0 : 1;
}

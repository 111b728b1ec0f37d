// Export macro of the shared platform library (sorvel_platform).
#pragma once

#if defined(_WIN32)
#if defined(SORVEL_PLATFORM_BUILDING)
#define SORVEL_PLATFORM_API __declspec(dllexport)
#else
#define SORVEL_PLATFORM_API __declspec(dllimport)
#endif
#else
#define SORVEL_PLATFORM_API __attribute__((visibility("default")))
#endif

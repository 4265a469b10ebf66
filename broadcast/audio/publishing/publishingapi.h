#pragma once
// The Windows Media publishing module (libwavelorn-publishing.so, FFmpeg and GnuTLS with it)
// and the program meet here: the module hands out its BASS_WMA_* functions in one table, so
// that the program maps FFmpeg only once an owner starts publishing.
#include "bass.h"

using HWMENCODE = DWORD;

struct PublishingApi {
    int version; // PublishingApiVersion of the module's build
    HWMENCODE(*encodeOpenPublish)
    (DWORD freq, DWORD chans, DWORD flags, DWORD bitrate, const char* url, const char* user,
     const char* pass);
    BOOL (*encodeSetTag)(HWMENCODE handle, const char* tag, const char* text, DWORD form);
    BOOL (*encodeWrite)(HWMENCODE handle, const void* buffer, DWORD length);
    DWORD (*encodeGetPort)(HWMENCODE handle);
    BOOL (*encodeClose)(HWMENCODE handle);
    const char* (*lastErrorText)();
    void (*setTrustFile)(const char* pemFile);
};

constexpr int PublishingApiVersion = 1;

// The module's one exported symbol.
extern "C" const PublishingApi* wavelorn_publishing_api();
using PublishingApiFn = const PublishingApi* (*)();
constexpr char PublishingApiSymbol[] = "wavelorn_publishing_api";

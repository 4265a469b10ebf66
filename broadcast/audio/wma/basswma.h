#pragma once
// Windows Media Audio publishing: PCM in, WMA in an ASF stream pushed to a publishing point.
#include "bass.h"

using HWMENCODE = DWORD;

constexpr DWORD BASS_WMA_ENCODE_SOURCE = 0x10000; // no extra meaning here beyond the callers'
constexpr DWORD BASS_WMA_TAG_ANSI = 0;

HWMENCODE BASS_WMA_EncodeOpenPublish(DWORD freq, DWORD chans, DWORD flags, DWORD bitrate,
                                     const char* url, const char* user, const char* pass);
BOOL BASS_WMA_EncodeSetTag(HWMENCODE handle, const char* tag, const char* text, DWORD form);
// Non-zero while the publishing point takes the data. buffer holds 16-bit interleaved PCM.
BOOL BASS_WMA_EncodeWrite(HWMENCODE handle, const void* buffer, DWORD length);
DWORD BASS_WMA_EncodeGetPort(HWMENCODE handle);
BOOL BASS_WMA_EncodeClose(HWMENCODE handle);

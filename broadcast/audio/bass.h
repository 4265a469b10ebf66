#pragma once
// The audio library: capture from the default recording device, levels, an external encoder
// process fed with the capture's PCM, and casting the encoder's output to a SHOUTcast or
// Icecast server. Handles are 32-bit; 0 means failure or none.
//
// Every function may be called from any thread. Callbacks run on threads of the library.
#include <cstdint>

using DWORD = std::uint32_t;
using BOOL = int;
using HRECORD = DWORD;
using HENCODE = DWORD;

constexpr BOOL BASS_TRUE = -1; // what the callers pass and test as TRUE (non-zero)
constexpr BOOL BASS_FALSE = 0;

constexpr DWORD BASSVERSION = 0x0204;

// Capture callback: once per captured block. Non-zero goes on, 0 ends the capture.
using RECORDPROC = BOOL(HRECORD handle, const void* buffer, DWORD length, void* user);

DWORD BASS_GetVersion();
BOOL BASS_Init(int device, DWORD freq, DWORD flags, void* win, void* clsid);
BOOL BASS_RecordInit(int device);
HRECORD BASS_RecordStart(DWORD freq, DWORD chans, DWORD flags, RECORDPROC* proc, void* user);
// Left level in the low 16 bits, right in the high 16 bits, each 0..32768; 0xFFFFFFFF (-1)
// when the handle is no running capture.
DWORD BASS_ChannelGetLevel(DWORD handle);
// BASS_ACTIVE_PLAYING while the capture records; BASS_ACTIVE_STALLED while it has lost the
// sound server or its device and is coming back by itself (its encoders get silence
// meanwhile); BASS_ACTIVE_STOPPED when the handle is no capture.
constexpr DWORD BASS_ACTIVE_STOPPED = 0;
constexpr DWORD BASS_ACTIVE_PLAYING = 1;
constexpr DWORD BASS_ACTIVE_STALLED = 2;
DWORD BASS_ChannelIsActive(DWORD handle);
BOOL BASS_ChannelStop(DWORD handle);
BOOL BASS_RecordFree();

// The reason of the last failure on the calling thread, for logs and tests.
const char* BASS_LastErrorText();

// Tests: make BASS_GetVersion report another version (0 restores the real one).
void BASS_SetReportedVersionForTesting(DWORD version);

// Tests: waits until the notifications and clean-ups already due have run on the layer's
// thread.
void BASS_Layer_WaitForNotifications();

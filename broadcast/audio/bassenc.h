#pragma once
// External encoders attached to a capture, and casting their output.
#include "bass.h"

constexpr DWORD BASS_ENCODE_NOHEAD = 1;
constexpr DWORD BASS_ENCODE_AUTOFREE = 0x40000;

constexpr DWORD BASS_ENCODE_NOTIFY_ENCODER = 1; // the encoder process died
constexpr DWORD BASS_ENCODE_NOTIFY_CAST = 2;    // the server connection died
constexpr DWORD BASS_ENCODE_NOTIFY_CAST_TIMEOUT = 0x10000;

constexpr DWORD BASS_ENCODE_STATS_SHOUT = 0;
constexpr DWORD BASS_ENCODE_STATS_ICE = 1;

using ENCODEPROC = void(HENCODE handle, DWORD channel, const void* buffer, DWORD length,
                        void* user);
using ENCODENOTIFYPROC = void(HENCODE handle, DWORD status, void* user);

// Starts cmdline (found on the search path) with the capture's raw PCM on its standard input;
// its standard output is the stream. With BASS_ENCODE_AUTOFREE it ends with the capture.
HENCODE BASS_Encode_Start(DWORD handle, const char* cmdline, DWORD flags, ENCODEPROC* proc,
                          void* user);
// Non-zero while an encoder of the capture (or the encoder itself) is active: from its start
// until it is freed or given up (its restarts included).
DWORD BASS_Encode_IsActive(DWORD handle);
// "host:port" is a SHOUTcast v1 server, "host:port/mount" an Icecast 2 mount. Returns once the
// server has accepted (TRUE) or refused (FALSE) the source, within a connect time-out.
BOOL BASS_Encode_CastInit(HENCODE handle, const char* server, const char* pass, const char* content,
                          const char* name, const char* url, const char* genre, const char* desc,
                          const char* headers, DWORD bitrate, BOOL pub);
// proc is called on a thread of the layer with BASS_ENCODE_NOTIFY_ENCODER when the encoder
// process died and was not started again (an encoder that dies is restarted with the same
// command line, its cast going on; one that dies again within a few seconds of its restart
// is given up), or BASS_ENCODE_NOTIFY_CAST when the server connection died. At most one
// notice per encoder process given up and per server connection; none after a stop.
BOOL BASS_Encode_SetNotify(HENCODE handle, ENCODENOTIFYPROC* proc, void* user);
// How many times the encoder's process has been started again.
DWORD BASS_Encode_GetRestarts(HENCODE handle);
// Hands the title to the cast's title sender and returns at once; the server gets the latest
// one. Control characters become blanks; the text is cut to what servers take (255 bytes).
BOOL BASS_Encode_CastSetTitle(HENCODE handle, const char* title, const char* url);
// The server's statistics XML, or nullptr when there is none. The text stays valid until the
// next call on the same thread. Blocks while it asks the server: keep it off the GUI thread.
const char* BASS_Encode_CastGetStats(HENCODE handle, DWORD type, const char* pass);

// Non-zero while the encoder's server connection is alive (after a successful CastInit and
// before a death notified with BASS_ENCODE_NOTIFY_CAST).
BOOL BASS_Encode_CastIsAlive(HENCODE handle);

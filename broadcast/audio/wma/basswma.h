#pragma once
// Windows Media Audio publishing: PCM in, WMA in an ASF stream pushed to a publishing point.
#include "bass.h"

using HWMENCODE = DWORD;

constexpr DWORD BASS_WMA_ENCODE_SOURCE = 0x10000; // no extra meaning here beyond the callers'
constexpr DWORD BASS_WMA_TAG_ANSI = 0;            // text in the local 8-bit encoding (UTF-8 here)
constexpr DWORD BASS_WMA_TAG_UTF8 = 2;

// Opens a publishing encoder: 16-bit interleaved PCM of freq Hz and chans channels in, WMA
// (wmav2, bitrate bit/s; 0 takes 128000) in an ASF stream out, sent to url ("http://" or
// "https://", host, port, path) as the body of one chunked POST. 0 when the publishing point
// cannot be reached or refuses the stream (BASS_WMA_LastErrorText says why).
HWMENCODE BASS_WMA_EncodeOpenPublish(DWORD freq, DWORD chans, DWORD flags, DWORD bitrate,
                                     const char* url, const char* user, const char* pass);
// Tags of the stream ("Title", "Author", "Copyright", "Description", and any other name),
// carried in the stream's header: they must be set before the first write. Afterwards the
// call fails (FFmpeg's asf muxer has no way to send tags mid-stream).
BOOL BASS_WMA_EncodeSetTag(HWMENCODE handle, const char* tag, const char* text, DWORD form);
// Non-zero while the publishing point takes the data. buffer holds 16-bit interleaved PCM.
// May be called from any thread, one at a time per encoder.
BOOL BASS_WMA_EncodeWrite(HWMENCODE handle, const void* buffer, DWORD length);
// The port of the publishing point the encoder sends to; 0 for no encoder.
DWORD BASS_WMA_EncodeGetPort(HWMENCODE handle);
// Ends the stream (the encoder's last frames, the end of the body and of the TLS stream),
// waits briefly for the server to close its side, and frees the encoder. Non-zero when
// everything went out.
BOOL BASS_WMA_EncodeClose(HWMENCODE handle);

// The reason of the last failure of a BASS_WMA_ function on the calling thread.
const char* BASS_WMA_LastErrorText();

// An extra PEM file of certificate authorities trusted for https:// publishing points, next
// to the system's own (nullptr or "" for none). Peer certificates are always verified.
void BASS_WMA_SetTrustFile(const char* pemFile);

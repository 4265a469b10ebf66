// The program's BASS_WMA_* functions: the first publish loads the publishing module (and with
// it FFmpeg and GnuTLS, some 12 MB of resident libraries that a station on the air without
// publishing never needs); every call then goes to the module's table.
#include "basswma.h"
#include "publishingapi.h"
#include "wllog.h"

#include <dlfcn.h>
#include <mutex>
#include <string>
#include <unistd.h>
#include <vector>

namespace {

std::mutex loadMutex;
const PublishingApi* loaded = nullptr; // under loadMutex once set, never unset
std::string loadError;                 // under loadMutex
thread_local std::string t_error;

std::string programFolder()
{
    std::vector<char> path(4096);
    const ssize_t n = ::readlink("/proc/self/exe", path.data(), path.size() - 1);
    if (n <= 0)
        return {};
    std::string p(path.data(), static_cast<std::size_t>(n));
    return p.substr(0, p.rfind('/'));
}

// The module beside the program (a build), then where the package puts it.
const PublishingApi* api(bool load)
{
    std::lock_guard lock(loadMutex);
    if (loaded || !load)
        return loaded;
    const std::string folder = programFolder();
    const std::string candidates[] = {folder + "/" WL_PUBLISHING_MODULE,
                                      folder + "/../" WL_PUBLISHING_SUBDIR "/" WL_PUBLISHING_MODULE,
                                      WL_PUBLISHING_DIR "/" WL_PUBLISHING_MODULE};
    std::string why;
    for (const std::string& file : candidates) {
        if (::access(file.c_str(), R_OK) != 0)
            continue;
        void* module = ::dlopen(file.c_str(), RTLD_NOW | RTLD_LOCAL);
        if (!module) {
            why = ::dlerror();
            continue;
        }
        const auto entry = reinterpret_cast<PublishingApiFn>(::dlsym(module, PublishingApiSymbol));
        const PublishingApi* table = entry ? entry() : nullptr;
        if (!table || table->version != PublishingApiVersion) {
            why = file + ": not a publishing module of this build";
            ::dlclose(module);
            continue;
        }
        // Kept for the rest of the run: its threads and handles live in it.
        loaded = table;
        qCInfo(lcPublish, "publishing module loaded from %s", file.c_str());
        return loaded;
    }
    loadError = why.empty()
                    ? std::string("the publishing module " WL_PUBLISHING_MODULE " is not installed")
                    : why;
    qCWarning(lcPublish, "publishing unavailable: %s", loadError.c_str());
    return nullptr;
}

BOOL noModule()
{
    std::lock_guard lock(loadMutex);
    t_error = loadError.empty() ? std::string("no such handle") : loadError;
    return BASS_FALSE;
}

} // namespace

HWMENCODE BASS_WMA_EncodeOpenPublish(DWORD freq, DWORD chans, DWORD flags, DWORD bitrate,
                                     const char* url, const char* user, const char* pass)
{
    t_error.clear();
    const PublishingApi* a = api(true);
    if (!a)
        return static_cast<HWMENCODE>(noModule());
    return a->encodeOpenPublish(freq, chans, flags, bitrate, url, user, pass);
}

BOOL BASS_WMA_EncodeSetTag(HWMENCODE handle, const char* tag, const char* text, DWORD form)
{
    t_error.clear();
    const PublishingApi* a = api(false);
    return a ? a->encodeSetTag(handle, tag, text, form) : noModule();
}

BOOL BASS_WMA_EncodeWrite(HWMENCODE handle, const void* buffer, DWORD length)
{
    t_error.clear();
    const PublishingApi* a = api(false);
    return a ? a->encodeWrite(handle, buffer, length) : noModule();
}

DWORD BASS_WMA_EncodeGetPort(HWMENCODE handle)
{
    t_error.clear();
    const PublishingApi* a = api(false);
    return a ? a->encodeGetPort(handle) : static_cast<DWORD>(noModule());
}

BOOL BASS_WMA_EncodeClose(HWMENCODE handle)
{
    t_error.clear();
    const PublishingApi* a = api(false);
    return a ? a->encodeClose(handle) : noModule();
}

const char* BASS_WMA_LastErrorText()
{
    const PublishingApi* a = api(false);
    if (!t_error.empty() || !a)
        return t_error.c_str();
    return a->lastErrorText();
}

void BASS_WMA_SetTrustFile(const char* pemFile)
{
    if (const PublishingApi* a = api(true))
        a->setTrustFile(pemFile);
}

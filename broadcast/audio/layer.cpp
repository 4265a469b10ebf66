#include "layer.h"

namespace audiolayer {

namespace {
thread_local std::string t_lastError;
}

BOOL fail(std::string reason)
{
    t_lastError = std::move(reason);
    return BASS_FALSE;
}

DWORD failHandle(std::string reason)
{
    t_lastError = std::move(reason);
    return 0;
}

void setLastError(std::string reason)
{
    t_lastError = std::move(reason);
}

const char* lastError()
{
    return t_lastError.c_str();
}

Layer& layer()
{
    static Layer instance;
    return instance;
}

DWORD Layer::newHandle()
{
    DWORD h = next++;
    if (next == 0)
        next = 1;
    return h;
}

std::shared_ptr<Capture> Layer::capture(DWORD h)
{
    std::lock_guard lock(mutex);
    auto it = captures.find(h);
    return it == captures.end() ? nullptr : it->second;
}

std::shared_ptr<Encoder> Layer::encoder(DWORD h)
{
    std::lock_guard lock(mutex);
    auto it = encoders.find(h);
    return it == encoders.end() ? nullptr : it->second;
}

void Layer::freeEncoder(const std::shared_ptr<Encoder>& e)
{
    std::lock_guard teardown(e->teardownMutex);
    if (e->tornDown)
        return;
    e->tornDown = true;
    {
        std::lock_guard lock(mutex);
        encoders.erase(e->handle);
    }
    e->freed.store(true);
    e->active.store(false);
    if (auto c = capture(e->channel)) {
        std::lock_guard lock(c->encodersMutex);
        std::erase(c->encoders, e);
    }
    e->process.stop();
    if (auto cast = e->takeCast())
        cast->stop();
}

bool Layer::freeCapture(HRECORD h)
{
    std::shared_ptr<Capture> c;
    {
        std::lock_guard lock(mutex);
        auto it = captures.find(h);
        if (it == captures.end())
            return false;
        c = it->second;
        captures.erase(it);
    }
    if (c->capture.onCaptureThread()) {
        // Stopped from inside its own callback: finish on the layer's thread.
        worker.post([this, c] { finishCapture(c); });
        return true;
    }
    finishCapture(c);
    return true;
}

void Layer::finishCapture(const std::shared_ptr<Capture>& c)
{
    c->capture.stop();
    std::vector<std::shared_ptr<Encoder>> encs;
    {
        std::lock_guard lock(c->encodersMutex);
        encs.swap(c->encoders);
    }
    for (const auto& e : encs)
        freeEncoder(e);
}

void Layer::freeAllCaptures()
{
    std::vector<DWORD> handles;
    {
        std::lock_guard lock(mutex);
        for (const auto& [h, c] : captures)
            handles.push_back(h);
    }
    for (DWORD h : handles)
        freeCapture(h);
}

} // namespace audiolayer

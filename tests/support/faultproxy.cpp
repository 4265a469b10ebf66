#include "faultproxy.h"

// Placeholder until the proxy itself lands: nothing listens.
struct FaultProxy::Impl {
    std::uint16_t target = 0;
    QString host;
    Mode mode = Mode::Pass;
};

FaultProxy::FaultProxy(std::uint16_t targetPort, QString targetHost) : d(std::make_unique<Impl>())
{
    d->target = targetPort;
    d->host = std::move(targetHost);
}
FaultProxy::~FaultProxy() = default;
bool FaultProxy::start() { return false; }
std::uint16_t FaultProxy::port() const { return 0; }
void FaultProxy::setMode(Mode mode) { d->mode = mode; }
FaultProxy::Mode FaultProxy::mode() const { return d->mode; }
void FaultProxy::setDelayMs(int) {}
void FaultProxy::cutAll() {}
void FaultProxy::holdHalfOpen() {}
int FaultProxy::acceptedCount() const { return 0; }
int FaultProxy::openCount() const { return 0; }
std::uint64_t FaultProxy::bytesUp() const { return 0; }
std::uint64_t FaultProxy::bytesDown() const { return 0; }

#pragma once
// A TCP proxy for fault injection, between the program and a real server on 127.0.0.1.
//
//   FaultProxy proxy(icecast.port());   // forwards 127.0.0.1:proxy.port() -> 127.0.0.1:target
//   QVERIFY(proxy.start());
//   proxy.setMode(FaultProxy::Mode::BlackHole); // the link goes silent
//   proxy.setMode(FaultProxy::Mode::Pass);      // and comes back
//
// It runs on a thread of its own (poll), so it keeps working while the test's thread waits
// or blocks. Modes apply to the connections already open and to new ones.
#include <QString>
#include <atomic>
#include <cstdint>
#include <memory>

class FaultProxy {
public:
    enum class Mode {
        Pass,      // forward both ways
        Delay,     // forward both ways, each piece held back delayMs first
        BlackHole, // accept new connections; read nothing and forward nothing on any of them
        Refuse,    // new connections are refused (the listening socket is closed)
    };

    explicit FaultProxy(std::uint16_t targetPort, QString targetHost = QStringLiteral("127.0.0.1"));
    ~FaultProxy(); // closes every connection and the thread
    FaultProxy(const FaultProxy&) = delete;
    FaultProxy& operator=(const FaultProxy&) = delete;

    // Listens on a free port of 127.0.0.1. False when it could not.
    bool start();
    std::uint16_t port() const;

    void setMode(Mode mode);
    Mode mode() const;
    void setDelayMs(int ms);
    // Cuts every open connection with a reset, on both sides; the listening socket stays.
    void cutAll();
    // Closes the client's side of every connection with a FIN only, and leaves the server's
    // side open and silent: a half-open connection as a vanished peer leaves it.
    void holdHalfOpen();

    // Connections accepted so far, and those open now.
    int acceptedCount() const;
    int openCount() const;
    // Bytes forwarded from the client to the server, and back, so far.
    std::uint64_t bytesUp() const;
    std::uint64_t bytesDown() const;

private:
    struct Impl;
    std::unique_ptr<Impl> d;
};

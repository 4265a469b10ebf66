#pragma once
// The transport of a publishing stream: one HTTP or HTTPS POST whose body goes out as chunks
// while the stream lasts. Unlike a fire-and-forget push, it reads what the server answers, so
// a refusal fails the open, and it ends the body, the TLS stream and the connection in order
// so that nothing sent is lost at close.
#include <memory>
#include <string>

struct PublishUrl {
    bool tls = false;
    std::string host;
    int port = 0;
    std::string target; // the request target as sent on the request line
    bool valid = false;

    // "http://" or "https://" (any letter case), a host (name, address or [v6]), an optional
    // ":port" and a path. The address is taken as written; only bytes that may not stand on a
    // request line (blanks, controls, non-ASCII) are escaped there.
    static PublishUrl parse(const std::string& url);
};

struct PublishOptions {
    std::string contentType = "application/octet-stream";
    std::string user;
    std::string password;
    std::string trustFile; // extra PEM CA file for HTTPS (besides the system's)
    int connectTimeoutMs = 5000;
    int answerTimeoutMs = 3000; // how long the open waits for the server's status line
    int sendTimeoutMs = 10000;  // a send that makes no progress this long fails
    int closeTimeoutMs = 3000;  // how long the close waits for the server to finish
};

class PublishConnection {
public:
    PublishConnection();
    ~PublishConnection();
    PublishConnection(const PublishConnection&) = delete;
    PublishConnection& operator=(const PublishConnection&) = delete;

    // Connects, sends the request head and waits for the answer. False with error() set when
    // the server cannot be reached, the TLS handshake or the certificate check fails, or the
    // server answers anything but 2xx. A server that stays silent for answerTimeoutMs is
    // taken to answer only at the end of the body.
    bool open(const PublishUrl& url, const PublishOptions& options);

    // One chunk of the body. False once the connection is gone or the server has refused.
    bool send(const void* data, std::size_t size);

    // The last chunk, the end of the TLS stream, then waits (up to closeTimeoutMs) for the
    // server to close its side. True when everything was sent and the server did not refuse.
    bool finish();

    bool failed() const;
    int status() const; // the server's HTTP status, 0 while none has come
    const std::string& error() const;

private:
    struct Impl;
    std::unique_ptr<Impl> d;
};

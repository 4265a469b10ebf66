#include "publishconnection.h"
#include "netkit.h"

#include <gnutls/gnutls.h>
#include <gnutls/x509.h>

#include <arpa/inet.h>
#include <cerrno>
#include <chrono>
#include <cstring>
#include <fcntl.h>
#include <netdb.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

namespace {

using Clock = std::chrono::steady_clock;

std::string lower(std::string s)
{
    for (char& c : s)
        if (c >= 'A' && c <= 'Z')
            c = static_cast<char>(c - 'A' + 'a');
    return s;
}

std::string escapeTarget(const std::string& path)
{
    static const char hex[] = "0123456789ABCDEF";
    std::string out;
    for (unsigned char c : path) {
        if (c <= 0x20 || c >= 0x7f) {
            out += '%';
            out += hex[c >> 4];
            out += hex[c & 15];
        } else {
            out += static_cast<char>(c);
        }
    }
    return out;
}

struct TlsCredentials {
    gnutls_certificate_credentials_t cred = nullptr;
    ~TlsCredentials()
    {
        if (cred)
            gnutls_certificate_free_credentials(cred);
    }
};

struct TlsSession {
    gnutls_session_t session = nullptr;
    ~TlsSession()
    {
        if (session)
            gnutls_deinit(session);
    }
};

// GnuTLS transport over our socket: sends never raise SIGPIPE, receives honour a timeout.
ssize_t tlsPush(gnutls_transport_ptr_t p, const void* data, size_t size)
{
    int fd = static_cast<int>(reinterpret_cast<intptr_t>(p));
    return ::send(fd, data, size, MSG_NOSIGNAL);
}

ssize_t tlsPull(gnutls_transport_ptr_t p, void* data, size_t size)
{
    int fd = static_cast<int>(reinterpret_cast<intptr_t>(p));
    return ::recv(fd, data, size, 0);
}

int tlsPullTimeout(gnutls_transport_ptr_t p, unsigned int ms)
{
    int fd = static_cast<int>(reinterpret_cast<intptr_t>(p));
    pollfd pfd{fd, POLLIN, 0};
    int timeout = ms == GNUTLS_INDEFINITE_TIMEOUT ? -1 : static_cast<int>(ms);
    int r;
    do
        r = ::poll(&pfd, 1, timeout);
    while (r < 0 && errno == EINTR);
    return r;
}

} // namespace

PublishUrl PublishUrl::parse(const std::string& url)
{
    PublishUrl u;
    std::string rest;
    std::string l = lower(url.substr(0, 8));
    if (l.rfind("https://", 0) == 0) {
        u.tls = true;
        rest = url.substr(8);
    } else if (l.rfind("http://", 0) == 0) {
        rest = url.substr(7);
    } else {
        return u;
    }
    std::size_t slash = rest.find('/');
    std::string authority = rest.substr(0, slash);
    std::string path = slash == std::string::npos ? "/" : rest.substr(slash);
    std::size_t at = authority.rfind('@');
    if (at != std::string::npos)
        authority = authority.substr(at + 1);
    std::string portText;
    if (!authority.empty() && authority[0] == '[') {
        std::size_t close = authority.find(']');
        if (close == std::string::npos)
            return u;
        u.host = authority.substr(1, close - 1);
        if (close + 1 < authority.size()) {
            if (authority[close + 1] != ':')
                return u;
            portText = authority.substr(close + 2);
        }
    } else {
        std::size_t colon = authority.find(':');
        u.host = authority.substr(0, colon);
        if (colon != std::string::npos)
            portText = authority.substr(colon + 1);
    }
    if (u.host.empty())
        return u;
    u.port = u.tls ? 443 : 80;
    if (!portText.empty()) {
        int port = 0;
        for (char c : portText) {
            if (c < '0' || c > '9')
                return u;
            port = port * 10 + (c - '0');
            if (port > 65535)
                return u;
        }
        if (port == 0)
            return u;
        u.port = port;
    }
    u.target = escapeTarget(path);
    u.valid = true;
    return u;
}

struct PublishConnection::Impl {
    PublishUrl url;
    PublishOptions options;
    netkit::UniqueFd sock;
    TlsCredentials cred;
    TlsSession tls;
    bool failed = false;
    bool finished = false;
    int status = 0;
    std::string error;
    std::string answer; // the server's answer head as far as it has come

    bool fail(std::string text)
    {
        if (!failed)
            error = std::move(text);
        failed = true;
        return false;
    }

    bool connectTcp()
    {
        std::string why;
        const auto deadline =
            netkit::Clock::now() + std::chrono::milliseconds(options.connectTimeoutMs);
        netkit::UniqueFd s =
            netkit::connectTcp(url.host, static_cast<std::uint16_t>(url.port), deadline, &why);
        if (!s.valid())
            return fail(why);
        // Blocking from here on, with a ceiling on every send.
        const int flags = ::fcntl(s.get(), F_GETFL);
        ::fcntl(s.get(), F_SETFL, flags & ~O_NONBLOCK);
        timeval tv{options.sendTimeoutMs / 1000, (options.sendTimeoutMs % 1000) * 1000};
        ::setsockopt(s.get(), SOL_SOCKET, SO_SNDTIMEO, &tv, sizeof tv);
        int one = 1;
        ::setsockopt(s.get(), IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
        sock = std::move(s);
        return true;
    }

    bool startTls()
    {
        if (int rc = gnutls_certificate_allocate_credentials(&cred.cred); rc < 0)
            return fail(std::string("TLS: ") + gnutls_strerror(rc));
        gnutls_certificate_set_x509_system_trust(cred.cred);
        if (!options.trustFile.empty() &&
            gnutls_certificate_set_x509_trust_file(cred.cred, options.trustFile.c_str(),
                                                   GNUTLS_X509_FMT_PEM) < 0)
            return fail("TLS: cannot read the trust file " + options.trustFile);
        if (int rc = gnutls_init(&tls.session, GNUTLS_CLIENT); rc < 0)
            return fail(std::string("TLS: ") + gnutls_strerror(rc));
        in6_addr a6;
        in_addr a4;
        bool literal = ::inet_pton(AF_INET, url.host.c_str(), &a4) == 1 ||
                       ::inet_pton(AF_INET6, url.host.c_str(), &a6) == 1;
        if (!literal)
            gnutls_server_name_set(tls.session, GNUTLS_NAME_DNS, url.host.data(), url.host.size());
        gnutls_set_default_priority(tls.session);
        gnutls_credentials_set(tls.session, GNUTLS_CRD_CERTIFICATE, cred.cred);
        gnutls_session_set_verify_cert(tls.session, url.host.c_str(), 0);
        gnutls_transport_set_ptr(tls.session,
                                 reinterpret_cast<gnutls_transport_ptr_t>(intptr_t(sock.get())));
        gnutls_transport_set_push_function(tls.session, tlsPush);
        gnutls_transport_set_pull_function(tls.session, tlsPull);
        gnutls_transport_set_pull_timeout_function(tls.session, tlsPullTimeout);
        gnutls_handshake_set_timeout(tls.session, static_cast<unsigned>(options.connectTimeoutMs));
        int rc;
        do
            rc = gnutls_handshake(tls.session);
        while (rc < 0 && !gnutls_error_is_fatal(rc));
        if (rc < 0) {
            std::string text = std::string("TLS handshake: ") + gnutls_strerror(rc);
            if (rc == GNUTLS_E_CERTIFICATE_VERIFICATION_ERROR) {
                gnutls_datum_t out{};
                unsigned st = gnutls_session_get_verify_cert_status(tls.session);
                if (gnutls_certificate_verification_status_print(st, GNUTLS_CRT_X509, &out, 0) ==
                    0) {
                    text += std::string(": ") + reinterpret_cast<const char*>(out.data);
                    gnutls_free(out.data);
                }
            }
            return fail(text);
        }
        return true;
    }

    bool sendAll(const char* data, std::size_t size)
    {
        while (size > 0) {
            ssize_t n;
            if (tls.session) {
                n = gnutls_record_send(tls.session, data, size);
                if (n == GNUTLS_E_INTERRUPTED)
                    continue;
                if (n == GNUTLS_E_AGAIN) // the send time-out ran out
                    return fail("send: the server takes no data");
                if (n < 0)
                    return fail(std::string("send: ") + gnutls_strerror(static_cast<int>(n)));
            } else {
                n = ::send(sock.get(), data, size, MSG_NOSIGNAL);
                if (n < 0 && errno == EINTR)
                    continue;
                if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK))
                    return fail("send: the server takes no data");
                if (n < 0)
                    return fail(std::string("send: ") + std::strerror(errno));
            }
            data += n;
            size -= static_cast<std::size_t>(n);
        }
        return true;
    }

    // Some bytes of the server's side: > 0 bytes, 0 at its end, -1 nothing within timeoutMs,
    // -2 an error (failed and error set).
    int receive(char* buffer, std::size_t size, int timeoutMs)
    {
        if (!(tls.session && gnutls_record_check_pending(tls.session) > 0)) {
            pollfd pfd{sock.get(), POLLIN, 0};
            int r;
            do
                r = ::poll(&pfd, 1, timeoutMs);
            while (r < 0 && errno == EINTR);
            if (r == 0)
                return -1;
            if (r < 0) {
                fail(std::string("poll: ") + std::strerror(errno));
                return -2;
            }
        }
        if (tls.session) {
            // Data is there, but it may be a partial record or a handshake message only.
            gnutls_record_set_timeout(tls.session,
                                      static_cast<unsigned>(timeoutMs > 0 ? timeoutMs : 1));
            ssize_t n = gnutls_record_recv(tls.session, buffer, size);
            if (n >= 0)
                return static_cast<int>(n);
            if (n == GNUTLS_E_AGAIN || n == GNUTLS_E_INTERRUPTED || n == GNUTLS_E_TIMEDOUT)
                return -1;
            if (n == GNUTLS_E_PREMATURE_TERMINATION)
                return 0;
            if (!gnutls_error_is_fatal(static_cast<int>(n)))
                return -1; // a warning alert, a post-handshake message
            fail(std::string("receive: ") + gnutls_strerror(static_cast<int>(n)));
            return -2;
        }
        ssize_t n;
        do
            n = ::recv(sock.get(), buffer, size, 0);
        while (n < 0 && errno == EINTR);
        if (n >= 0)
            return static_cast<int>(n);
        if (errno == EAGAIN || errno == EWOULDBLOCK)
            return -1;
        fail(std::string("receive: ") + std::strerror(errno));
        return -2;
    }

    // Takes what the server has sent. Returns false when it refused or went away.
    bool takeAnswer(const char* data, int n)
    {
        if (status != 0)
            return true; // the head has come; whatever follows is its body
        answer.append(data, static_cast<std::size_t>(n));
        std::size_t eol = answer.find("\r\n");
        if (eol == std::string::npos) {
            if (answer.size() > 8192)
                return fail("the server's answer is not HTTP");
            return true;
        }
        std::string line = answer.substr(0, eol);
        if (line.rfind("HTTP/", 0) != 0 || line.size() < 12)
            return fail("the server's answer is not HTTP: " + line);
        int code = std::atoi(line.c_str() + line.find(' ') + 1);
        status = code > 0 ? code : -1;
        if (code < 200 || code >= 300)
            return fail("the server refused the stream: " + line);
        return true;
    }

    // Reads whatever the server has sent by now without waiting.
    bool poll()
    {
        char buffer[4096];
        for (;;) {
            int n = receive(buffer, sizeof buffer, 0);
            if (n == -1)
                return true;
            if (n == -2)
                return false;
            if (n == 0)
                return fail("the server closed the connection");
            if (!takeAnswer(buffer, n))
                return false;
        }
    }
};

PublishConnection::PublishConnection() : d(std::make_unique<Impl>()) {}

PublishConnection::~PublishConnection() = default;

bool PublishConnection::failed() const
{
    return d->failed;
}
int PublishConnection::status() const
{
    return d->status;
}
const std::string& PublishConnection::error() const
{
    return d->error;
}

bool PublishConnection::open(const PublishUrl& url, const PublishOptions& options)
{
    d->url = url;
    d->options = options;
    if (!url.valid)
        return d->fail("not an http:// or https:// address");
    if (!d->connectTcp())
        return false;
    if (url.tls && !d->startTls())
        return false;

    std::string host = url.host.find(':') != std::string::npos ? "[" + url.host + "]" : url.host;
    if (url.port != (url.tls ? 443 : 80)) {
        host += ':';
        host += std::to_string(url.port);
    }
    std::string head = "POST " + url.target +
                       " HTTP/1.1\r\n"
                       "Host: " +
                       host +
                       "\r\n"
                       "User-Agent: WavelornEncoder/5.0\r\n"
                       "Accept: */*\r\n"
                       "Content-Type: " +
                       options.contentType +
                       "\r\n"
                       "Transfer-Encoding: chunked\r\n"
                       "Connection: close\r\n";
    if (!options.user.empty() || !options.password.empty())
        head += "Authorization: Basic " + netkit::base64(options.user + ":" + options.password) +
                "\r\n";
    head += "\r\n";
    if (!d->sendAll(head.data(), head.size()))
        return false;

    // The answer's status line: a refusal fails the open here and now.
    auto deadline = Clock::now() + std::chrono::milliseconds(options.answerTimeoutMs);
    char buffer[4096];
    while (d->status == 0) {
        int left = netkit::msLeft(deadline);
        if (left == 0)
            break;
        int n = d->receive(buffer, sizeof buffer, left);
        if (n == -1)
            continue;
        if (n == -2)
            return false;
        if (n == 0)
            return d->fail("the server closed the connection without an answer");
        if (!d->takeAnswer(buffer, n))
            return false;
    }
    return true;
}

bool PublishConnection::send(const void* data, std::size_t size)
{
    if (d->failed || d->finished || !d->sock.valid())
        return false;
    if (!d->poll())
        return false;
    if (size == 0)
        return true;
    char head[24];
    int n = std::snprintf(head, sizeof head, "%zx\r\n", size);
    return d->sendAll(head, static_cast<std::size_t>(n)) &&
           d->sendAll(static_cast<const char*>(data), size) && d->sendAll("\r\n", 2);
}

bool PublishConnection::finish()
{
    if (!d->sock.valid() || d->finished)
        return false;
    d->finished = true;
    bool ok = !d->failed && d->poll() && d->sendAll("0\r\n\r\n", 5);
    if (ok && d->tls.session) {
        int rc;
        do
            rc = gnutls_bye(d->tls.session, GNUTLS_SHUT_WR);
        while (rc == GNUTLS_E_INTERRUPTED);
        if (rc < 0)
            ok = d->fail(std::string("TLS close: ") + gnutls_strerror(rc));
    }
    ::shutdown(d->sock.get(), SHUT_WR);
    // Read the server's side to its end: closing with unread data would reset the connection
    // and throw away what the server has not read yet.
    auto deadline = Clock::now() + std::chrono::milliseconds(d->options.closeTimeoutMs);
    char buffer[4096];
    for (;;) {
        int left = netkit::msLeft(deadline);
        if (left == 0)
            break;
        bool failedBefore = d->failed;
        std::string errorBefore = d->error;
        int n = d->receive(buffer, sizeof buffer, left);
        if (n == -2) {
            // A reset once everything has gone out says nothing about the stream.
            d->failed = failedBefore;
            d->error = errorBefore;
            break;
        }
        if (n == 0)
            break;
        if (n > 0 && !d->takeAnswer(buffer, n))
            ok = false;
    }
    d->sock.reset();
    return ok && !d->failed;
}

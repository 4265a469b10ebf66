#pragma once
// A private Icecast 2 server for tests (Debian's icecast2) on 127.0.0.1, on a free port, with
// its own configuration and log folder. Port P serves listeners, Icecast sources
// ("SOURCE /mount") and the administration pages; P + 1 takes a SHOUTcast (ICY) source, which
// is served as the mount "/stream".
//
//   IcecastServer ice;                  // or IcecastServer ice({.burstSize = 0})
//   QVERIFY(ice.isRunning());
//   ice.address()                       // "127.0.0.1:P", a SHOUTcast-form address
//   ice.address("/live")                // "127.0.0.1:P/live", an Icecast-form address
//
// kill() and start() stop and start it again on the same port; suspend()/resume() send
// SIGSTOP/SIGCONT. The destructor stops it.
#include <QByteArray>
#include <QProcess>
#include <QString>
#include <QStringList>
#include <QTemporaryDir>

class IcecastServer {
public:
    struct Options {
        QString sourcePassword = QStringLiteral("hackme");
        QString adminPassword = QStringLiteral("adminpw");
        int burstSize = -1;     // bytes sent to a new listener at once; -1 keeps Icecast's 64 KiB
        int sourceTimeout = 10; // seconds of silence before a source is dropped
    };
    IcecastServer() : IcecastServer(Options{}) {}
    explicit IcecastServer(Options options);
    ~IcecastServer();
    IcecastServer(const IcecastServer&) = delete;
    IcecastServer& operator=(const IcecastServer&) = delete;

    bool isRunning() const;
    QString error() const { return m_error; }
    quint16 port() const { return m_port; }
    QString address(const QString& mount = QString()) const;
    const Options& options() const { return m_options; }
    qint64 pid() const { return m_process.processId(); }

    bool start(); // again after kill(), on the same port
    void kill();  // SIGKILL, waits for the end
    void suspend();
    void resume();

    // An HTTP GET of path on the server; the body, or an empty array with ok false when the
    // server gave no 2xx answer within timeoutMs. With user set, Basic authentication.
    QByteArray get(const QString& path, bool* ok = nullptr, const QString& user = QString(),
                   const QString& password = QString(), int timeoutMs = 3000) const;
    QByteArray statusJson() const { return get(QStringLiteral("/status-json.xsl")); }
    // The mount's listener count from /admin/listclients; -1 when the mount has no source.
    int listeners(const QString& mount) const;
    // The mount's current title from the status page ("" when none).
    QString title(const QString& mount) const;
    bool hasSource(const QString& mount) const;
    // Waits until the mount has (or, with present false, has no) source.
    bool waitForSource(const QString& mount, int timeoutMs, bool present = true) const;

    // A listener's view of a mount.
    struct Listen {
        bool ok = false;
        QByteArray headers; // the answer's header block
        QByteArray audio;   // the stream, ICY metadata removed
        QStringList titles; // StreamTitle values seen in the ICY metadata (as sent, UTF-8)
    };
    // Connects to mount as a listener and reads bytes of audio (or until timeoutMs).
    // With icyMetadata, asks for ICY metadata and collects the titles.
    Listen listen(const QString& mount, int bytes, int timeoutMs, bool icyMetadata = false) const;

private:
    Options m_options;
    QTemporaryDir m_dir;
    QProcess m_process;
    quint16 m_port = 0;
    QString m_error;
};

// One open listener connection, for tests that keep listeners connected.
class IcecastListener {
public:
    IcecastListener(quint16 port, const QString& mount);
    ~IcecastListener();
    IcecastListener(const IcecastListener&) = delete;
    IcecastListener& operator=(const IcecastListener&) = delete;
    bool isConnected() const { return m_fd >= 0; }
    // Reads what has arrived (up to max bytes, waiting at most timeoutMs for the first byte).
    QByteArray read(int max, int timeoutMs);
    void close();

private:
    int m_fd = -1;
};

// A free TCP port P on 127.0.0.1 such that P + 1 is free too.
quint16 freePortPair();

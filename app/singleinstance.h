#pragma once
#include <QObject>
#include <QString>

class QSocketNotifier;

// One running program per user. The first launch holds an exclusive lock on a file in the
// user's runtime folder and listens on a local socket beside it; a later launch finds the lock
// taken, asks the first through the socket to bring its front window to the front, and ends.
// The lock is the kernel's (flock): it goes with the process that held it, so a run that
// crashed blocks nothing, and the socket file it left is replaced by the next first launch.
class SingleInstance : public QObject {
    Q_OBJECT
public:
    // id: the program's application id. folder: where the lock and the socket live; empty:
    // the user's runtime folder (XDG_RUNTIME_DIR).
    explicit SingleInstance(const QString& id, const QString& folder = {},
                            QObject* parent = nullptr);
    ~SingleInstance() override;
    SingleInstance(const SingleInstance&) = delete;
    SingleInstance& operator=(const SingleInstance&) = delete;

    enum class Role {
        Primary,   // this process is the running program; later launches are heard
        Forwarded, // another one runs and has brought its window to the front
        Failed,    // another one holds the lock but did not answer
    };
    // Decides this process's role; for a later launch, waits up to timeoutMs for the running
    // one to answer. Failures to make the lock or the socket leave the program running alone
    // (Primary) with a warning.
    Role claim(int timeoutMs = 5000);

    QString lockPath() const;
    QString socketPath() const;

signals:
    // A later launch asks for the front window. token: its Wayland activation token
    // (XDG_ACTIVATION_TOKEN), empty when the launcher gave none.
    void activationRequested(const QString& token);

private:
    class Client;
    bool listen();
    void acceptClients();
    Role forward(int timeoutMs);

    QString m_id;
    QString m_folder;
    int m_lockFd = -1;
    int m_listenFd = -1; // the socket later launches connect to
    QSocketNotifier* m_listening = nullptr;
};

// The installed program, run as a user runs it: `cmake --install` of this build into a
// temporary prefix, the embedded catalog in the user's data folder, the program started from
// the prefix. One program per user: a second launch brings the first one's window to the front
// and ends with 0; a first run killed (its socket file left behind) does not block the next.
#include <QDir>
#include <QDirIterator>
#include <QElapsedTimer>
#include <QFile>
#include <QProcess>
#include <QTemporaryDir>
#include <QtTest>
#include <memory>

namespace {
constexpr int kWaitMs = 20000;

// A run of the installed program, its standard error and output collected.
class Run {
public:
    Run(const QString& program, const QProcessEnvironment& env)
    {
        m_process.setProcessEnvironment(env);
        m_process.setProcessChannelMode(QProcess::MergedChannels);
        m_process.start(program, {});
    }
    ~Run()
    {
        if (m_process.state() != QProcess::NotRunning) {
            m_process.kill();
            m_process.waitForFinished(kWaitMs);
        }
    }
    // Waits until the output holds text; false when the program ends or the time runs out.
    bool waitFor(const QString& text, int ms = kWaitMs)
    {
        QElapsedTimer clock;
        clock.start();
        while (!output().contains(text)) {
            if (m_process.state() == QProcess::NotRunning || clock.elapsed() > ms)
                return false;
            m_process.waitForReadyRead(100);
        }
        return true;
    }
    QString output()
    {
        m_output += QString::fromUtf8(m_process.readAll());
        return m_output;
    }
    bool running() const { return m_process.state() == QProcess::Running; }
    void kill()
    {
        m_process.kill();
        m_process.waitForFinished(kWaitMs);
    }
    QProcess& process() { return m_process; }

private:
    QProcess m_process;
    QString m_output;
};

QStringList filesUnder(const QString& dir)
{
    QStringList files;
    QDirIterator it(dir, QDir::AllEntries | QDir::Hidden | QDir::NoDotAndDotDot,
                    QDirIterator::Subdirectories);
    while (it.hasNext())
        files << it.next();
    files.sort();
    return files;
}
} // namespace

class TestInstalled : public QObject {
    Q_OBJECT
private slots:
    void initTestCase();
    void findsItsCatalogInTheDataFolderAndASecondLaunchOnlyRaisesTheFirst();
    void aKilledRunLeavesNothingThatBlocksTheNextStart();

private:
    // Starts a second launch and checks that it ends with 0, telling that the program runs.
    void secondLaunchEndsAtOnce();

    QTemporaryDir m_dir;
    QString m_prefix;
    QString m_program;
    QString m_catalog;
    QProcessEnvironment m_env;
    QStringList m_installed;
};

void TestInstalled::initTestCase()
{
    QVERIFY(m_dir.isValid());
    const QString build = qEnvironmentVariable("WL_BUILD_DIR");
    const QString source = qEnvironmentVariable("WL_SOURCE_DIR");
    QVERIFY2(!build.isEmpty() && !source.isEmpty(), "run by ctest");

    m_prefix = m_dir.filePath(QStringLiteral("prefix"));
    QProcess install;
    install.setProcessChannelMode(QProcess::MergedChannels);
    install.start(QStringLiteral("cmake"),
                  {QStringLiteral("--install"), build, QStringLiteral("--prefix"), m_prefix});
    QVERIFY(install.waitForFinished(60000));
    QVERIFY2(install.exitCode() == 0, install.readAll().constData());
    m_program = m_prefix + QStringLiteral("/bin/wavelorn-encoder");
    QVERIFY(QFileInfo(m_program).isExecutable());
    m_installed = filesUnder(m_prefix);

    // A user's session of its own: runtime folder, home, data folders (no system ones).
    const QString runtime = m_dir.filePath(QStringLiteral("run"));
    QVERIFY(QDir().mkpath(runtime));
    QVERIFY(QFile::setPermissions(runtime, QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner));
    const QString home = m_dir.filePath(QStringLiteral("home"));
    const QString dataHome = home + QStringLiteral("/.local/share");
    QVERIFY(QDir().mkpath(dataHome + QStringLiteral("/wavelorn-encoder")));
    m_env = QProcessEnvironment::systemEnvironment();
    for (const char* name : {"PULSE_SERVER", "DISPLAY", "WAYLAND_DISPLAY", "XDG_ACTIVATION_TOKEN",
                             "XDG_CONFIG_HOME", "XDG_CACHE_HOME"})
        m_env.remove(QString::fromLatin1(name));
    m_env.insert(QStringLiteral("QT_QPA_PLATFORM"), QStringLiteral("offscreen"));
    m_env.insert(QStringLiteral("HOME"), home);
    m_env.insert(QStringLiteral("XDG_RUNTIME_DIR"), runtime);
    m_env.insert(QStringLiteral("XDG_DATA_HOME"), dataHome);
    m_env.insert(QStringLiteral("XDG_DATA_DIRS"), m_dir.filePath(QStringLiteral("nowhere")));

    // The embedded catalog the demo seeds, in the user's data folder.
    m_catalog = dataHome + QStringLiteral("/wavelorn-encoder/service.sqlite");
    QProcess seed;
    seed.setProcessChannelMode(QProcess::MergedChannels);
    seed.start(source + QStringLiteral("/scripts/make-demo-db"), {m_catalog});
    QVERIFY(seed.waitForFinished(30000));
    QVERIFY2(seed.exitCode() == 0, seed.readAll().constData());
}

void TestInstalled::secondLaunchEndsAtOnce()
{
    QProcess second;
    second.setProcessEnvironment(m_env);
    second.setProcessChannelMode(QProcess::MergedChannels);
    second.start(m_program, {});
    QVERIFY(second.waitForFinished(kWaitMs));
    const QByteArray out = second.readAll();
    QVERIFY2(second.exitStatus() == QProcess::NormalExit && second.exitCode() == 0,
             out.constData());
    QVERIFY2(out.contains("the program already runs"), out.constData());
    // It never went as far as its configuration, let alone its windows.
    QVERIFY2(!out.contains("embedded catalog"), out.constData());
}

void TestInstalled::findsItsCatalogInTheDataFolderAndASecondLaunchOnlyRaisesTheFirst()
{
    Run first(m_program, m_env);
    QVERIFY2(first.waitFor(QStringLiteral("embedded catalog: ")), qPrintable(first.output()));
    QVERIFY2(first.output().contains(QStringLiteral("embedded catalog: ") + m_catalog + '\n'),
             qPrintable(first.output()));

    secondLaunchEndsAtOnce();
    // The first one answered from its event loop: its windows exist, the catalog opened.
    QVERIFY2(first.waitFor(QStringLiteral("brought fmLogin to the front")),
             qPrintable(first.output()));
    QVERIFY(first.running());
    for (const char* layer : {"warning ui:", "warning database:"})
        QVERIFY2(!first.output().contains(QLatin1String(layer)), qPrintable(first.output()));

    first.kill();
    // Nothing was written into the installed tree (beside the executable or elsewhere).
    QCOMPARE(filesUnder(m_prefix), m_installed);
}

void TestInstalled::aKilledRunLeavesNothingThatBlocksTheNextStart()
{
    const QString socket = m_env.value(QStringLiteral("XDG_RUNTIME_DIR")) +
                           QStringLiteral("/it.wavelorn.Encoder.socket");
    {
        Run crashed(m_program, m_env);
        QVERIFY2(crashed.waitFor(QStringLiteral("this is the running program")),
                 qPrintable(crashed.output()));
        crashed.kill(); // SIGKILL: no clean-up at all
    }
    QVERIFY2(QFileInfo(socket).exists(), "a killed run leaves its socket file");

    Run next(m_program, m_env);
    QVERIFY2(next.waitFor(QStringLiteral("this is the running program")),
             qPrintable(next.output()));
    secondLaunchEndsAtOnce();
    QVERIFY2(next.waitFor(QStringLiteral("brought fmLogin to the front")),
             qPrintable(next.output()));
    QVERIFY(next.running());
}

QTEST_GUILESS_MAIN(TestInstalled)
#include "tst_installed.moc"

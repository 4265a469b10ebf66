// The mixer model on the fake backend: scaling, missing controls, the id and name rules, the
// selector look-up, notices, and the console line at sign-in and the console's volume bar.
#include "WaveMixer.h"
#include "consolebar.h"
#include "fakemixerbackend.h"

#include <QLabel>
#include <QScrollBar>
#include <QtTest>

using Fake = FakeMixerBackend;

namespace {

// A device with a playback destination of the given source lines (line ids 101.., volume
// control ids 1001.., maximum 65535) and a recording destination of two lines.
Fake::Device device(const QString& name, const QStringList& lines, quint32 base = 0)
{
    Fake::Destination playback;
    playback.line = {base + 100, QStringLiteral("Volume principale"), {Fake::volume(base + 1000)}};
    for (int i = 0; i < lines.size(); ++i) {
        const auto n = static_cast<quint32>(i);
        playback.sources.push_back({base + 101 + n,
                                    lines.at(i),
                                    {Fake::volume(base + 1001 + n), Fake::mute(base + 2001 + n)}});
    }
    Fake::Destination recording;
    recording.line = {base + 200, QStringLiteral("Registrazione"), {}};
    recording.sources = {{base + 201, QStringLiteral("Microfono"), {Fake::volume(base + 3001)}},
                         {base + 202, QStringLiteral("Linea"), {Fake::volume(base + 3002)}}};
    return {name, {playback, recording}};
}

struct LineEvent {
    TAudioMixer* sender;
    TAudioMixerLine* line;
};
struct ControlEvent {
    TAudioMixer* sender;
    TAudioMixerLine* line;
    TMixerControlType kind;
};

} // namespace

class TestWaveMixer : public QObject {
    Q_OBJECT
private slots:
    void mulDivRoundsToNearest();
    void volumeScalesAndClamps();
    void volumeFailures();
    void openOnCreationAndClose();
    void noDevice();
    void mixerIdAndNameRules();
    void destinationIdAndNameRules();
    void reopenKeepsDestinationObject();
    void selectorFindsSourceByExactName();
    void selectorResultCodes();
    void notices();
    void consoleLineMatchesWord_data();
    void consoleLineMatchesWord();
    void consoleLineWithoutConnectionsRaises();
    void consoleVolumeBar();
};

void TestWaveMixer::mulDivRoundsToNearest()
{
    QCOMPARE(MulDiv(65535, 75, 100), 49151); // 49151.25
    QCOMPARE(MulDiv(49151, 100, 65535), 75);
    QCOMPARE(MulDiv(1, 1, 2), 1); // halves away from zero
    QCOMPARE(MulDiv(-1, 1, 2), -1);
    QCOMPARE(MulDiv(5, 10, -4), -13); // -12.5
    QCOMPARE(MulDiv(7, 100, 0), -1);
    QCOMPARE(MulDiv(0x7FFFFFFF, 2, 1), -1); // does not fit
    QCOMPARE(MulDiv(0x7FFFFFFF, 100, 100), 0x7FFFFFFF);
}

void TestWaveMixer::volumeScalesAndClamps()
{
    Fake fake;
    fake.devices = {device(QStringLiteral("Fake"), {QStringLiteral("A")})};
    TAudioMixer mixer(fake);
    TAudioMixerLine& line = mixer.Connection(0);
    QVERIFY(line.AvailableControls.contains(mcVolume));
    QVERIFY(line.AvailableControls.contains(mcMute));
    QVERIFY(!line.AvailableControls.contains(mcSelect));
    QCOMPARE(line.Controls[mcVolume].controlId, 1001u);

    line.setVolume(75);
    QCOMPARE(line.LastResult, MMSYSERR_NOERROR);
    QCOMPARE(fake.value(1001), 49151u);
    QCOMPARE(line.Volume(), 75);
    QCOMPARE(line.LastResult, MMSYSERR_NOERROR);

    line.setVolume(-5);
    QCOMPARE(fake.value(1001), 0u);
    QCOMPARE(line.Volume(), 0);
    line.setVolume(150);
    QCOMPARE(fake.value(1001), 65535u);
    QCOMPARE(line.Volume(), 100);

    // The minimum is not used; a value above the maximum reads above 100.
    fake.control(1001)->values = {65535 * 2};
    QCOMPARE(line.Volume(), 200);
}

void TestWaveMixer::volumeFailures()
{
    Fake fake;
    fake.devices = {device(QStringLiteral("Fake"), {QStringLiteral("A"), QStringLiteral("B")})};
    auto& a = fake.devices[0].destinations[0].sources[0];
    a.controls.erase(a.controls.begin()); // mute only
    fake.control(1002)->maximum = 0;
    TAudioMixer mixer(fake);

    TAudioMixerLine& noVolume = mixer.Connection(0);
    QVERIFY(!noVolume.AvailableControls.contains(mcVolume));
    QVERIFY(noVolume.AvailableControls.contains(mcMute));
    QCOMPARE(noVolume.Controls[mcVolume].controlId, 0u);
    QCOMPARE(noVolume.Volume(), -1);
    QCOMPARE(noVolume.LastResult, MIXERR_INVALCONTROL);
    noVolume.LastResult = 0;
    noVolume.setVolume(50);
    QCOMPARE(noVolume.LastResult, MIXERR_INVALCONTROL);
    QVERIFY(fake.writes.empty());

    TAudioMixerLine& zeroMax = mixer.Connection(1);
    QCOMPARE(zeroMax.Volume(), -1);
    QCOMPARE(zeroMax.LastResult, MMSYSERR_NOERROR);
    zeroMax.setVolume(80);
    QCOMPARE(fake.value(1002), 0u);

    // A failing call: its result is kept, the read gives -1.
    fake.control(1002)->maximum = 100;
    fake.control(1002)->readResult = MMSYSERR_NODRIVER;
    QCOMPARE(zeroMax.Volume(), -1);
    QCOMPARE(zeroMax.LastResult, MMSYSERR_NODRIVER);
    fake.control(1002)->writeResult = MMSYSERR_INVALHANDLE;
    zeroMax.setVolume(10);
    QCOMPARE(zeroMax.LastResult, MMSYSERR_INVALHANDLE);
}

void TestWaveMixer::openOnCreationAndClose()
{
    Fake fake;
    fake.devices = {device(QStringLiteral("Fake"), {QStringLiteral("A"), QStringLiteral("B")})};
    MixerHandle h = 0;
    {
        QObject owner;
        auto* mixer = new TAudioMixer(fake, &owner);
        mixer->setObjectName(QStringLiteral("a1"));
        h = mixer->Handle();
        QVERIFY(h != 0);
        QCOMPARE(mixer->OpenResult(), MMSYSERR_NOERROR);
        QCOMPARE(mixer->MixerID(), 0u);
        QCOMPARE(mixer->DestinationID(), 0u);
        QCOMPARE(mixer->MixerName(), QStringLiteral("Fake"));
        QCOMPARE(mixer->property("MixerName").toString(), QStringLiteral("Fake"));
        QCOMPARE(mixer->DestinationName(), QStringLiteral("Volume principale"));
        QCOMPARE(mixer->DeviceCount(), 1);
        QCOMPARE(mixer->DestinationCount(), 2);
        QCOMPARE(mixer->ConnectionCount(), 2);
        QCOMPARE(mixer->Destination().SourceIndex, -1);
        QCOMPARE(mixer->Destination().LineInfo.lineId, 100u);
        QCOMPARE(mixer->Connection(1).SourceIndex, 1);
        QCOMPARE(mixer->Connection(1).Name(), QStringLiteral("B"));
        QCOMPARE(mixer->Connection(1).Mixer, mixer);
        QStringList names;
        QCOMPARE(mixer->ListDestinationNames(names), 2);
        QCOMPARE(names, (QStringList{QStringLiteral("Volume principale"),
                                     QStringLiteral("Registrazione")}));
        QVERIFY(fake.isOpen(h));
    }
    QVERIFY(!fake.isOpen(h));
    QCOMPARE(fake.opens, 1);
    QCOMPARE(fake.closes, 1);
}

void TestWaveMixer::noDevice()
{
    Fake fake;
    TAudioMixer mixer(fake);
    QCOMPARE(mixer.Handle(), MixerHandle(0));
    QCOMPARE(mixer.OpenResult(), MMSYSERR_BADDEVICEID);
    QCOMPARE(mixer.Caps().destinations, 0u);
    QCOMPARE(mixer.MixerName(), QString());
    QCOMPARE(mixer.DestinationID(), 0u);
    QVERIFY(mixer.Destination().LastResult != MMSYSERR_NOERROR);
    QVERIFY(mixer.Destination().AvailableControls.isEmpty());
    QCOMPARE(mixer.ConnectionCount(), 0);
    QVERIFY(mixer.Connections().empty());
    QCOMPARE(mixer.Destination().Volume(), -1);
    try {
        mixer.Connection(0);
        QFAIL("no error");
    } catch (const EListError& e) {
        QCOMPARE(e.text(), QStringLiteral("List index out of bounds (0)"));
    }
    mixer.setDestinationID(3);
    QCOMPARE(mixer.DestinationID(), 0u);
    mixer.setMixerID(1);
    QCOMPARE(mixer.MixerID(), 0u);
    QCOMPARE(fake.closes, 0);
}

void TestWaveMixer::mixerIdAndNameRules()
{
    Fake fake;
    fake.devices = {
        device(QStringLiteral("Primo"), {QStringLiteral("A")}),
        device(QStringLiteral("Secondo"), {QStringLiteral("X"), QStringLiteral("Y")}, 10000)};
    TAudioMixer mixer(fake);
    QCOMPARE(fake.opens, 1);

    mixer.setMixerID(0);                         // the current one
    mixer.setMixerID(2);                         // beyond the device count
    mixer.setMixerName(QStringLiteral("PRIMO")); // the current one in other letter case
    mixer.setMixerName(QStringLiteral("Terzo")); // no such device
    QCOMPARE(fake.opens, 1);
    QCOMPARE(mixer.MixerID(), 0u);

    QStringList names{QStringLiteral("kept")};
    QCOMPARE(mixer.ListMixerNames(names), 2);
    QCOMPARE(names, (QStringList{QStringLiteral("kept"), QStringLiteral("Primo"),
                                 QStringLiteral("Secondo")}));

    const MixerHandle first = mixer.Handle();
    mixer.setMixerName(QStringLiteral("secondo"));
    QCOMPARE(fake.opens, 2);
    QCOMPARE(fake.closes, 1);
    QVERIFY(!fake.isOpen(first));
    QCOMPARE(mixer.MixerID(), 1u);
    QCOMPARE(mixer.MixerName(), QStringLiteral("Secondo"));
    QCOMPARE(mixer.ConnectionCount(), 2);
    QCOMPARE(mixer.Connection(1).Name(), QStringLiteral("Y"));
    QCOMPARE(mixer.Connection(1).Controls[mcVolume].controlId, 11002u);

    mixer.setProperty("MixerID", 0u);
    QCOMPARE(mixer.MixerName(), QStringLiteral("Primo"));
    QCOMPARE(fake.opens, 3);
}

void TestWaveMixer::destinationIdAndNameRules()
{
    Fake fake;
    fake.devices = {device(QStringLiteral("Fake"), {QStringLiteral("A")})};
    TAudioMixer mixer(fake);
    const MixerHandle h = mixer.Handle();

    mixer.setDestinationID(1);
    QCOMPARE(mixer.DestinationID(), 1u);
    QCOMPARE(mixer.Handle(), h); // the device stays open
    QCOMPARE(fake.opens, 1);
    QCOMPARE(mixer.DestinationName(), QStringLiteral("Registrazione"));
    QCOMPARE(mixer.ConnectionCount(), 2);
    QCOMPARE(mixer.Connection(0).Name(), QStringLiteral("Microfono"));
    QCOMPARE(mixer.Connection(0).LineInfo.destination, 1u);

    mixer.setDestinationID(7);
    QCOMPARE(mixer.DestinationID(), 0u);
    QCOMPARE(mixer.ConnectionCount(), 1);
    QCOMPARE(mixer.Connection(0).Name(), QStringLiteral("A"));

    mixer.setDestinationName(QStringLiteral("registrazione"));
    QCOMPARE(mixer.DestinationID(), 1u);
    mixer.setDestinationName(QStringLiteral("Nessuna"));
    QCOMPARE(mixer.DestinationID(), 1u);
    QCOMPARE(fake.opens, 1);
}

void TestWaveMixer::reopenKeepsDestinationObject()
{
    Fake fake;
    fake.devices = {device(QStringLiteral("Fake"), {QStringLiteral("A")})};
    TAudioMixer mixer(fake);
    TAudioMixerLine* destination = &mixer.Destination();
    fake.devices[0].destinations[0].sources.push_back(
        {150, QStringLiteral("Nuova"), {Fake::volume(1500)}});
    QCOMPARE(mixer.ConnectionCount(), 1); // read at the last reopen
    mixer.Reopen(true);
    QCOMPARE(&mixer.Destination(), destination);
    QCOMPARE(mixer.ConnectionCount(), 2);
    QCOMPARE(mixer.Connection(1).Name(), QStringLiteral("Nuova"));
    mixer.Reopen(false);
    QCOMPARE(&mixer.Destination(), destination);
    QCOMPARE(fake.opens, 2);
    QCOMPARE(fake.closes, 1);
}

void TestWaveMixer::selectorFindsSourceByExactName()
{
    Fake fake;
    Fake::Device d = device(QStringLiteral("Fake"), {});
    Fake::Destination& rec = d.destinations[1];
    rec.sources = {{201, QStringLiteral("Microfono"), {}},
                   {202, QStringLiteral("Linea"), {}},
                   {203, QStringLiteral("CD"), {}}};
    rec.line.controls = {Fake::selector(
        4000, MIXERCONTROL_CONTROLTYPE_MUX,
        {QStringLiteral("CD"), QStringLiteral("Linea"), QStringLiteral("Microfono")}, {0, 1, 0})};
    fake.devices = {d};
    TAudioMixer mixer(fake);
    mixer.setDestinationID(1);
    TAudioMixerLine& dest = mixer.Destination();
    QVERIFY(dest.AvailableControls.contains(mcSelect));
    QCOMPARE(dest.Controls[mcSelect].multipleItems, 3u);
    QCOMPARE(dest.SelectedSource(), 1); // item 1 "Linea" is connection 1
    QCOMPARE(dest.SourceOfItem(0, mcSelect), 2);
    QCOMPARE(dest.SourceOfItem(2, mcSelect), 0);

    // Only the low byte of a value counts; only the first set item counts.
    fake.control(4000)->values = {0x100, 0, 1};
    QCOMPARE(dest.SelectedSource(), 0);
    fake.control(4000)->values = {1, 1, 1};
    QCOMPARE(dest.SelectedSource(), 2);
    fake.control(4000)->values = {0, 0, 0};
    QCOMPARE(dest.SelectedSource(), -1);
    QCOMPARE(dest.LastResult, MMSYSERR_NOERROR);

    // The name must match exactly, letter case included.
    fake.control(4000)->values = {0, 1, 0};
    fake.control(4000)->texts[1] = QStringLiteral("linea");
    QCOMPARE(dest.SelectedSource(), -1);
    QCOMPARE(dest.LastResult, MMSYSERR_NOERROR);

    // A multiple-select list wins over a single-select one.
    fake.devices[0].destinations[1].line.controls.push_back(Fake::selector(
        4001, MIXERCONTROL_CONTROLTYPE_MIXER,
        {QStringLiteral("Microfono"), QStringLiteral("Linea"), QStringLiteral("CD")}, {0, 0, 1}));
    mixer.Reopen(true);
    QVERIFY(mixer.Destination().AvailableControls.contains(mcMix));
    QCOMPARE(mixer.Destination().SelectedSource(), 2);
}

void TestWaveMixer::selectorResultCodes()
{
    Fake fake;
    Fake::Device d = device(QStringLiteral("Fake"), {QStringLiteral("A")});
    d.destinations[0].line.controls.push_back(Fake::selector(
        4000, MIXERCONTROL_CONTROLTYPE_MUX, {QStringLiteral("A"), QStringLiteral("B")}, {1, 0}));
    fake.devices = {d};
    TAudioMixer mixer(fake);
    TAudioMixerLine& dest = mixer.Destination();
    QCOMPARE(dest.SourceOfItem(2, mcSelect), -1);
    QCOMPARE(dest.LastResult, MMSYSERR_INVALPARAM);
    QCOMPARE(dest.SourceOfItem(-1, mcSelect), -1); // compared as unsigned
    QCOMPARE(dest.LastResult, MMSYSERR_INVALPARAM);
    QCOMPARE(dest.SourceOfItem(0, mcMix), -1);
    QCOMPARE(dest.LastResult, MIXERR_INVALCONTROL);
    QCOMPARE(dest.SourceOfItem(0, mcSelect), 0);
    QCOMPARE(dest.LastResult, MMSYSERR_NOERROR);

    fake.control(4000)->readResult = MMSYSERR_NODRIVER;
    QCOMPARE(dest.SelectedSource(), -1);
    QCOMPARE(dest.LastResult, MMSYSERR_NODRIVER);

    TAudioMixerLine& line = mixer.Connection(0);
    QCOMPARE(line.SelectedSource(), -1);
    QCOMPARE(line.LastResult, MIXERR_INVALCONTROL);

    TMixerControlType kind = mcMix;
    QVERIFY(line.FindControl(2001, kind));
    QCOMPARE(kind, mcMute);
    QVERIFY(dest.FindControl(4000, kind));
    QCOMPARE(kind, mcSelect);
    QVERIFY(!line.FindControl(4000, kind));
    QVERIFY(!line.FindControl(0, kind)); // the zeroed records of missing kinds never match
}

void TestWaveMixer::notices()
{
    Fake fake;
    fake.devices = {device(QStringLiteral("Fake"), {QStringLiteral("A"), QStringLiteral("B")})};
    TAudioMixer mixer(fake);
    std::vector<LineEvent> lines;
    std::vector<ControlEvent> controls;
    connect(&mixer, &TAudioMixer::OnLineChange, this, [&](TAudioMixer* s, TAudioMixerLine* l) {
        lines.push_back({s, l});
    });
    connect(&mixer, &TAudioMixer::OnControlChange, this,
            [&](TAudioMixer* s, TAudioMixerLine* l, TMixerControlType k) {
                controls.push_back({s, l, k});
            });
    const MixerHandle h = mixer.Handle();

    // Notices that match nothing call no event and still return 0.
    QCOMPARE(mixer.WndProc(TAudioMixer::MM_MIXM_LINE_CHANGE, h, 999), 0);
    QCOMPARE(mixer.WndProc(TAudioMixer::MM_MIXM_LINE_CHANGE, h + 1, 101), 0);
    QCOMPARE(mixer.WndProc(TAudioMixer::MM_MIXM_CONTROL_CHANGE, h, 999), 0);
    QCOMPARE(mixer.WndProc(TAudioMixer::MM_MIXM_CONTROL_CHANGE, h + 1, 1001), 0);
    QCOMPARE(mixer.WndProc(0x0010, h, 101), 0);
    fake.notifyLine(h + 1, 100);
    QVERIFY(lines.empty());
    QVERIFY(controls.empty());

    fake.notifyLine(h, 100);
    fake.notifyLine(h, 102);
    QCOMPARE(lines.size(), 2u);
    QCOMPARE(lines[0].sender, &mixer);
    QCOMPARE(lines[0].line, &mixer.Destination());
    QCOMPARE(lines[1].line, &mixer.Connection(1));

    fake.notifyControl(h, 1000);
    fake.notifyControl(h, 2002);
    QCOMPARE(controls.size(), 2u);
    QCOMPARE(controls[0].line, &mixer.Destination());
    QCOMPARE(controls[0].kind, mcVolume);
    QCOMPARE(controls[1].line, &mixer.Connection(1));
    QCOMPARE(controls[1].kind, mcMute);

    // Line data is not read again before the event.
    fake.devices[0].destinations[0].sources[1].name = QStringLiteral("Renamed");
    fake.notifyLine(h, 102);
    QCOMPARE(lines.back().line->Name(), QStringLiteral("B"));
}

void TestWaveMixer::consoleLineMatchesWord_data()
{
    QTest::addColumn<QStringList>("names");
    QTest::addColumn<int>("expected");
    QTest::addColumn<int>("touched"); // lines set to 75 %

    QTest::newRow("second of three")
        << QStringList{"Cuffie", "Le mie ALTOPARLANTI", "Linea"} << 1 << 2;
    QTest::newRow("lower case") << QStringList{"altoparlanti (HD Audio)", "Cuffie"} << 0 << 1;
    QTest::newRow("mixed case") << QStringList{"Cuffie", "Cuffie", "AltoParlanti"} << 2 << 3;
    QTest::newRow("no match: last") << QStringList{"Cuffie", "Speakers", "Linea"} << 2 << 3;
    // Upper-casing the dotless i would give "ALTOPARLANTI"; only a-z are folded.
    QTest::newRow("only ASCII folds") << QStringList{"Altoparlant\u0131", "Cuffie"} << 1 << 2;
}

void TestWaveMixer::consoleLineMatchesWord()
{
    QFETCH(QStringList, names);
    QFETCH(int, expected);
    QFETCH(int, touched);
    Fake fake;
    fake.devices = {device(QStringLiteral("Fake"), names)};
    for (int i = 0; i < names.size(); ++i)
        fake.control(1001 + static_cast<quint32>(i))->values = {1234};
    TAudioMixer mixer(fake);
    QScrollBar scb(Qt::Vertical);
    scb.setRange(0, 100);
    scb.setValue(75);
    QLabel lbvol(QStringLiteral("old"));
    int index = -7;
    const ConsoleLineChoice choice = chooseConsoleLine(mixer, &index);
    showChoice(choice, scb, lbvol);
    QCOMPARE(choice.line, expected);
    QCOMPARE(index, expected);
    for (int i = 0; i < names.size(); ++i) {
        const quint32 v = fake.value(1001 + static_cast<quint32>(i));
        QCOMPARE(v, i < touched ? 49151u : 1234u);
    }
    QCOMPARE(scb.maximum(), 100);
    QCOMPARE(scb.value(), 75);
    QCOMPARE(lbvol.text(), QStringLiteral("75"));
}

void TestWaveMixer::consoleLineWithoutConnectionsRaises()
{
    Fake fake;
    fake.devices = {device(QStringLiteral("Fake"), {})};
    TAudioMixer mixer(fake);
    QScrollBar scb(Qt::Vertical);
    QLabel lbvol(QStringLiteral("old"));
    int index = 0;
    try {
        showChoice(chooseConsoleLine(mixer, &index), scb, lbvol);
        QFAIL("no error");
    } catch (const AppError& e) {
        QCOMPARE(e.text(), QStringLiteral("List index out of bounds (-1)"));
    }
    QCOMPARE(index, -1);
    QCOMPARE(lbvol.text(), QStringLiteral("old"));
}

void TestWaveMixer::consoleVolumeBar()
{
    Fake fake;
    fake.devices = {device(QStringLiteral("Fake"), {QStringLiteral("A"), QStringLiteral("B")})};
    auto& b = fake.devices[0].destinations[0].sources[1];
    b.controls.erase(b.controls.begin()); // B has no volume
    TAudioMixer mixer(fake);
    QScrollBar scb(Qt::Vertical);
    scb.setRange(0, 100);
    QLabel lbvol(QStringLiteral("75"));
    const auto barMoved = [&](int index) { showVolume(mixer, index, scb, lbvol); };

    scb.setValue(40);
    barMoved(0);
    QCOMPARE(fake.value(1001), 26214u);
    QCOMPARE(lbvol.text(), QStringLiteral("40"));

    barMoved(1);
    QCOMPARE(lbvol.text(), QStringLiteral("-1"));

    lbvol.setText(QStringLiteral("kept"));
    barMoved(2);
    barMoved(-1);
    QCOMPARE(lbvol.text(), QStringLiteral("kept"));
}

QTEST_MAIN(TestWaveMixer)
#include "tst_wavemixer.moc"

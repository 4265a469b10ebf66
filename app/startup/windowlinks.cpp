#include "windowlinks.h"

#include "UfmShoutcast2.h"
#include "Ufmdm.h"
#include "apperror.h"
#include "forms.h"
#include "ufmLogin.h"
#include "ufmWMA.h"

namespace {

TForm2wma& console()
{
    if (!Form2wma)
        throw AppError(QStringLiteral("La console non esiste"));
    return *Form2wma;
}

TfmShoutcast2& engine()
{
    if (!fmShoutcast2)
        throw AppError(QStringLiteral("La finestra di trasmissione non esiste"));
    return *fmShoutcast2;
}

} // namespace

int BroadcastHandoff::chooseConsoleLine(TAudioMixer& mixer)
{
    return console().chooseVolumeLine(mixer);
}

void BroadcastHandoff::fillStationFields(const CastStationFields& fields)
{
    engine().setStationFields(fields);
}

void BroadcastHandoff::setPublishingPoint(const QString& address)
{
    console().setPublishingPoint(address);
}

DbConnection& BroadcastHandoff::logConnection()
{
    if (!dm)
        throw AppError(QStringLiteral("Il modulo dati non esiste"));
    return dm->db();
}

void BroadcastHandoff::showBroadcastWindows()
{
    engine().show();
    console().show();
}

int ConsoleSignIn::volumeLineIndex()
{
    return fmLogin ? fmLogin->VolumeLineIndex : 0;
}

QString ConsoleSignIn::readAccountColumn(const QString& column)
{
    return fmLogin ? fmLogin->LEGGICAMPO(column) : QString();
}

TAudioMixer* ConsoleSignIn::mixer()
{
    return fmLogin ? &fmLogin->a1() : nullptr;
}

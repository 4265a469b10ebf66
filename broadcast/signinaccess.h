#pragma once
// What the live console needs of the sign-in window, without knowing that window: the index of
// the console line, the account column read, and the mixer. Start-up hands the console an
// implementation (TForm2wma::setSignIn).
#include <QString>

class TAudioMixer;

struct SignInAccess {
    virtual ~SignInAccess() = default;
    // The index of the console line among the mixer's source lines (the sign-in window's
    // VolumeLineIndex).
    virtual int volumeLineIndex() = 0;
    // One column of the signed-in account, read afresh (the sign-in window's LEGGICAMPO, with
    // its own failure behaviour).
    virtual QString readAccountColumn(const QString& column) = 0;
    // The sign-in window's mixer a1; nullptr when there is none.
    virtual TAudioMixer* mixer() = 0;
};

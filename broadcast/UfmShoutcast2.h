#pragma once
#include "appcontext.h"
#include "form.h"

class QCheckBox;
class QComboBox;
class QLineEdit;
class QProgressBar;
class QPushButton;
class QRadioButton;
class QTimer;

// The cast engine's window. Other windows use the members below by these names: sign-in
// fills the six settings edits, the live console calls StartCast and btn_startClick and sets
// RestartPending.
class TfmShoutcast2 : public TForm {
    Q_OBJECT
public:
    explicit TfmShoutcast2(AppContext& ctx);
    ~TfmShoutcast2() override;

    QLineEdit* ed_server = nullptr;
    QLineEdit* ed_Password = nullptr;
    QLineEdit* ed_Name = nullptr;
    QLineEdit* ed_url = nullptr;
    QLineEdit* ed_genre = nullptr;
    QLineEdit* ed_desc = nullptr;
    QCheckBox* chk_public = nullptr;
    QRadioButton* chk_Mp3 = nullptr;
    QRadioButton* chk_ogg = nullptr;
    QComboBox* cb_Bitrate = nullptr;
    QPushButton* btn_start = nullptr;
    QCheckBox* chk_AutoReconnect = nullptr;
    QLineEdit* ed_TrackTitle = nullptr;
    QProgressBar* Pr_level = nullptr;
    QTimer* LevelTimer = nullptr;

    bool RestartPending = false;

    void StartCast();
    void StopCast();
    void btn_startClick();

private:
    AppContext& m_ctx;
};

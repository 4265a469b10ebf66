#pragma once
// The controls of the cast windows (the engine window and the Connetti window carry the same
// set), with their layout state.
#include "skinengine.h"

#include <QString>

class QCheckBox;
class QComboBox;
class QGroupBox;
class QHBoxLayout;
class QLabel;
class QLineEdit;
class QProgressBar;
class QPushButton;
class QRadioButton;
class QTimer;
class QWidget;

struct CastControls {
    QGroupBox* GroupBox1 = nullptr;
    QLabel* Label1 = nullptr;
    QLabel* Label2 = nullptr;
    QLineEdit* ed_server = nullptr;
    QLineEdit* ed_Password = nullptr;
    QCheckBox* chk_public = nullptr;
    QLineEdit* ed_Name = nullptr;
    QLineEdit* ed_url = nullptr;
    QLineEdit* ed_genre = nullptr;
    QLineEdit* ed_desc = nullptr;
    QGroupBox* grp_Format = nullptr;
    QRadioButton* chk_Mp3 = nullptr;
    QRadioButton* chk_ogg = nullptr;
    QComboBox* cb_Bitrate = nullptr;
    QPushButton* btn_start = nullptr;
    QCheckBox* chk_AutoReconnect = nullptr;
    QLineEdit* ed_TrackTitle = nullptr;
    QProgressBar* Pr_level = nullptr;
    QTimer* LevelTimer = nullptr; // 10 s; started by the window that uses it
    // An empty row under the title box, for controls a window adds of its own.
    QHBoxLayout* extraRow = nullptr;
    SkinEngineComponent se;

    // Creates the controls in window, laid out, in their layout state.
    void buildCastControls(QWidget* window);

    // The ten settings controls that a running cast disables.
    void setSettingsEnabled(bool enabled);
    // The title box: enabled on a white ground, or disabled on the button-face colour.
    void setTitleBoxEnabled(bool enabled);
    // The colour of the level bar Pr_level.
    void setLevelBarColour(unsigned rgb);
};

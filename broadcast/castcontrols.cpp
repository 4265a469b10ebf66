#include "castcontrols.h"

#include <QCheckBox>
#include <QColor>
#include <QComboBox>
#include <QGridLayout>
#include <QGroupBox>
#include <QHBoxLayout>
#include <QLabel>
#include <QLineEdit>
#include <QPalette>
#include <QProgressBar>
#include <QPushButton>
#include <QRadioButton>
#include <QTimer>
#include <QVBoxLayout>

static QLineEdit* makeEdit(QWidget* parent, const QString& name, bool readOnly)
{
    auto* e = new QLineEdit(parent);
    e->setObjectName(name);
    e->setReadOnly(readOnly);
    return e;
}

static QLabel* makeLabel(QWidget* parent, const QString& name, const QString& text)
{
    auto* l = new QLabel(text, parent);
    l->setObjectName(name);
    return l;
}

void CastControls::buildCastControls(QWidget* window)
{
    GroupBox1 = new QGroupBox(QStringLiteral("Server"), window);
    GroupBox1->setObjectName(QStringLiteral("GroupBox1"));
    Label1 =
        makeLabel(GroupBox1, QStringLiteral("Label1"), QStringLiteral("Shoutcast = address port"));
    Label2 = makeLabel(GroupBox1, QStringLiteral("Label2"),
                       QStringLiteral("Icecast = address port/mount"));
    ed_server = makeEdit(GroupBox1, QStringLiteral("ed_server"), true);
    ed_server->setText(QStringLiteral("localhost:8000"));
    ed_Password = makeEdit(GroupBox1, QStringLiteral("ed_Password"), true);
    ed_Password->setEchoMode(QLineEdit::Password);
    ed_Password->setStyleSheet(QStringLiteral("lineedit-password-character: 42;"));
    ed_Password->setText(QStringLiteral("changeme"));
    chk_public = new QCheckBox(QStringLiteral("Public (directory)"), GroupBox1);
    chk_public->setObjectName(QStringLiteral("chk_public"));
    chk_public->setChecked(true);
    ed_Name = makeEdit(GroupBox1, QStringLiteral("ed_Name"), true);
    ed_Name->setText(QStringLiteral("My stream"));
    ed_url = makeEdit(GroupBox1, QStringLiteral("ed_url"), true);
    ed_url->setText(QStringLiteral("http://"));
    ed_genre = makeEdit(GroupBox1, QStringLiteral("ed_genre"), true);
    ed_genre->setText(QStringLiteral("Various"));
    ed_desc = makeEdit(GroupBox1, QStringLiteral("ed_desc"), true);
    ed_desc->setText(QStringLiteral("Live"));

    auto* grid = new QGridLayout(GroupBox1);
    grid->addWidget(Label1, 0, 0, 1, 2);
    grid->addWidget(Label2, 1, 0, 1, 2);
    grid->addWidget(ed_server, 2, 0, 1, 2);
    grid->addWidget(new QLabel(QStringLiteral("Password:"), GroupBox1), 3, 0);
    grid->addWidget(ed_Password, 3, 1);
    grid->addWidget(chk_public, 4, 1);
    grid->addWidget(new QLabel(QStringLiteral("Name:"), GroupBox1), 5, 0);
    grid->addWidget(ed_Name, 5, 1);
    grid->addWidget(new QLabel(QStringLiteral("URL:"), GroupBox1), 6, 0);
    grid->addWidget(ed_url, 6, 1);
    grid->addWidget(new QLabel(QStringLiteral("Genre:"), GroupBox1), 7, 0);
    grid->addWidget(ed_genre, 7, 1);
    grid->addWidget(new QLabel(QStringLiteral("Description:"), GroupBox1), 8, 0);
    grid->addWidget(ed_desc, 8, 1);

    grp_Format = new QGroupBox(QStringLiteral("Format"), window);
    grp_Format->setObjectName(QStringLiteral("grp_Format"));
    chk_Mp3 = new QRadioButton(QStringLiteral("MP3"), grp_Format);
    chk_Mp3->setObjectName(QStringLiteral("chk_Mp3"));
    chk_Mp3->setChecked(true);
    chk_ogg = new QRadioButton(QStringLiteral("OGG"), grp_Format);
    chk_ogg->setObjectName(QStringLiteral("chk_ogg"));
    cb_Bitrate = new QComboBox(grp_Format);
    cb_Bitrate->setObjectName(QStringLiteral("cb_Bitrate"));
    cb_Bitrate->addItems({QStringLiteral("32"), QStringLiteral("40"), QStringLiteral("48"),
                          QStringLiteral("56"), QStringLiteral("64"), QStringLiteral("80"),
                          QStringLiteral("96"), QStringLiteral("112"), QStringLiteral("128"),
                          QStringLiteral("160"), QStringLiteral("192"), QStringLiteral("224"),
                          QStringLiteral("256"), QStringLiteral("320")});
    cb_Bitrate->setCurrentIndex(8);
    auto* fmt = new QHBoxLayout(grp_Format);
    fmt->addWidget(chk_Mp3);
    fmt->addWidget(chk_ogg);
    fmt->addWidget(new QLabel(QStringLiteral("bitrate"), grp_Format));
    fmt->addWidget(cb_Bitrate);
    grp_Format->setVisible(false);

    btn_start = new QPushButton(QStringLiteral("Start"), window);
    btn_start->setObjectName(QStringLiteral("btn_start"));
    chk_AutoReconnect = new QCheckBox(QStringLiteral("Auto-reconnect"), window);
    chk_AutoReconnect->setObjectName(QStringLiteral("chk_AutoReconnect"));
    chk_AutoReconnect->setChecked(true);

    auto* titleLabel = new QLabel(QStringLiteral("Track title"), window);
    ed_TrackTitle = makeEdit(window, QStringLiteral("ed_TrackTitle"), false);
    setTitleBoxEnabled(false);

    Pr_level = new QProgressBar(window);
    Pr_level->setObjectName(QStringLiteral("Pr_level"));
    Pr_level->setOrientation(Qt::Vertical);
    Pr_level->setRange(0, 32768);
    Pr_level->setValue(0);
    Pr_level->setTextVisible(false);
    Pr_level->setFixedWidth(18);

    LevelTimer = new QTimer(window);
    LevelTimer->setObjectName(QStringLiteral("LevelTimer"));
    LevelTimer->setInterval(10000);

    auto* buttons = new QHBoxLayout;
    buttons->addWidget(btn_start);
    buttons->addWidget(chk_AutoReconnect);
    buttons->addStretch();

    auto* left = new QVBoxLayout;
    left->addWidget(GroupBox1);
    left->addWidget(grp_Format);
    left->addLayout(buttons);
    left->addWidget(titleLabel);
    left->addWidget(ed_TrackTitle);
    extraRow = new QHBoxLayout;
    left->addLayout(extraRow);
    left->addStretch();

    auto* top = new QHBoxLayout(window);
    top->addLayout(left, 1);
    top->addWidget(Pr_level);
}

void CastControls::setSettingsEnabled(bool enabled)
{
    for (QWidget* w :
         std::initializer_list<QWidget*>{ed_server, ed_Password, ed_Name, ed_genre, ed_url, ed_desc,
                                         chk_public, chk_Mp3, chk_ogg, cb_Bitrate})
        w->setEnabled(enabled);
}

void CastControls::setTitleBoxEnabled(bool enabled)
{
    QPalette p = ed_TrackTitle->palette();
    const QColor ground = enabled ? QColor(Qt::white) : p.color(QPalette::Active, QPalette::Button);
    for (auto group : {QPalette::Active, QPalette::Inactive, QPalette::Disabled})
        p.setColor(group, QPalette::Base, ground);
    // Colour first, then the state, as the stop does it.
    ed_TrackTitle->setPalette(p);
    ed_TrackTitle->setEnabled(enabled);
}

void CastControls::setLevelBarColour(unsigned rgb)
{
    QPalette p = Pr_level->palette();
    const QColor c(static_cast<int>(rgb & 0xFF), static_cast<int>((rgb >> 8) & 0xFF),
                   static_cast<int>((rgb >> 16) & 0xFF));
    for (auto group : {QPalette::Active, QPalette::Inactive, QPalette::Disabled})
        p.setColor(group, QPalette::Highlight, c);
    Pr_level->setPalette(p);
}

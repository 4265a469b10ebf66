#include "passwordfield.h"

#include <QLineEdit>

void showAsPassword(QLineEdit& edit)
{
    edit.setEchoMode(QLineEdit::Password);
    // The style's own mask character is a bullet on most desktops.
    edit.setStyleSheet(QStringLiteral("lineedit-password-character: 42;"));
}

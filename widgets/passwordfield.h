#pragma once

class QLineEdit;

// A password field as every window of the program shows it: each character typed is a "*".
void showAsPassword(QLineEdit& edit);

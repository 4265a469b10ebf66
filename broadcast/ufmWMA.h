#pragma once
#include "appcontext.h"
#include "form.h"

class QLabel;
class QLineEdit;
class QProgressBar;
class QScrollBar;

// The live console. Other windows use the members below by these names: sign-in writes
// Edit1, scb and lbvol; the engine moves ProgressBar1.
class TForm2wma : public TForm {
    Q_OBJECT
public:
    explicit TForm2wma(AppContext& ctx);
    ~TForm2wma() override;

    QLineEdit* Edit1 = nullptr;
    QScrollBar* scb = nullptr;
    QLabel* lbvol = nullptr;
    QProgressBar* ProgressBar1 = nullptr;

private:
    AppContext& m_ctx;
};

#pragma once
#include "appcontext.h"
#include "form.h"

class TfmRegistrazione : public TForm {
    Q_OBJECT
public:
    explicit TfmRegistrazione(AppContext& ctx);

private:
    AppContext& m_ctx;
};

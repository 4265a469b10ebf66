#pragma once
#include "appcontext.h"
#include "form.h"

class TfmRip : public TForm {
    Q_OBJECT
public:
    explicit TfmRip(AppContext& ctx);

private:
    AppContext& m_ctx;
};

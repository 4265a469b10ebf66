#pragma once
#include "appcontext.h"
#include "form.h"

class TfmShoutCast7 : public TForm {
    Q_OBJECT
public:
    explicit TfmShoutCast7(AppContext& ctx);

private:
    AppContext& m_ctx;
};

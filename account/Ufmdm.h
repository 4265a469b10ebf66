#pragma once
#include "appcontext.h"
#include <QObject>

// The data module: the log connection and the second database's connection.
class Tdm : public QObject {
    Q_OBJECT
public:
    explicit Tdm(AppContext& ctx);

private:
    AppContext& m_ctx;
};

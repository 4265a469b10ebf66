#pragma once
#include <QString>
#include <stdexcept>

// An error that carries a text for the user (a provider's message, say).
class AppError : public std::runtime_error {
public:
    explicit AppError(const QString& text) : std::runtime_error(text.toStdString()), m_text(text) {}
    const QString& text() const { return m_text; }

private:
    QString m_text;
};

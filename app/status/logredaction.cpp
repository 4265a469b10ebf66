#include "logredaction.h"

#include <QRegularExpression>

QString redactLogLine(const QString& line)
{
    // Cheap test first: most lines carry none of these.
    static const QRegularExpression hint(
        QStringLiteral(R"((?:pass|pwd|secret|select|insert|update|delete|://[^/\s]*@))"),
        QRegularExpression::CaseInsensitiveOption);
    if (!hint.match(line).hasMatch())
        return line;

    static const QRegularExpression statement(
        QStringLiteral(R"(\b(?:select\s[\s\S]*?\sfrom\s|insert\s+into\s|update\s+\S+\s+set\s|)"
                       R"(delete\s+from\s)[\s\S]*)"),
        QRegularExpression::CaseInsensitiveOption);
    static const QRegularExpression assignment(
        QStringLiteral(R"(\b((?:pass(?:word|wd)?|pwd|secret)\w*\s*=\s*))"
                       R"(('[^']*'?|"[^"]*"?|[^\s&;,]+))"),
        QRegularExpression::CaseInsensitiveOption);
    static const QRegularExpression userInfo(QStringLiteral(R"((://[^/\s:@]*:)[^/\s@]+@)"));

    QString out = line;
    out.replace(statement, QStringLiteral("<SQL statement hidden>"));
    out.replace(assignment, QStringLiteral("\\1***"));
    out.replace(userInfo, QStringLiteral("\\1***@"));
    return out;
}

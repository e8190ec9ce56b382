#pragma once

#include <QByteArray>
#include <QString>

#include <string_view>

// Finds a text in UTF-8 cells, case-insensitively and as plain text. An
// all-ASCII text is looked for in ASCII cells byte by byte, without decoding;
// anything else goes through Unicode case folding.
class LogTextMatcher
{
public:
    LogTextMatcher() = default;
    explicit LogTextMatcher(const QString &text);

    bool isEmpty() const { return m_folded.isEmpty(); }
    QString text() const { return m_text; }
    bool matches(std::string_view utf8) const;

private:
    QString m_text;
    QString m_folded;
    QByteArray m_ascii;  // lower case; empty when the text is not all ASCII
};

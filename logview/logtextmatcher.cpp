#include "logtextmatcher.h"

#include <cstring>

namespace {
inline char lower(char c)
{
    return c >= 'A' && c <= 'Z' ? char(c + ('a' - 'A')) : c;
}

inline char upper(char c)
{
    return c >= 'a' && c <= 'z' ? char(c - ('a' - 'A')) : c;
}

bool isAscii(std::string_view bytes)
{
    for (char c : bytes) {
        if (uchar(c) >= 0x80)
            return false;
    }
    return true;
}

// The next place either case of the needle's first byte occurs, or null.
const char *nextCandidate(const char *from, const char *last, char lo, char up)
{
    const size_t span = size_t(last - from) + 1;
    const char *a = static_cast<const char *>(std::memchr(from, lo, span));
    if (lo == up)
        return a;
    const char *b = static_cast<const char *>(std::memchr(from, up, a ? size_t(a - from) : span));
    return b ? b : a;
}
}

LogTextMatcher::LogTextMatcher(const QString &text)
    : m_text(text)
    , m_folded(text.toCaseFolded())
{
    const QByteArray utf8 = m_folded.toUtf8();
    if (isAscii(std::string_view(utf8.constData(), size_t(utf8.size()))))
        m_ascii = utf8;
}

bool LogTextMatcher::matches(std::string_view utf8) const
{
    if (m_folded.isEmpty())
        return false;
    if (!m_ascii.isEmpty() && isAscii(utf8)) {
        const int n = m_ascii.size();
        if (int(utf8.size()) < n)
            return false;
        const char *hay = utf8.data();
        const char *last = hay + utf8.size() - size_t(n);
        const char lo = m_ascii.at(0);
        const char up = upper(lo);
        for (const char *at = nextCandidate(hay, last, lo, up); at; at = at < last ? nextCandidate(at + 1, last, lo, up) : nullptr) {
            int i = 1;
            while (i < n && lower(at[i]) == m_ascii.at(i))
                ++i;
            if (i == n)
                return true;
        }
        return false;
    }
    // Sized: a NUL is a character to match, not the end of the cell.
    const QString cell = QString::fromUtf8(utf8.data(), int(utf8.size()));
    return cell.contains(m_folded, Qt::CaseInsensitive);
}

#pragma once

#include <QByteArray>

#include <cstring>

// Cuts a byte stream into lines whatever the reads' sizes, holding at most
// maxLineBytes of an unfinished line: a longer line is handed on once, cut
// to the bound, and the rest of it is skipped up to its end.
class LineSplitter
{
public:
    explicit LineSplitter(int maxLineBytes)
        : m_maxLineBytes(maxLineBytes)
    {
    }

    // onLine(const char *line, int size, bool cut) for every line completed
    // or cut by these bytes; the line is without its '\n'.
    template<typename OnLine>
    void add(const char *data, qint64 size, OnLine onLine)
    {
        const char *p = data;
        const char *const end = data + size;
        while (p < end) {
            const char *nl = static_cast<const char *>(std::memchr(p, '\n', size_t(end - p)));
            if (m_skipping) {
                if (!nl)
                    break;
                m_skipping = false;
                p = nl + 1;
                continue;
            }
            const qint64 piece = (nl ? nl : end) - p;
            if (m_partial.size() + piece > m_maxLineBytes) {
                m_partial.append(p, m_maxLineBytes - m_partial.size());
                onLine(m_partial.constData(), m_partial.size(), true);
                m_partial.clear();
                if (!nl) {
                    m_skipping = true;
                    break;
                }
            } else if (!nl) {
                m_partial.append(p, int(piece));
                break;
            } else if (m_partial.isEmpty()) {
                // Most lines come whole in one read: no copy.
                onLine(p, int(piece), false);
            } else {
                m_partial.append(p, int(piece));
                onLine(m_partial.constData(), m_partial.size(), false);
                m_partial.clear();
            }
            p = nl + 1;
        }
    }

    // The stream ended: an unfinished line counts as a line.
    template<typename OnLine>
    void finish(OnLine onLine)
    {
        if (!m_partial.isEmpty())
            onLine(m_partial.constData(), m_partial.size(), false);
        reset();
    }

    // The bytes of the unfinished line waiting, -1 while a cut line's rest
    // is skipped.
    int partialBytes() const { return m_skipping ? -1 : m_partial.size(); }

    // Forgets the unfinished line, as for a new stream.
    void reset()
    {
        m_partial.clear();
        m_skipping = false;
    }

private:
    const int m_maxLineBytes;
    QByteArray m_partial;
    bool m_skipping = false;
};

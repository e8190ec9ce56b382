#include "plaintext.h"

#ifdef __SSE2__
#include <emmintrin.h>
#endif

namespace {

bool mustReplace(ushort u)
{
    // Printable ASCII, by far the most of any log, in one comparison.
    if (ushort(u - 0x20) < 0x5F)
        return false;
    if (u < 0x20)
        return u != '\t' && u != '\n';
    return (u >= 0x7F && u <= 0x9F) || (u >= 0x202A && u <= 0x202E) || (u >= 0x2066 && u <= 0x2069);
}

// Where the first character to replace is, else size. Every row of the log
// passes here: eight characters at a time while all are printable ASCII,
// tab or line feed.
int firstToReplace(const ushort *s, int size)
{
    int i = 0;
#ifdef __SSE2__
    const __m128i space = _mm_set1_epi16(0x20);
    const __m128i printable = _mm_set1_epi16(0x7E - 0x20);
    const __m128i tab = _mm_set1_epi16('\t');
    const __m128i lineFeed = _mm_set1_epi16('\n');
    for (; i + 8 <= size; i += 8) {
        const __m128i v = _mm_loadu_si128(reinterpret_cast<const __m128i *>(s + i));
        // Zero where 0x20 <= v <= 0x7E: below wraps round, above stays above.
        const __m128i beyond = _mm_subs_epu16(_mm_sub_epi16(v, space), printable);
        const __m128i plain = _mm_or_si128(_mm_cmpeq_epi16(beyond, _mm_setzero_si128()),
                                           _mm_or_si128(_mm_cmpeq_epi16(v, tab), _mm_cmpeq_epi16(v, lineFeed)));
        if (_mm_movemask_epi8(plain) == 0xFFFF)
            continue;
        for (int j = i; j < i + 8; ++j) {
            if (mustReplace(s[j]))
                return j;
        }
    }
#endif
    for (; i < size; ++i) {
        if (mustReplace(s[i]))
            return i;
    }
    return size;
}

}

bool PlainText::clean(QString *text)
{
    const int first = firstToReplace(text->utf16(), text->size());
    if (first == text->size())
        return false;
    QChar *out = text->data(); // detaches only now
    for (int i = first; i < text->size(); ++i) {
        if (mustReplace(out[i].unicode()))
            out[i] = QChar(Replacement);
    }
    return true;
}

void PlainText::cleanRow(DiagnosticMessage *msg)
{
    for (QString *member : {&msg->message, &msg->tenantUuid, &msg->linkedId, &msg->uniqueId, &msg->messageId,
                            &msg->timestamp, &msg->verbosity})
        clean(member);
    for (QString &field : msg->extraFields)
        clean(&field);
}

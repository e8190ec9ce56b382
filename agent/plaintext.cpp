#include "plaintext.h"

bool PlainText::clean(QString *text)
{
    const ushort *begin = text->utf16();
    const ushort *end = begin + text->size();
    const ushort *p = begin;
    while (p != end && !mustReplace(*p))
        ++p;
    if (p == end)
        return false;
    const int first = int(p - begin);
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

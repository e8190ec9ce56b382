#pragma once

#include "diagnosticmessage.h"

#include <QString>

// Rows carry what SIP peers and log lines wrote. Before a row leaves the
// agent, the characters that would steer a terminal or reorder text on a
// screen become U+FFFD: C0 controls but tab and line feed, DEL, C1 controls,
// and the bidirectional embeddings, overrides and isolates (U+202A-U+202E,
// U+2066-U+2069). The marks U+200E, U+200F and U+061C stay: right-to-left
// names need them, and they cannot reverse a run of letters.
class PlainText
{
public:
    static constexpr ushort Replacement = 0xFFFD;

    // True when the text had such characters; a text without any is not
    // copied.
    static bool clean(QString *text);
    static void cleanRow(DiagnosticMessage *msg);

    static bool mustReplace(ushort u)
    {
        // Printable ASCII, by far the most of any log, in one comparison.
        if (ushort(u - 0x20) < 0x5F)
            return false;
        if (u < 0x20)
            return u != '\t' && u != '\n';
        return (u >= 0x7F && u <= 0x9F) || (u >= 0x202A && u <= 0x202E) || (u >= 0x2066 && u <= 0x2069);
    }
};

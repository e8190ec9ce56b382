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
};

#pragma once

#include <QJsonObject>
#include <QMetaType>
#include <QString>

// A client's question about the calls an exchange has kept: which calls
// match ("history-calls"), or every row of one call ("history-rows").
// Everything in it is plain text; nothing is read as a pattern or a query
// language by whoever answers it.
struct HistoryRequest
{
    enum class Kind { Calls, Rows };

    // More calls are never sent in one answer, whatever the client asks.
    static constexpr int MaxLimit = 1000;
    static constexpr int DefaultLimit = 100;
    // Longer ids, texts and Call-IDs are refused rather than cut: a cut
    // text would answer another question.
    static constexpr int MaxIdLength = 256;
    static constexpr int MaxQueryLength = 256;
    static constexpr int MaxCallIdLength = 512;

    Kind kind = Kind::Calls;
    QString id;
    // Calls: empty text and times mean any.
    QString query;
    QString from;  // "yyyy-MM-dd HH:mm:ss"
    QString to;
    QString tenant;
    bool anyTenant = true;  // no tenant member was given
    int limit = DefaultLimit;
    // Rows
    QString callId;

    // Reads a "history-calls" or "history-rows" frame. False with the reason
    // in *error for an unknown or malformed member; *id is the request's id
    // whenever the frame carried one as text, so that the refusal names it.
    static bool fromJson(const QJsonObject &frame, HistoryRequest *request, QString *error, QString *id = nullptr);
    QJsonObject toJson() const;
    // "yyyy-MM-dd HH:mm:ss" with a valid date and time.
    static bool isTimeText(const QString &text);
};

Q_DECLARE_METATYPE(HistoryRequest)

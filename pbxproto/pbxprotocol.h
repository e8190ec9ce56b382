#pragma once

#include "diagnosticmessage.h"
#include "logindetails.h"
#include "servercommand.h"
#include "servercommandresponse.h"

#include <QByteArray>
#include <QJsonObject>
#include <QString>

// Frame types and record conversions shared by the client and the demo
// exchange, so that both ends read and write the same fields.
namespace PbxProtocol {

constexpr int ProtocolVersion = 2;
// The most of a reason the exchange gives that is shown or logged.
constexpr int MaxReasonLength = 300;
// The most of each short member of a log record (ids, tenant, timestamp, each
// extra field) and the most extra fields a record keeps: an exchange must not
// fill the client's memory through members nobody reads at that length.
constexpr int MaxLogMemberLength = 256;
constexpr int MaxLogExtraFields = 16;

// exchange -> client
extern const QString TypeHello;
extern const QString TypeLoginChallenge;
extern const QString TypeLoginOk;
extern const QString TypeLoginRefused;
extern const QString TypePong;
extern const QString TypeLog;
extern const QString TypeTenants;
extern const QString TypeSubscribed;
extern const QString TypeFeatures;
extern const QString TypeCommandResult;
extern const QString TypeError;
extern const QString TypeBye;
extern const QString TypeHistoryCallsResult;
extern const QString TypeHistoryRowsResult;
// client -> exchange
extern const QString TypeLogin;
extern const QString TypeLoginProof;
extern const QString TypePing;
extern const QString TypeGetTenants;
extern const QString TypeSubscribe;
extern const QString TypeCommand;
extern const QString TypeLogout;
extern const QString TypeHistoryCalls;
extern const QString TypeHistoryRows;
// The feature of an exchange that keeps what it served and answers the above.
extern const QString FeatureHistory;

QString frameType(const QJsonObject &frame);

// A reason from the exchange, cut to MaxReasonLength on a character
// boundary and then marked with "…".
QString boundedReason(const QString &reason);
// The text cut to at most maxLength UTF-16 units on a character boundary and
// then marked; unchanged when it fits.
QString boundedText(const QString &text, int maxLength, const QString &marker);
// Cuts the short members of a received log record to their bounds, each
// marked with "..." as a long message is; the message itself is left whole.
void boundLogMembers(DiagnosticMessage *msg);
// One such member as boundLogMembers() leaves it.
QString boundedLogMember(const QString &text);

QJsonObject diagnosticMessageToJson(const DiagnosticMessage &msg);
// The same record as a whole frame, line end included, written directly:
// the JSON object's way costs an exchange most of its time per log line.
// Empty when the frame would pass the size limit.
QByteArray encodeLogFrame(const DiagnosticMessage &msg);
// False when a field has the wrong type or the level is missing. A level
// outside 0 to 4 is read as the nearer of the two.
bool diagnosticMessageFromJson(const QJsonObject &frame, DiagnosticMessage *msg);

QJsonObject serverCommandToJson(const ServerCommand &command);
bool serverCommandFromJson(const QJsonObject &frame, ServerCommand *command);

QJsonObject commandResponseToJson(const ServerCommandResponse &response);
bool commandResponseFromJson(const QJsonObject &frame, ServerCommandResponse *response);

QJsonObject loginDetailsToJson(const LoginDetails &details);
bool loginDetailsFromJson(const QJsonObject &frame, LoginDetails *details);

// Field readers that accept only the expected JSON type. A missing field
// reads as the default; a field of another type makes *ok false.
QString optString(const QJsonObject &o, const QString &key, bool *ok);
QStringList optStringList(const QJsonObject &o, const QString &key, bool *ok);
// Integral numbers in int range only.
int optInt(const QJsonObject &o, const QString &key, int defaultValue, bool *ok);

}

#pragma once

#include "pbxtenant.h"

#include <QJsonValue>
#include <QList>
#include <QPair>
#include <QString>
#include <QStringList>
#include <QVector>

// Kamailio's JSON-RPC results as the text the command bar shows. Pure:
// anything Kamailio (or a stranger on its socket) sends gives text or an
// empty list, never more than the cells' bounds allow per row.
namespace KamailioTables {

// The domain's did as the uuid, its domains, ", "-joined, as the name.
using Tenant = PbxTenant;

// Columns padded to their widest cell; control characters in cells become
// spaces and a cell is cut at 80 characters.
QString table(const QStringList &header, const QVector<QStringList> &rows);

// The (table, address of record) pairs of `ul.dump brief`, sorted.
QList<QPair<QString, QString>> usrlocAors(const QJsonValue &briefDump);
// Rows (address of record, contact, expires, user agent) of an `ul.lookup`
// result or of a full `ul.dump`, addresses of record as SIP URIs ("(no
// domain)" after one that has none).
QVector<QStringList> contactRows(const QJsonValue &result);
QString peersTable(const QVector<QStringList> &rows);

// The calls of `dlg.list` (or `dlg.briefing`) not yet ended: caller,
// callee, state, duration against now (seconds since the epoch), Call-ID.
QString hintsTable(const QJsonValue &dialogs, qint64 now);
QString dialogState(int state);

// `uac.reg_dump` without its credentials.
QString registryTable(const QJsonValue &registrations);

// Tenants of `domain.dump`: one per did, sorted by name.
QVector<PbxTenant> tenants(const QJsonValue &domainDump);

// A result of any other method: its text, its list of texts, or indented JSON.
QString plain(const QJsonValue &result);

}

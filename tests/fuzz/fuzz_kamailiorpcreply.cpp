// Kamailio's JSON-RPC replies, as from its datagram socket: the reply reader,
// then every table the agent makes of a result.
#include "fuzzsupport.h"
#include "kamailiorpcreply.h"
#include "kamailiotables.h"

#include <QSet>

namespace {

// Peer text never breaks a table's lines or grows a row past its cells' bounds.
void checkTable(const QString &text, int columns)
{
    const QStringList lines = text.split(QLatin1Char('\n'));
    for (const QString &line : lines) {
        for (const QChar c : line)
            FUZZ_CHECK(c.category() != QChar::Other_Control);
        FUZZ_CHECK(line.size() <= columns * (80 + 2) + 100);
    }
}

}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    static const bool silenced = (FuzzSupport::silenceQtMessages(), true);
    Q_UNUSED(silenced);
    const QByteArray bytes(reinterpret_cast<const char *>(data), int(size));
    const KamailioRpcReply reply = KamailioRpcReply::read(bytes);
    FUZZ_CHECK(reply.message.size() <= 303);
    FUZZ_CHECK(reply.id >= -1);
    FUZZ_CHECK(reply.ok() == (reply.status == KamailioRpcReply::Ok));
    FUZZ_CHECK(reply.status == KamailioRpcReply::Ok || !reply.message.isEmpty());
    FUZZ_CHECK(!reply.describe().isEmpty());
    if (!reply.ok())
        return 0;

    const QJsonValue &result = reply.result;
    const QList<QPair<QString, QString>> aors = KamailioTables::usrlocAors(result);
    for (const auto &aor : aors)
        FUZZ_CHECK(!aor.first.isEmpty() && !aor.second.isEmpty());
    const QVector<QStringList> rows = KamailioTables::contactRows(result);
    for (const QStringList &row : rows)
        FUZZ_CHECK(row.size() == 4);
    checkTable(KamailioTables::peersTable(rows), 4);
    checkTable(KamailioTables::hintsTable(result, 1800000000), 5);
    checkTable(KamailioTables::registryTable(result), 5);
    KamailioTables::plain(result);

    QSet<QString> uuids;
    const QVector<KamailioTables::Tenant> tenants = KamailioTables::tenants(result);
    for (const KamailioTables::Tenant &t : tenants) {
        FUZZ_CHECK(!t.uuid.isEmpty() && t.uuid.size() <= 256 && !t.name.isEmpty());
        FUZZ_CHECK(!uuids.contains(t.uuid));
        uuids.insert(t.uuid);
    }
    return 0;
}

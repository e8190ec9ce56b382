#pragma once

#include <QHostAddress>
#include <QMap>
#include <QMetaType>
#include <QString>

namespace PBXLINK {

// How a client presents itself to the exchange. The logger logs in as a
// diagnostic console.
enum AppMode {
    AppModeUnknown = 0,
    AppModeOperator = 1,
    AppModeSoftphone = 2,
    AppModeSupervisor = 3,
    AppModeMonitor = 4,
    AppModeDiagnostic = 5,
};

// The reason an attempt ends with when the exchange's certificate is not the
// one pinned for its address; nothing was sent to that exchange.
constexpr char ReasonIdentityChanged[] = "exchange identity changed";
// The reason an attempt ends with when the pins cannot be read: an exchange
// cannot be told apart from an unknown one then; nothing was sent to it.
constexpr char ReasonKnownExchangesUnreadable[] = "known exchanges unreadable";

// Compares dotted versions by their numeric components: negative when a is
// older than b, 0 when equal, positive when newer. "4.10" is newer than
// "4.2"; missing components count as 0, so "4.2" equals "4.2.0". Each
// component is read by its leading digits ("2-rc1" counts as 2); a component
// without leading digits, and so an empty or malformed version, counts as 0.
int compareVersions(const QString &a, const QString &b);

// Registers the link's record types with the meta-type system, so that they
// can travel through queued connections. Safe to call more than once.
void registerMetaTypes();

}


#pragma once

#include "pbxbackend.h"

#include <QMap>
#include <QString>
#include <QStringList>
#include <QVector>

// Everything that shapes one agent: from the defaults, then the
// configuration file, then the command line, each overriding the one before.
struct AgentConfig
{
    static QString defaultConfigFile() { return QStringLiteral("/etc/plogger4-agent/agent.ini"); }

    QString configFile;  // the file read, or empty
    QStringList listen{QStringLiteral("0.0.0.0:5039")};
    QString stateDir = QStringLiteral("/var/lib/plogger4-agent");
    QString runtimeDir;  // empty: the state folder
    QString accountsFile = QStringLiteral("/etc/plogger4-agent/accounts");
    QString certificateFile;  // with keyFile; empty: made in the state folder on first start
    QString keyFile;
    // Read side by side; the file's first "source =" replaces the default.
    QStringList sources{QStringLiteral("journal:kamailio")};
    QString tenantPattern;  // a regular expression with one group, for lines without t=
    QString rpcSocket = QStringLiteral("/run/kamailio/kamailio_rpc.sock");
    bool tenantsFromRpc = false;
    QVector<PbxTenant> tenants;
    QStringList domains;  // login domains served; empty: the domain is not checked
    QMap<QString, QString> commands;  // command name -> mapping text
    int maxClients = 16;  // logged in at once
    int maxSessionsPerAccount = 4;
    qint64 maxUnreadBytes = 32 * 1024 * 1024;
    int idleTimeoutMs = 60000;
    bool discovery = false;
    QString discoveryListen = QStringLiteral("0.0.0.0:45454");
    QString hepListen;    // empty: no HEP; HOST:PORT, or a port on loopback
    QString hepPassword;  // the capture password HEP packets must carry; empty: none
    // What was served is kept in the state folder for the clients' searches.
    bool historyEnabled = true;
    int historyKeepDays = 7;
    qint64 historyMaxMib = 2048;

    QStringList warnings;  // unknown keys and the like, "file:line: text"

    // Reads an INI file: [section], key = value, ';' or '#' comments. False
    // with "file:line: fault" in error for anything it cannot take.
    bool readFile(const QString &path, QString *error);
    // The folder for the reply socket of Kamailio's control channel.
    QString effectiveRuntimeDir() const { return runtimeDir.isEmpty() ? stateDir : runtimeDir; }
    // "UUID=NAME"; false for anything else.
    static bool parseTenant(const QString &text, PbxTenant *tenant);
    // What the agent would do, for --check-config.
    QString describe() const;
};

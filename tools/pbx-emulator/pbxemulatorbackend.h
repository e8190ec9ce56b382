#pragma once

#include "pbxbackend.h"
#include "pbxemulatorconfig.h"

// The demo exchange's accounts, tenants and canned command answers.
class PbxEmulatorBackend : public PbxBackend
{
public:
    explicit PbxEmulatorBackend(const PbxEmulatorConfig &config);

    std::optional<Scram::Verifier> verifier(const QString &user, const QString &domain) const override;
    QVector<PbxTenant> tenants() const override;
    void runCommand(const ServerCommand &command, const PbxCommandOrigin &origin, CommandDone done) override;

    // Canned output of a diagnostic command; also used by tests of the emulator itself.
    static void answer(const QString &command, const QStringList &params, bool *executed, int *code, QString *detail,
                       QString *output);

private:
    const PbxEmulatorConfig m_config;
};

#include "framereplay.h"

#include "callgenerator.h"
#include "pbxframecodec.h"
#include "pbxprotocol.h"

#include <QSaveFile>

bool FrameReplay::record(const QString &fileName, qint64 count, quint32 seed, QString *error)
{
    QSaveFile file(fileName);
    if (!file.open(QIODevice::WriteOnly)) {
        *error = file.errorString();
        return false;
    }
    CallGenerator generator(seed);
    for (qint64 i = 0; i < count; ++i) {
        if (file.write(PbxFrameCodec::encode(PbxProtocol::diagnosticMessageToJson(generator.next()))) < 0)
            break;
    }
    if (!file.commit()) {
        *error = file.errorString();
        return false;
    }
    return true;
}

bool FrameReplay::open(const QString &fileName, QString *error)
{
    m_file.setFileName(fileName);
    if (!m_file.open(QIODevice::ReadOnly)) {
        *error = m_file.errorString();
        return false;
    }
    if (m_file.size() == 0) {
        *error = QStringLiteral("the recording is empty");
        return false;
    }
    return true;
}

QByteArray FrameReplay::nextFrame()
{
    for (int attempt = 0; attempt < 2; ++attempt) {
        if (m_file.atEnd())
            m_file.seek(0);
        QByteArray line = m_file.readLine(PbxFrameCodec::DefaultMaxFrameSize);
        if (line.isEmpty())
            continue;
        if (!line.endsWith('\n'))
            line.append('\n');
        return line;
    }
    return {};
}

#include "framereplay.h"

#include "callgenerator.h"
#include "pbxframecodec.h"
#include "pbxprotocol.h"

#include <QSaveFile>

namespace {
constexpr qint64 kReadSize = 1 << 20;
}

bool FrameReplay::record(const QString &fileName, qint64 count, quint32 seed, QString *error)
{
    QSaveFile file(fileName);
    if (!file.open(QIODevice::WriteOnly)) {
        *error = file.errorString();
        return false;
    }
    CallGenerator generator(seed);
    for (qint64 i = 0; i < count; ++i) {
        if (file.write(PbxProtocol::encodeLogFrame(generator.next())) < 0)
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
    // Enough reads for the longest frame, and a wrap-around on the way.
    const int attempts = 3 + PbxFrameCodec::DefaultMaxFrameSize / kReadSize;
    for (int attempt = 0; attempt < attempts; ++attempt) {
        const int lf = m_buffer.indexOf('\n', m_position);
        if (lf >= 0) {
            const QByteArray line = m_buffer.mid(m_position, lf + 1 - m_position);
            m_position = lf + 1;
            return line;
        }
        // Refill in large reads; a last line without its line end gets one.
        QByteArray rest = m_buffer.mid(m_position);
        if (m_file.atEnd()) {
            m_file.seek(0);
            if (!rest.isEmpty()) {
                m_buffer.clear();
                m_position = 0;
                return rest + '\n';
            }
        }
        if (rest.size() >= PbxFrameCodec::DefaultMaxFrameSize)
            rest.clear();  // no frame is that long: skip it
        m_buffer = rest + m_file.read(kReadSize);
        m_position = 0;
    }
    return {};
}

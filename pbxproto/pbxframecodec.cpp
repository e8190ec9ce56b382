#include "pbxframecodec.h"

#include <QJsonDocument>
#include <QJsonParseError>

PbxFrameCodec::PbxFrameCodec(int maxFrameSize)
    : m_maxFrameSize(qMax(1, maxFrameSize))
{
}

void PbxFrameCodec::reset()
{
    m_buffer.clear();
    m_readPos = 0;
    m_scanPos = 0;
    m_tailStart = 0;
    m_overflow = false;
}

bool PbxFrameCodec::feed(const QByteArray &bytes)
{
    if (m_overflow)
        return false;
    compact();
    const int oldSize = m_buffer.size();
    m_buffer.append(bytes);
    // Only the new bytes are searched, so a long frame arriving in many
    // pieces costs linear time.
    for (int i = m_buffer.size() - 1; i >= oldSize; --i) {
        if (m_buffer.at(i) == '\n') {
            m_tailStart = i + 1;
            break;
        }
    }
    // Check the unterminated tail right away: waiting for its line feed is
    // exactly what an oversized frame must not be allowed to cause.
    if (m_buffer.size() - m_tailStart > m_maxFrameSize) {
        setOverflow();
        return false;
    }
    return true;
}

void PbxFrameCodec::setOverflow()
{
    m_overflow = true;
    m_buffer.clear();
    m_buffer.squeeze();
    m_readPos = m_scanPos = m_tailStart = 0;
}

void PbxFrameCodec::compact()
{
    // Drop consumed lines only once they make up a good part of the buffer,
    // so that many small frames do not cost a copy each.
    if (m_readPos > 0 && (m_readPos >= m_buffer.size() || m_readPos > 64 * 1024)) {
        m_buffer.remove(0, m_readPos);
        m_tailStart -= m_readPos;
        m_readPos = 0;
    }
}

PbxFrameCodec::Result PbxFrameCodec::next(QJsonObject *frame, QString *error)
{
    if (m_overflow) {
        if (error)
            *error = QStringLiteral("frame larger than %1 bytes").arg(m_maxFrameSize);
        return Result::Overflow;
    }
    for (;;) {
        const int from = m_readPos + m_scanPos;
        const int end = m_buffer.indexOf('\n', from);
        if (end < 0) {
            m_scanPos = m_buffer.size() - m_readPos;
            return Result::NeedMore;
        }
        const int start = m_readPos;
        m_readPos = end + 1;
        m_scanPos = 0;

        int length = end - start;
        if (length > m_maxFrameSize) {
            // Only reachable when a single feed carried several lines.
            setOverflow();
            if (error)
                *error = QStringLiteral("frame larger than %1 bytes").arg(m_maxFrameSize);
            return Result::Overflow;
        }
        if (length > 0 && m_buffer.at(end - 1) == '\r')
            --length;
        if (length == 0)
            continue;   // blank lines are padding, not frames

        const QByteArray line = QByteArray::fromRawData(m_buffer.constData() + start, length);
        if (line.contains('\0')) {
            if (error)
                *error = QStringLiteral("NUL byte in frame");
            return Result::BadFrame;
        }
        QJsonParseError parseError;
        const QJsonDocument doc = QJsonDocument::fromJson(line, &parseError);
        if (parseError.error != QJsonParseError::NoError) {
            if (error)
                *error = QStringLiteral("invalid JSON at offset %1: %2")
                             .arg(parseError.offset)
                             .arg(parseError.errorString());
            return Result::BadFrame;
        }
        if (!doc.isObject()) {
            if (error)
                *error = QStringLiteral("frame is not a JSON object");
            return Result::BadFrame;
        }
        if (frame)
            *frame = doc.object();
        return Result::Frame;
    }
}

QByteArray PbxFrameCodec::encode(const QJsonObject &frame, int maxFrameSize)
{
    QByteArray line = QJsonDocument(frame).toJson(QJsonDocument::Compact);
    if (line.size() > maxFrameSize)
        return QByteArray();
    line.append('\n');
    return line;
}

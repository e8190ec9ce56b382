#pragma once

#include <QByteArray>
#include <QJsonObject>
#include <QString>

// Newline-delimited JSON framing shared by both ends of the link.
//
// Bytes go in with feed(); whole frames come out of next(), one JSON object
// per line. A line longer than maxFrameSize() puts the codec into a sticky
// overflow state at once, before its end has arrived, so a peer cannot make
// it buffer without bound.
class PbxFrameCodec
{
public:
    enum class Result {
        Frame,     // a JSON object was decoded
        NeedMore,  // no complete line is buffered
        BadFrame,  // one complete line was not a JSON object; it is consumed
        Overflow,  // a line exceeds the size limit; the codec accepts nothing more
    };

    static constexpr int DefaultMaxFrameSize = 8 * 1024 * 1024;

    explicit PbxFrameCodec(int maxFrameSize = DefaultMaxFrameSize);

    // Returns false once the codec has overflowed; the bytes are then dropped.
    bool feed(const QByteArray &bytes);
    Result next(QJsonObject *frame, QString *error = nullptr);

    bool hasOverflowed() const { return m_overflow; }
    int maxFrameSize() const { return m_maxFrameSize; }
    // A peer may get a larger limit once it is trusted; bytes already
    // buffered are judged by the new one.
    void setMaxFrameSize(int maxFrameSize) { m_maxFrameSize = qMax(1, maxFrameSize); }
    int bufferedBytes() const { return int(m_buffer.size() - m_readPos); }
    void reset();

    // One compact line with its terminating line feed; empty when the object
    // would exceed the size limit.
    static QByteArray encode(const QJsonObject &frame, int maxFrameSize = DefaultMaxFrameSize);

private:
    void compact();
    void setOverflow();

    QByteArray m_buffer;
    int m_readPos = 0;   // start of the first unread line
    int m_scanPos = 0;   // bytes before this (from m_readPos) hold no line feed
    int m_tailStart = 0; // start of the line not yet ended by a line feed
    int m_maxFrameSize;
    bool m_overflow = false;
};

#include "hepdecoder.h"

#include <zlib.h>

#include <cstring>

namespace {

enum ChunkType : quint16 {
    AddressFamily = 1,
    IpProtocol = 2,
    Ipv4Source = 3,
    Ipv4Destination = 4,
    Ipv6Source = 5,
    Ipv6Destination = 6,
    SourcePort = 7,
    DestinationPort = 8,
    Seconds = 9,
    Microseconds = 10,
    ProtocolType = 11,
    CaptureId = 12,
    AuthKey = 14,
    Payload = 15,
    CompressedPayload = 16,
    CorrelationId = 17,
};

quint16 u16(const char *p)
{
    return quint16((uchar(p[0]) << 8) | uchar(p[1]));
}

quint32 u32(const char *p)
{
    return (quint32(uchar(p[0])) << 24) | (quint32(uchar(p[1])) << 16) | (quint32(uchar(p[2])) << 8) | uchar(p[3]);
}

// zlib or gzip, detected from the header; a bomb stops at the bound.
bool inflateBounded(const char *data, int size, QByteArray *out)
{
    z_stream stream;
    std::memset(&stream, 0, sizeof stream);
    if (inflateInit2(&stream, 15 + 32) != Z_OK)
        return false;
    QByteArray buffer;
    buffer.resize(qMin(HepDecoder::MaxInflatedBytes + 1, qMax(4096, size * 8)));
    stream.next_in = reinterpret_cast<Bytef *>(const_cast<char *>(data));
    stream.avail_in = uInt(size);
    int result = Z_OK;
    while (result == Z_OK) {
        if (stream.total_out == uLong(buffer.size())) {
            if (buffer.size() > HepDecoder::MaxInflatedBytes)
                break;
            buffer.resize(qMin(HepDecoder::MaxInflatedBytes + 1, buffer.size() * 2));
        }
        stream.next_out = reinterpret_cast<Bytef *>(buffer.data()) + stream.total_out;
        stream.avail_out = uInt(buffer.size() - int(stream.total_out));
        result = inflate(&stream, Z_NO_FLUSH);
        if (result == Z_BUF_ERROR && stream.avail_out > 0)
            break; // input ended before the stream did
        if (result == Z_BUF_ERROR)
            result = Z_OK;
    }
    const bool ok = result == Z_STREAM_END && stream.total_out <= uLong(HepDecoder::MaxInflatedBytes);
    buffer.resize(int(stream.total_out));
    inflateEnd(&stream);
    if (ok)
        *out = buffer;
    return ok;
}

// In a time that does not tell how much of the secret was right.
bool sameSecret(const QByteArray &a, const QByteArray &b)
{
    if (a.size() != b.size())
        return false;
    uchar diff = 0;
    for (int i = 0; i < a.size(); ++i)
        diff |= uchar(a[i] ^ b[i]);
    return diff == 0;
}

}

int HepDecoder::frameLength(const char *data, int size)
{
    if (size < HeaderSize)
        return 0;
    if (std::memcmp(data, "HEP3", 4) != 0)
        return -1;
    const int length = u16(data + 4);
    return length < HeaderSize ? -1 : length;
}

HepDecoder::Error HepDecoder::decode(const char *data, int size, HepPacket *packet, const QByteArray &password)
{
    *packet = HepPacket();
    if (size < HeaderSize || std::memcmp(data, "HEP3", 4) != 0)
        return NotHep3;
    if (u16(data + 4) != size)
        return LengthMismatch;

    // Copied or inflated only once the whole packet is read and the key
    // checked.
    const char *payload = nullptr;
    int payloadSize = 0;
    bool compressed = false;
    int pos = HeaderSize;
    while (pos < size) {
        if (size - pos < HeaderSize)
            return BadChunk;
        const quint16 vendor = u16(data + pos);
        const quint16 type = u16(data + pos + 2);
        const int length = u16(data + pos + 4);
        if (length < HeaderSize || length > size - pos)
            return BadChunk;
        const char *value = data + pos + HeaderSize;
        const int valueSize = length - HeaderSize;
        pos += length;
        if (vendor != 0)
            continue;

        auto fixed = [valueSize](int wanted) { return valueSize == wanted; };
        switch (type) {
        case AddressFamily:
        case IpProtocol:
        case ProtocolType:
            if (!fixed(1))
                return BadChunkSize;
            (type == AddressFamily ? packet->addressFamily
                                   : type == IpProtocol ? packet->ipProtocol : packet->protocolType) = quint8(value[0]);
            break;
        case Ipv4Source:
        case Ipv4Destination:
            if (!fixed(4))
                return BadChunkSize;
            (type == Ipv4Source ? packet->source : packet->destination).setAddress(u32(value));
            break;
        case Ipv6Source:
        case Ipv6Destination:
            if (!fixed(16))
                return BadChunkSize;
            (type == Ipv6Source ? packet->source : packet->destination)
                .setAddress(reinterpret_cast<const quint8 *>(value));
            break;
        case SourcePort:
        case DestinationPort:
            if (!fixed(2))
                return BadChunkSize;
            (type == SourcePort ? packet->sourcePort : packet->destinationPort) = u16(value);
            break;
        case Seconds:
        case Microseconds:
        case CaptureId:
            if (!fixed(4))
                return BadChunkSize;
            (type == Seconds ? packet->seconds : type == Microseconds ? packet->microseconds : packet->captureId) =
                u32(value);
            break;
        case AuthKey:
            packet->hasAuthKey = true;
            packet->authKey = QByteArray(value, valueSize);
            break;
        case Payload:
        case CompressedPayload:
            if (payload)
                return TwoPayloads;
            payload = value;
            payloadSize = valueSize;
            compressed = type == CompressedPayload;
            break;
        case CorrelationId:
            packet->correlationId = QByteArray(value, valueSize);
            break;
        default:
            break; // keep-alive, node name and what later versions add
        }
    }
    if (!payload)
        return NoPayload;
    if (!password.isEmpty() && !(packet->hasAuthKey && sameSecret(packet->authKey, password)))
        return Unauthenticated;
    if (!compressed)
        packet->payload = QByteArray(payload, payloadSize);
    else if (!inflateBounded(payload, payloadSize, &packet->payload))
        return BadCompressedPayload;
    return NoError;
}

QString HepDecoder::errorName(Error error)
{
    switch (error) {
    case NoError:
        return QStringLiteral("none");
    case NotHep3:
        return QStringLiteral("not-hep3");
    case LengthMismatch:
        return QStringLiteral("length-mismatch");
    case BadChunk:
        return QStringLiteral("bad-chunk");
    case BadChunkSize:
        return QStringLiteral("bad-chunk-size");
    case NoPayload:
        return QStringLiteral("no-payload");
    case BadCompressedPayload:
        return QStringLiteral("bad-compressed-payload");
    case TwoPayloads:
        return QStringLiteral("two-payloads");
    case Unauthenticated:
        return QStringLiteral("unauthenticated");
    case ErrorCount:
        break;
    }
    return QStringLiteral("unknown");
}

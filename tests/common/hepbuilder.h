#pragma once

#include <QByteArray>
#include <QHostAddress>
#include <QtEndian>

#include <zlib.h>

// Builds HEP version 3 packets as a SIP server's capture side sends them.
class HepBuilder
{
public:
    HepBuilder &chunk(quint16 type, const QByteArray &value, quint16 vendor = 0)
    {
        m_chunks += be16(vendor) + be16(type) + be16(quint16(value.size() + 6)) + value;
        return *this;
    }
    HepBuilder &u8(quint16 type, quint8 v) { return chunk(type, QByteArray(1, char(v))); }
    HepBuilder &u16(quint16 type, quint16 v) { return chunk(type, be16(v)); }
    HepBuilder &u32(quint16 type, quint32 v)
    {
        char b[4];
        qToBigEndian(v, b);
        return chunk(type, QByteArray(b, 4));
    }

    // The chunks Kamailio's siptrace sends for one message over IPv4 UDP.
    HepBuilder &sip(const QByteArray &message, const char *from = "127.0.0.1", quint16 fromPort = 5070,
                    const char *to = "127.0.0.1", quint16 toPort = 5060)
    {
        addresses(from, fromPort, to, toPort);
        u32(9, 1700000000).u32(10, 123456).u8(11, 1).u32(12, 2001);
        return chunk(15, message);
    }
    HepBuilder &log(const QByteArray &text, const QByteArray &correlationId)
    {
        addresses("127.0.0.1", 5060, "127.0.0.1", 5060);
        u32(9, 1700000000).u32(10, 0).u8(11, 100).u32(12, 2001).chunk(17, correlationId);
        return chunk(15, text);
    }
    HepBuilder &addresses(const char *from, quint16 fromPort, const char *to, quint16 toPort)
    {
        const QHostAddress a(QString::fromLatin1(from));
        const QHostAddress b(QString::fromLatin1(to));
        if (a.protocol() == QAbstractSocket::IPv6Protocol) {
            u8(1, 10).u8(2, 17);
            const Q_IPV6ADDR x = a.toIPv6Address();
            const Q_IPV6ADDR y = b.toIPv6Address();
            chunk(5, QByteArray(reinterpret_cast<const char *>(x.c), 16));
            chunk(6, QByteArray(reinterpret_cast<const char *>(y.c), 16));
        } else {
            u8(1, 2).u8(2, 17).u32(3, a.toIPv4Address()).u32(4, b.toIPv4Address());
        }
        return u16(7, fromPort).u16(8, toPort);
    }

    QByteArray packet() const { return QByteArray("HEP3") + be16(quint16(m_chunks.size() + 6)) + m_chunks; }

    static QByteArray zlib(const QByteArray &data)
    {
        uLongf size = compressBound(uLong(data.size()));
        QByteArray out(int(size), '\0');
        compress(reinterpret_cast<Bytef *>(out.data()), &size, reinterpret_cast<const Bytef *>(data.constData()),
                 uLong(data.size()));
        out.resize(int(size));
        return out;
    }

    static QByteArray be16(quint16 v)
    {
        char b[2];
        qToBigEndian(v, b);
        return QByteArray(b, 2);
    }

private:
    QByteArray m_chunks;
};

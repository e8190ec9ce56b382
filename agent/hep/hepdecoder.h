#pragma once

#include "heppacket.h"

#include <QByteArray>
#include <QString>

// Reads HEP version 3 ("HEP3", total length, then chunks of vendor, type and
// length). Only the generic vendor's chunks are read; others are skipped.
// Nothing past the given bytes is ever read: a packet whose lengths do not
// add up is refused with the reason.
class HepDecoder
{
public:
    enum Error {
        NoError,
        NotHep3,           // too short for a header, or another magic
        LengthMismatch,    // total length is not the datagram's size
        BadChunk,          // a chunk shorter than its header or past the end
        BadChunkSize,      // a known chunk of the wrong size for its type
        NoPayload,
        BadCompressedPayload,
        TwoPayloads,       // a second payload chunk, compressed or not
        Unauthenticated,   // without the password asked for: not a drop
        ErrorCount
    };

    static constexpr int HeaderSize = 6;
    // A compressed payload inflates to at most this much; more is refused.
    // As much as an uncompressed payload chunk can carry.
    static constexpr int MaxInflatedBytes = 64 * 1024;

    // One whole packet: data holds exactly its total length. With a
    // password, a packet without that authentication key is refused before
    // its payload is inflated, so that strangers cannot make the agent work.
    static Error decode(const char *data, int size, HepPacket *packet, const QByteArray &password = QByteArray());

    // For a stream: the packet's total length once the header is there,
    // 0 while fewer than HeaderSize bytes are at hand, -1 when the bytes are
    // no HEP3 header (the stream cannot be followed any further).
    static int frameLength(const char *data, int size);

    // Short English words for the counters' line ("truncated", ...).
    static QString errorName(Error error);
};

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
        ErrorCount
    };

    static constexpr int HeaderSize = 6;
    // A compressed payload inflates to at most this much; more is refused.
    static constexpr int MaxInflatedBytes = 1024 * 1024;

    // One whole packet: data holds exactly its total length.
    static Error decode(const char *data, int size, HepPacket *packet);

    // For a stream: the packet's total length once the header is there,
    // 0 while fewer than HeaderSize bytes are at hand, -1 when the bytes are
    // no HEP3 header (the stream cannot be followed any further).
    static int frameLength(const char *data, int size);

    // Short English words for the counters' line ("truncated", ...).
    static QString errorName(Error error);
};

#pragma once

#include <QString>

class QHostAddress;
class QSslCertificate;

// How both ends of the link name an exchange: its address as typed or
// configured, and the certificate fingerprint it is pinned by.
namespace PbxEndpoint {

// Reads an IP literal as the user means it: IPv4 only as four decimal parts,
// even with leading zeros ("192.168.010.020" is 192.168.10.20, not the octal
// reading), or an IPv6 literal. False for anything else, such as the shorter,
// octal or hex forms inet_aton would read ("127.0.010", "10.1", "0x7f.1").
bool parseHost(const QString &text, QHostAddress *address);

struct PortRules
{
    // The port when the text names none; 0: the text must name one.
    quint16 defaultPort = 0;
    // Port 0 asks the system for a free one, which only a listener may.
    bool zeroAllowed = false;
};

// "HOST:PORT" or "[IPV6]:PORT", the host read by parseHost. Where a port may
// be left out, a bare IPv6 literal is the address as a whole ("::1:5039" is
// that address on the default port); where it must be written, the last
// colon starts it.
bool parse(const QString &text, const PortRules &rules, QHostAddress *host, quint16 *port);

// A listen address: the port must be written, 0 picks a free one.
bool parseListen(const QString &text, QHostAddress *host, quint16 *port);

// SHA-256 of the certificate as upper-case hex pairs joined by ':'.
QString certificateFingerprint(const QSslCertificate &certificate);

}

#pragma once

#include <QString>

// The capabilities the agent's unit grants it are meant for the programs it
// runs, never for the agent itself: CAP_NET_RAW lets Debian's ping (which
// carries it as a file capability) open its raw socket even under
// no-new-privileges, as long as the process that runs it still has it in its
// permitted set.
class ProcessCapabilities
{
public:
    // Keeps CAP_NET_RAW only in the permitted set: out of the agent's
    // effective set, and out of the inheritable and ambient sets, so that
    // only a program carrying it as a file capability gets it. Nothing to
    // do without it. False, with *error set, when the kernel refuses.
    static bool keepNetRawForFileCapabilitiesOnly(QString *error);
    // Whether this process may use CAP_NET_RAW itself now.
    static bool hasEffectiveNetRaw();
};

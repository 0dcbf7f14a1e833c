#pragma once

/** Dialling the companion application, which runs on this machine.

    The link dials the loopback addresses by number and never asks the
    system's resolver for "localhost": a resolver that hangs (no localhost
    line in /etc/hosts, a DNS server that never answers) would hold every
    attempt for seconds, past every bound of the link's teardown, and a hosts
    file without "::1 localhost" would hide a companion that listens on IPv6
    loopback only. "localhost" means the loopback interface by definition,
    so nothing is lost by not asking.
*/
namespace LoopbackDial
{
    /** Called on the dialling thread. Dials port on ::1, then on 127.0.0.1,
        both together within timeoutMs, one connection at a time. ::1 waits
        for half of timeoutMs at most, since it may be dropped unanswered
        while the companion listens on 127.0.0.1, and a loopback handshake is
        not always made within connect(); 127.0.0.1 has the rest. Returns
        the descriptor of a connected TCP socket, close-on-exec from its
        creation, with no Nagle delay and 64 KiB buffers; -1 when no one
        answered. */
    int connect (int port, int timeoutMs);

    /** A socket whose own address is its peer's reached no one: where the
        machine's ephemeral ports include the one dialled, TCP's simultaneous
        open can connect a socket to itself when nothing listens. Such a
        socket is closed abortively, so that nothing (not even TIME_WAIT) keeps
        the port from the companion, and true is returned. Any other socket
        is left as it is, and false returned. */
    bool discardIfConnectedToItself (int handle);
}

#include "CompanionSocket.h"

#include "LoopbackDial.h"

#include <cerrno>
#include <poll.h>
#include <sys/socket.h>
#include <sys/uio.h>
#include <unistd.h>

namespace
{
    // How long a blocked write or read waits before it looks again whether
    // the socket was shut down: where shutdown() does not wake poll(), this
    // is how late an end is noticed.
    constexpr int waitSliceMs = 50;

   #if defined (MSG_NOSIGNAL)
    constexpr int sendFlags = MSG_DONTWAIT | MSG_NOSIGNAL;
   #else
    constexpr int sendFlags = MSG_DONTWAIT; // the link ignores SIGPIPE process-wide
   #endif

    bool isTransient (int error)
    {
        return error == EINTR || error == EAGAIN || error == EWOULDBLOCK;
    }

    // Returns once the socket can take bytes (or has something to say, such
    // as an error) or the time is up; a signal just ends the wait early.
    void waitFor (int handle, short events, int timeoutMs)
    {
        pollfd request { handle, events, 0 };
        ::poll (&request, 1, timeoutMs);
    }
}

std::shared_ptr<CompanionSocket> CompanionSocket::dial (int port, int timeoutMs)
{
    const int handle = LoopbackDial::connect (port, timeoutMs);

    if (handle < 0)
        return nullptr;

    try
    {
        return std::make_shared<CompanionSocket> (handle);
    }
    catch (...)
    {
        ::close (handle);
        throw;
    }
}

CompanionSocket::~CompanionSocket()
{
    ::close (handle);
}

bool CompanionSocket::writeAll (const void* header, size_t headerSize, const void* payload, size_t payloadSize)
{
    iovec parts[2] = { { const_cast<void*> (header), headerSize },
                       { const_cast<void*> (payload), payloadSize } };

    msghdr message {};
    message.msg_iov = parts;
    message.msg_iovlen = 2;

    // Non-blocking sends: a send cut short by a full buffer or a signal is
    // simply continued from where it stopped, and a wait for room can be
    // ended by shutDown() on any platform.
    while (message.msg_iovlen > 0)
    {
        if (isShutDown.load())
            return false;

        const auto sent = ::sendmsg (handle, &message, sendFlags);

        if (sent < 0)
        {
            if (! isTransient (errno))
                return false;

            waitFor (handle, POLLOUT, waitSliceMs);
            continue;
        }

        auto remaining = (size_t) sent;

        while (message.msg_iovlen > 0 && remaining >= message.msg_iov->iov_len)
        {
            remaining -= message.msg_iov->iov_len;
            ++message.msg_iov;
            --message.msg_iovlen;
        }

        if (message.msg_iovlen > 0)
        {
            message.msg_iov->iov_base = static_cast<char*> (message.msg_iov->iov_base) + remaining;
            message.msg_iov->iov_len -= remaining;
        }
    }

    return true;
}

int CompanionSocket::readSome (void* buffer, size_t size)
{
    if (isShutDown.load())
        return -1;

    waitFor (handle, POLLIN, waitSliceMs);

    const auto received = ::recv (handle, buffer, size, MSG_DONTWAIT);

    if (received > 0)
        return (int) received;

    if (received < 0 && isTransient (errno))
        return 0;

    // 0: the companion closed its side, fully or only for writing. It never
    // sends anything we need, so either way the connection is over.
    return -1;
}

void CompanionSocket::shutDown()
{
    if (! isShutDown.exchange (true))
        ::shutdown (handle, SHUT_RDWR);
}

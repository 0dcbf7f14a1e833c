#pragma once

#include "CompanionSocket.h"

#include <functional>
#include <memory>

/** "Vestrano reader": reads one connection for as long as it stands, only to
    notice when the companion closes it or sends what is not ours; every byte
    is passed over and nothing is kept. Then it reports the end once and
    ends itself.
*/
class ConnectionReader : public juce::Thread
{
public:
    /** Called on the dialling thread; streamEnded is called on this reader's
        thread when it finishes, for whatever reason. */
    ConnectionReader (std::shared_ptr<CompanionSocket> socketToRead,
                      juce::uint32 magicNumber,
                      std::function<void()> streamEnded);

    /** Called by the connection's owner, never on the message or audio
        thread. Returns once the thread has ended: it looks for an exit
        request at least every 50 ms. */
    ~ConnectionReader() override;

    void run() override;

private:
    const std::shared_ptr<CompanionSocket> socket;
    const juce::uint32 magic;
    const std::function<void()> onStreamEnded;

    JUCE_DECLARE_NON_COPYABLE (ConnectionReader)
};

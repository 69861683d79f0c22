#include "platform/PeerCredentials.h"

#include <sys/socket.h>
#include <unistd.h>

namespace PeerCredentials {

bool peerIsThisUser(int socketDescriptor)
{
    ucred peer{};
    socklen_t size = sizeof peer;
    return ::getsockopt(socketDescriptor, SOL_SOCKET, SO_PEERCRED, &peer, &size) == 0 && peer.uid == ::geteuid();
}

} // namespace PeerCredentials

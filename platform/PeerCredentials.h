#pragma once

// Who is at the other end of a connected local socket: the process that
// connected, or the one that listens.
namespace PeerCredentials {

// The peer runs as this process's effective user; false when the system
// will not say.
bool peerIsThisUser(int socketDescriptor);

} // namespace PeerCredentials

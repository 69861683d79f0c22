#include "platform/PeerCredentials.h"

#include <sys/types.h>
#include <unistd.h>

namespace PeerCredentials {

bool peerIsThisUser(int socketDescriptor)
{
    uid_t uid = 0;
    gid_t gid = 0;
    return ::getpeereid(socketDescriptor, &uid, &gid) == 0 && uid == ::geteuid();
}

} // namespace PeerCredentials

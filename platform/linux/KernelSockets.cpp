#include "platform/linux/KernelSockets.h"

#include <QtEndian>

#include <algorithm>
#include <array>
#include <limits>
#include <memory>
#include <vector>

#include <cerrno>
#include <dirent.h>
#include <fcntl.h>
#include <unistd.h>

#include <linux/inet_diag.h>
#include <linux/netlink.h>
#include <linux/sock_diag.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/socket.h>

namespace KernelSockets {

namespace {

// A row: "sl: local remote st tx:rx tr:when retrnsmt uid timeout inode
// refcount address ...". Needing the fields after the inode keeps a row cut
// off inside its inode number from passing for a shorter one.
constexpr int localField = 1;
constexpr int stateField = 3;
constexpr int inodeField = 9;
constexpr int fieldsNeeded = 12;
constexpr QByteArrayView listenState = "0A";
constexpr QByteArrayView socketPrefix = "socket:[";

constexpr quint64 anyInode = std::numeric_limits<quint64>::max();

// The value of a digit of `base` (10 or 16), or -1.
int digitValue(char c, int base)
{
    if (c >= '0' && c <= '9')
        return c - '0';
    if (base == 16 && c >= 'A' && c <= 'F')
        return c - 'A' + 10;
    if (base == 16 && c >= 'a' && c <= 'f')
        return c - 'a' + 10;
    return -1;
}

// Digits of `base` only, at most `limit`; absent otherwise.
std::optional<quint64> number(QByteArrayView digits, int base, quint64 limit)
{
    if (digits.isEmpty())
        return std::nullopt;
    quint64 value = 0;
    for (const char c : digits) {
        const int digit = digitValue(c, base);
        if (digit < 0 || value > (limit - quint64(digit)) / quint64(base))
            return std::nullopt;
        value = value * quint64(base) + quint64(digit);
    }
    return value;
}

// The inode of a listening socket on the port, if the line is such a row.
std::optional<quint64> listenerInode(QByteArrayView line, quint16 port)
{
    std::array<QByteArrayView, fieldsNeeded> fields;
    qsizetype at = 0;
    for (QByteArrayView &field : fields) {
        while (at < line.size() && (line[at] == ' ' || line[at] == '\t'))
            ++at;
        const qsizetype start = at;
        while (at < line.size() && line[at] != ' ' && line[at] != '\t')
            ++at;
        if (at == start)
            return std::nullopt;
        field = line.sliced(start, at - start);
    }
    if (!fields[0].endsWith(':') || fields[stateField] != listenState)
        return std::nullopt;

    // "0100007F:1F90" (IPv4) or 32 hex digits and the port (IPv6), each
    // word in the kernel's byte order. Only a listener that a connection to
    // 127.0.0.1 can reach counts: on that address, or on every address.
    const QByteArrayView local = fields[localField];
    const qsizetype colon = local.lastIndexOf(':');
    const QByteArrayView address = local.first(qMax<qsizetype>(colon, 0));
    const auto word = [](quint32 value) {
        return QByteArray::number(qToBigEndian(value), 16).rightJustified(8, '0').toUpper();
    };
    const QByteArray loopback = word(0x7F000001);
    const bool reached = address == loopback || address == "00000000" || address == QByteArray(32, '0')
            || address == QByteArray("0000000000000000" + word(0x0000FFFF) + loopback);
    if (!reached)
        return std::nullopt;
    const std::optional<quint64> localPort = number(local.sliced(colon + 1), 16, 0xFFFF);
    if (localPort != port)
        return std::nullopt;
    return number(fields[inodeField], 10, anyInode);
}

struct DirCloser
{
    void operator()(DIR *dir) const { ::closedir(dir); }
};
using Dir = std::unique_ptr<DIR, DirCloser>;

// The process whose open files these are holds one of the sockets.
bool holdsOneIn(const QByteArray &fdFolder, const QList<quint64> &inodes)
{
    // Fails for another user's process (as for lsof) and one just gone.
    const Dir dir(::opendir(fdFolder.constData()));
    if (!dir)
        return false;
    const int folder = ::dirfd(dir.get());
    std::array<char, 64> target; // "socket:[" + 20 digits + "]" fits
    while (const dirent *entry = ::readdir(dir.get())) {
        const ssize_t length = ::readlinkat(folder, entry->d_name, target.data(), target.size());
        if (length <= 0)
            continue;
        const QByteArrayView link(target.data(), length);
        if (!link.startsWith(socketPrefix) || !link.endsWith(']'))
            continue;
        const std::optional<quint64> inode = number(link.sliced(socketPrefix.size()).chopped(1), 10, anyInode);
        if (inode && inodes.contains(*inode))
            return true;
    }
    return false;
}

// A file of the process file system read to its end (their sizes read as
// 0); absent when it cannot be opened or read.
std::optional<QByteArray> readFile(const QByteArray &path)
{
    const int fd = ::open(path.constData(), O_RDONLY | O_CLOEXEC);
    if (fd < 0)
        return std::nullopt;
    QByteArray content;
    std::array<char, 16384> chunk;
    ssize_t got = 0;
    while ((got = ::read(fd, chunk.data(), chunk.size())) != 0) {
        if (got < 0 && errno == EINTR)
            continue;
        if (got < 0)
            break;
        content.append(chunk.data(), got);
    }
    ::close(fd);
    if (got < 0)
        return std::nullopt;
    return content;
}

// The netlink socket this thread asks the kernel through, kept between
// updates: a new one for each would cost a creation and a teardown every
// few seconds. One per thread, so answers never cross; closed on a failure,
// so a late answer to a request given up on is never read as the next one.
class KeptNetlink
{
public:
    KeptNetlink() = default;
    Q_DISABLE_COPY_MOVE(KeptNetlink)
    ~KeptNetlink() { reset(); }

    int fd()
    {
        if (m_fd < 0) {
            m_fd = ::socket(AF_NETLINK, SOCK_RAW | SOCK_CLOEXEC, NETLINK_SOCK_DIAG);
            // The kernel answers at once; should it not, the tables are read instead.
            const timeval bound{2, 0};
            if (m_fd >= 0)
                ::setsockopt(m_fd, SOL_SOCKET, SO_RCVTIMEO, &bound, sizeof bound);
        }
        return m_fd;
    }

    void reset()
    {
        if (m_fd >= 0)
            ::close(m_fd);
        m_fd = -1;
    }

private:
    int m_fd = -1;
};

KeptNetlink &keptNetlink()
{
    thread_local KeptNetlink netlink;
    return netlink;
}

// One datagram of answers; false with the socket given up when none came.
bool receive(KeptNetlink &netlink, std::array<char, 32768> &buffer, ssize_t &got)
{
    do {
        got = ::recv(netlink.fd(), buffer.data(), buffer.size(), 0);
    } while (got < 0 && errno == EINTR);
    if (got > 0)
        return true;
    netlink.reset();
    return false;
}

// Sends one request of `type`; false when it did not go out whole.
template<typename Request> bool send(KeptNetlink &netlink, quint16 type, quint16 flags, const Request &request)
{
    struct
    {
        nlmsghdr header;
        Request request;
    } message{};
    message.header.nlmsg_len = sizeof message;
    message.header.nlmsg_type = type;
    message.header.nlmsg_flags = NLM_F_REQUEST | flags;
    message.request = request;
    return netlink.fd() >= 0 && ::send(netlink.fd(), &message, sizeof message, 0) == ssize_t(sizeof message);
}

} // namespace

std::optional<QList<quint64>> loopbackListener(quint16 port)
{
    KeptNetlink &netlink = keptNetlink();
    inet_diag_req_v2 request{};
    request.sdiag_family = AF_INET;
    request.sdiag_protocol = IPPROTO_TCP;
    request.idiag_states = 1U << TCP_LISTEN;
    // Not a dump: the kernel looks the address up as it would for a
    // connection from nowhere in particular to it, and so finds the listener
    // that takes it, a dual-stack IPv6 one included.
    request.id.idiag_src[0] = htonl(INADDR_LOOPBACK);
    request.id.idiag_sport = htons(port);
    request.id.idiag_cookie[0] = request.id.idiag_cookie[1] = INET_DIAG_NOCOOKIE;
    if (!send(netlink, SOCK_DIAG_BY_FAMILY, 0, request))
        return std::nullopt;
    alignas(nlmsghdr) std::array<char, 32768> buffer;
    ssize_t got = 0;
    if (!receive(netlink, buffer, got))
        return std::nullopt;
    const auto *header = reinterpret_cast<const nlmsghdr *>(buffer.data());
    if (!NLMSG_OK(header, got))
        return std::nullopt;
    // An error comes as its own message, as an answer would; "no such
    // socket" is an answer: nothing listens there.
    if (header->nlmsg_type == NLMSG_ERROR) {
        const bool none = header->nlmsg_len >= NLMSG_LENGTH(sizeof(nlmsgerr))
                && static_cast<const nlmsgerr *>(NLMSG_DATA(header))->error == -ENOENT;
        return none ? std::optional(QList<quint64>()) : std::nullopt;
    }
    if (header->nlmsg_type != SOCK_DIAG_BY_FAMILY || header->nlmsg_len < NLMSG_LENGTH(sizeof(inet_diag_msg)))
        return std::nullopt;
    const auto *socket = static_cast<const inet_diag_msg *>(NLMSG_DATA(header));
    if (socket->idiag_state != TCP_LISTEN || ntohs(socket->id.idiag_sport) != port)
        return QList<quint64>();
    return QList<quint64>{socket->idiag_inode};
}

QList<quint64> listenersInTable(QByteArrayView table, quint16 port)
{
    QList<quint64> inodes;
    qsizetype start = 0;
    // A last line without its line feed was cut off and is not read.
    for (qsizetype end = table.indexOf('\n'); end >= 0; end = table.indexOf('\n', start)) {
        if (const std::optional<quint64> inode = listenerInode(table.sliced(start, end - start), port))
            inodes.append(*inode);
        start = end + 1;
    }
    return inodes;
}

std::optional<QList<quint64>> listeningInodes(const QByteArray &procFolder, quint16 port)
{
    const std::optional<QByteArray> tcp = readFile(procFolder + "/net/tcp");
    if (!tcp)
        return std::nullopt;
    QList<quint64> inodes = listenersInTable(*tcp, port);
    const QByteArray tcp6Path = procFolder + "/net/tcp6";
    if (const std::optional<QByteArray> tcp6 = readFile(tcp6Path))
        inodes += listenersInTable(*tcp6, port);
    else if (::access(tcp6Path.constData(), F_OK) == 0)
        return std::nullopt;
    return inodes;
}

std::optional<qint32> lowestHolder(const QByteArray &procFolder, const QList<quint64> &inodes)
{
    if (inodes.isEmpty())
        return std::nullopt;
    std::vector<qint32> pids;
    if (const Dir dir{::opendir(procFolder.constData())}) {
        while (const dirent *entry = ::readdir(dir.get())) {
            if (const std::optional<quint64> pid = number(entry->d_name, 10, std::numeric_limits<qint32>::max()))
                pids.push_back(qint32(*pid));
        }
    }
    std::sort(pids.begin(), pids.end());
    for (const qint32 pid : pids) {
        if (holdsOne(procFolder, pid, inodes))
            return pid;
    }
    return std::nullopt;
}

bool holdsOne(const QByteArray &procFolder, qint32 pid, const QList<quint64> &inodes)
{
    return pid > 0 && holdsOneIn(procFolder + '/' + QByteArray::number(pid) + "/fd", inodes);
}

} // namespace KernelSockets

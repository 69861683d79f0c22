#include "platform/DetachedLaunch.h"

#include "platform/ChildDescriptors.h"

#include <QFile>

#include <vector>

#include <cerrno>
#include <csignal>
#include <fcntl.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

namespace DetachedLaunch {

namespace {

// A list of strings as the exec call takes them, built before the fork: the
// child of a program with threads may call only what is safe in a signal
// handler, which allocating is not.
class CStrings
{
public:
    explicit CStrings(const QList<QByteArray> &strings)
        : m_strings(strings)
    {
        for (const QByteArray &string : m_strings)
            m_pointers.push_back(const_cast<char *>(string.constData()));
        m_pointers.push_back(nullptr);
    }
    char *const *data() const { return m_pointers.data(); }

private:
    const QList<QByteArray> m_strings;
    std::vector<char *> m_pointers;
};

QList<QByteArray> encoded(const QStringList &strings)
{
    QList<QByteArray> bytes;
    for (const QString &string : strings)
        bytes.append(QFile::encodeName(string));
    return bytes;
}

struct Descriptor
{
    int fd = -1;
    Descriptor() = default;
    explicit Descriptor(int f)
        : fd(f)
    {
    }
    Q_DISABLE_COPY_MOVE(Descriptor)
    ~Descriptor() { reset(); }
    void reset()
    {
        if (fd >= 0)
            ::close(fd);
        fd = -1;
    }
};

struct Pipe
{
    Descriptor read, write;
    bool make()
    {
        int ends[2];
        if (!ChildDescriptors::closeOnExecPipe(ends))
            return false;
        read.fd = ends[0];
        write.fd = ends[1];
        return true;
    }
};

template<typename T> bool readWhole(int fd, T &value)
{
    ssize_t got = 0;
    do {
        got = ::read(fd, &value, sizeof value);
    } while (got < 0 && errno == EINTR);
    return got == ssize_t(sizeof value);
}

template<typename T> void writeWhole(int fd, const T &value)
{
    while (::write(fd, &value, sizeof value) < 0 && errno == EINTR) { }
}

} // namespace

Started start(const QString &program, const QStringList &arguments, const QString &folder,
              const QStringList &environment, const QString &outputFile)
{
    const QByteArray path = QFile::encodeName(program);
    const QByteArray where = QFile::encodeName(folder);
    const CStrings argv(QList<QByteArray>{path} + encoded(arguments));
    const CStrings envp(encoded(environment));

    const Descriptor input(::open("/dev/null", O_RDONLY | O_CLOEXEC));
    // Without waiting: a FIFO put in the file's place would block the open.
    const Descriptor output(
            ::open(QFile::encodeName(outputFile).constData(), O_WRONLY | O_APPEND | O_NONBLOCK | O_CLOEXEC));
    struct stat info
    { };
    if (input.fd < 0 || output.fd < 0)
        return {std::nullopt, 0, errno};
    if (::fstat(output.fd, &info) != 0 || !S_ISREG(info.st_mode))
        return {std::nullopt, 0, EINVAL};
    ::fcntl(output.fd, F_SETFL, ::fcntl(output.fd, F_GETFL) & ~O_NONBLOCK);

    // The program's number from the intermediate process; the exec's error
    // from the program, or nothing once it runs; our word to the
    // intermediate that it may go.
    Pipe number, failure, release;
    if (!number.make() || !failure.make() || !release.make())
        return {std::nullopt, 0, errno};

    const pid_t intermediate = ::fork();
    if (intermediate < 0)
        return {std::nullopt, 0, errno};
    if (intermediate == 0) {
        // Only we may hold the other ends: the reads below end when we let go.
        ::close(number.read.fd);
        ::close(failure.read.fd);
        ::close(release.write.fd);
        ::setsid();
        const pid_t server = ::fork();
        if (server == 0) {
            sigset_t none;
            sigemptyset(&none);
            ::sigprocmask(SIG_SETMASK, &none, nullptr);
            ::signal(SIGPIPE, SIG_DFL);
            if (::chdir(where.constData()) == 0 && ::dup2(input.fd, STDIN_FILENO) >= 0
                && ::dup2(output.fd, STDOUT_FILENO) >= 0 && ::dup2(output.fd, STDERR_FILENO) >= 0)
                ::execve(path.constData(), argv.data(), envp.data());
            writeWhole(failure.write.fd, int(errno));
            ::_exit(127);
        }
        const int said = server < 0 ? -errno : int(server);
        writeWhole(number.write.fd, said);
        // Until we hold the program, it stays our child's child: even ended,
        // nobody reaps it, and its number is not given again.
        char ignored = 0;
        while (::read(release.read.fd, &ignored, 1) < 0 && errno == EINTR) { }
        ::_exit(0);
    }
    number.write.reset();
    failure.write.reset();
    release.read.reset();

    int said = 0;
    const bool told = readWhole(number.read.fd, said);
    Started started;
    started.session = qint32(intermediate);
    if (told && said > 0)
        started.process = ProcessHandle::ofUnreaped(qint32(said));
    release.write.reset();
    while (::waitpid(intermediate, nullptr, 0) < 0 && errno == EINTR) { }
    int error = 0;
    if (!told || said <= 0)
        started.error = told ? -said : EAGAIN;
    else if (readWhole(failure.read.fd, error))
        started.error = error;
    else if (!started.process)
        started.error = ESRCH;
    if (started.error)
        started.process.reset();
    return started;
}

} // namespace DetachedLaunch

#include "tests/app/AppTestSupport.h"

#include "app/MenuModel.h"
#include "app/ShellTexts.h"

#include <QDir>
#include <QFile>
#include <QTest>

#include <csignal>

namespace AppTestSupport {

using ServerTestSupport::readFile;
using ServerTestSupport::writeFile;

AlertHand::AlertHand()
{
    m_timer.setInterval(20);
    connect(&m_timer, &QTimer::timeout, this, &AlertHand::look);
    m_timer.start();
}

QList<AlertHand::Seen> AlertHand::withTitle(const QString &title) const
{
    QList<Seen> matching;
    for (const Seen &alert : seen) {
        if (alert.title == title)
            matching.append(alert);
    }
    return matching;
}

void AlertHand::look()
{
    auto *alert = qobject_cast<AlertDialog *>(QApplication::activeModalWidget());
    if (!alert || !alert->isVisible())
        return;
    Seen noted{alert->title(), alert->message(), {}, {}};
    if (delegate && delegate->statusLineItem())
        noted.statusLine = delegate->statusLineItem()->text();
    if (openedUrls)
        noted.opened = *openedUrls;
    seen.append(noted);
    const QList<QAbstractButton *> buttons = alert->findChildren<QAbstractButton *>();
    for (QAbstractButton *button : buttons) {
        if (button->text() == answer) {
            button->click();
            return;
        }
    }
    alert->okButton()->click();
}

HttpChild::HttpChild(int status)
{
    m_process.setProgram(QStringLiteral("/usr/bin/python3"));
    m_process.setArguments({QStringLiteral("-c"), QStringLiteral(R"(
import http.server, sys
status = int(sys.argv[1])
class Handler(http.server.BaseHTTPRequestHandler):
    def do_GET(self):
        body = b'5.3.1\n'
        self.send_response(status)
        self.send_header('Content-Length', str(len(body)))
        self.end_headers()
        self.wfile.write(body)
    def log_message(self, *args):
        pass
server = http.server.ThreadingHTTPServer(('127.0.0.1', 0), Handler)
print(server.server_address[1], flush=True)
server.serve_forever()
)"),
                            QString::number(status)});
    m_process.setStandardInputFile(QProcess::nullDevice());
    m_process.start();
    if (m_process.waitForReadyRead(patienceMs))
        m_port = quint16(m_process.readLine().trimmed().toUInt());
}

Project::Project(quint16 port, const QByteArray &generatorFailure)
{
    const QDir fixture(QStringLiteral(HARLUNE_TEST_PROJECT));
    const QStringList files = fixture.entryList(QDir::Files);
    for (const QString &file : files)
        QFile::copy(fixture.filePath(file), m_dir.filePath(file));
    writeFile(m_dir.filePath(QStringLiteral("fixture-port")), QByteArray::number(port));
    if (!generatorFailure.isNull())
        writeFile(m_dir.filePath(QStringLiteral("generator-failure")), generatorFailure);
}

Project::~Project()
{
    // A server the test left running must not outlive it.
    const qint64 pid = readFile(m_dir.filePath(QStringLiteral("server.pid"))).trimmed().toLongLong();
    if (pid > 0)
        ::kill(pid_t(pid), SIGKILL);
}

QStringList Project::calls() const
{
    return QString::fromUtf8(readFile(m_dir.filePath(QStringLiteral("records/calls.log"))))
        .split(QLatin1Char('\n'), Qt::SkipEmptyParts);
}

ServerManager::Config configFor(quint16 port, const QString &root)
{
    ServerManager::Config config;
    config.port = port;
    config.projectRoot = [root] { return root; };
    config.apiTimeoutMs = 5000;
    return config;
}

Shell::Shell(ServerManager::Config config)
    : manager(std::make_unique<ServerManager>(std::move(config)))
    , delegate(std::make_unique<AppDelegate>(*manager))
{
    const auto record = [this](const QUrl &url) { opened.append(url); };
    manager->setUrlOpener(record);
    delegate->setUrlOpener(record);
    alerts.delegate = delegate.get();
    alerts.openedUrls = &opened;
}

Shell::~Shell()
{
    delegate.reset();
    manager.reset();
}

void Shell::launch()
{
    delegate->applicationDidFinishLaunching();
    awaitLaunchAlerts();
}

void Shell::awaitLaunchAlerts()
{
    // The welcome comes after 0.3 s, and with it the tray notice (the
    // offscreen platform has no tray).
    QVERIFY(QTest::qWaitFor(
        [this] {
            return !alerts.withTitle(ShellTexts::welcomeTitle()).isEmpty()
                && !alerts.withTitle(ShellTexts::trayMissingTitle()).isEmpty();
        },
        patienceMs));
}

QAction *Shell::entry(const QString &title) const
{
    const QList<QAction *> actions = delegate->statusMenu()->actions();
    for (QAction *action : actions) {
        if (action->text() == MenuModel::actionText(title))
            return action;
    }
    return nullptr;
}

} // namespace AppTestSupport

#pragma once

// Helpers for the tray program's widget tests: project roots whose scripts
// really run, and a tray program of our own whose alerts a hand answers.

#include "app/AlertDialog.h"
#include "app/AppDelegate.h"
#include "app/ShellTexts.h"
#include "server/ServerManager.h"
#include "tests/server/ServerTestSupport.h"

#include <QAbstractButton>
#include <QApplication>
#include <QSignalSpy>
#include <QTemporaryDir>
#include <QTimer>

#include <csignal>
#include <memory>

namespace AppTestSupport {

using namespace Qt::StringLiterals;
using namespace ServerTestSupport;

// A copy of the recording test project (tests/e2e/project) whose server
// listens on `port`; given `generatorFailure`, the generator prints it and fails.
struct Project
{
    explicit Project(quint16 port, const QByteArray &generatorFailure = {})
    {
        const QDir fixture(QStringLiteral(HARLUNE_TEST_PROJECT));
        for (const QString &file : fixture.entryList(QDir::Files))
            QFile::copy(fixture.filePath(file), m_dir.filePath(file));
        writeFile(m_dir.filePath(u"fixture-port"_s), QByteArray::number(port));
        if (!generatorFailure.isEmpty())
            writeFile(m_dir.filePath(u"generator-failure"_s), generatorFailure);
    }

    ~Project()
    {
        // A server the test left running must not outlive it.
        if (const qint64 pid = readFile(m_dir.filePath(u"server.pid"_s)).trimmed().toLongLong(); pid > 0)
            ::kill(pid_t(pid), SIGKILL);
    }

    QString root() const { return m_dir.path(); }
    // The scripts run so far, in order.
    QStringList calls() const
    {
        return QString::fromUtf8(readFile(m_dir.filePath(u"records/calls.log"_s))).split(u'\n', Qt::SkipEmptyParts);
    }

    QTemporaryDir m_dir;
};

// A tray program of our own on a manager of its own, for the project root
// that `root` resolves. What it asks the desktop to open lands in `opened`;
// every alert it shows is answered with the button `answer` names, as a user
// would, and noted with the menu's status line and `opened` of that moment.
struct Shell
{
    struct Alert
    {
        QString title, message, statusLine;
        QList<QUrl> opened;
    };

    Shell(quint16 port, const QString &root, int stopScriptBoundMs = ServerConstants::stopScriptBoundMs)
        : Shell(
                port, [root] { return root; }, stopScriptBoundMs)
    {
    }
    Shell(quint16 port, std::function<QString()> root, int stopScriptBoundMs = ServerConstants::stopScriptBoundMs)
        : manager(std::make_unique<ServerManager>(ServerManager::Config{.port = port,
                                                                        .projectRoot = std::move(root),
                                                                        .lsofPath = {},
                                                                        .apiTimeoutMs = 5000,
                                                                        .stopScriptBoundMs = stopScriptBoundMs}))
        , delegate(std::make_unique<AppDelegate>(*manager))
    {
        const auto record = [this](const QUrl &url, ForegroundActivation::Front front) {
            opened.append(url);
            fronts.append(front);
        };
        manager->setUrlOpener(record);
        delegate->setUrlOpener(record);
        QObject::connect(&hand, &QTimer::timeout, [this] { answerAlert(); });
        hand.start(20);
    }

    // Runs the launch sequence and answers the alerts that come with it: the
    // welcome after 0.3 s, and the tray notice (offscreen there is no tray).
    void launch()
    {
        delegate->applicationDidFinishLaunching();
        QVERIFY(QTest::qWaitFor(
                [this] {
                    return !titled(ShellTexts::welcomeTitle()).isEmpty()
                            && !titled(ShellTexts::trayMissingTitle()).isEmpty();
                },
                patienceMs));
    }

    QList<Alert> titled(const QString &title) const
    {
        QList<Alert> matching;
        for (const Alert &alert : alerts)
            if (alert.title == title)
                matching << alert;
        return matching;
    }

    QAction *entry(const QString &title) const
    {
        for (QAction *action : delegate->statusMenu()->actions())
            if (action->iconText() == title)
                return action;
        return nullptr;
    }

    void answerAlert()
    {
        auto *alert = qobject_cast<AlertDialog *>(QApplication::activeModalWidget());
        if (!alert || !alert->isVisible())
            return;
        alerts.append({alert->title(), alert->message(), delegate->statusLineItem()->text(), opened});
        QAbstractButton *chosen = alert->okButton();
        for (QAbstractButton *button : alert->findChildren<QAbstractButton *>())
            chosen = button->text() == answer ? button : chosen;
        chosen->click();
    }

    QList<QUrl> opened;
    QList<ForegroundActivation::Front> fronts; // of each in `opened`
    QList<Alert> alerts;
    QString answer = ShellTexts::okButton();
    std::unique_ptr<ServerManager> manager;
    std::unique_ptr<AppDelegate> delegate; // goes before the manager it uses
    QTimer hand;                           // goes first of all
};

} // namespace AppTestSupport

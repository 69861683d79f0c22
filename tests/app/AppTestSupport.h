#pragma once

// Helpers for the tray program's widget tests: a hand that answers alerts,
// a real HTTP child on a free port, project roots whose scripts really run,
// and a launched tray program on its own server manager.

#include "app/AlertDialog.h"
#include "app/AppDelegate.h"
#include "server/ServerManager.h"
#include "tests/server/ServerTestSupport.h"

#include <QAbstractButton>
#include <QAction>
#include <QApplication>
#include <QMenu>
#include <QProcess>
#include <QTemporaryDir>
#include <QTimer>
#include <QUrl>

#include <functional>
#include <memory>

namespace AppTestSupport {

using ServerTestSupport::patienceMs;

// Answers every alert that comes up, as a user would, and remembers it.
class AlertHand : public QObject
{
public:
    struct Seen
    {
        QString title;
        QString message;
        QString statusLine;  // the menu's status line while the alert was up
        QList<QUrl> opened;  // what the desktop had been asked to open by then
    };

    AlertHand();

    // The button to press, by text; "OK" unless set.
    QString answer = QStringLiteral("OK");
    // Source for the fields of Seen that come from the program.
    const AppDelegate *delegate = nullptr;
    const QList<QUrl> *openedUrls = nullptr;

    QList<Seen> seen;
    QList<Seen> withTitle(const QString &title) const;

private:
    void look();
    QTimer m_timer;
};

// A Python HTTP server on a free port: "/api/version" answers with `status`.
class HttpChild
{
public:
    explicit HttpChild(int status);
    quint16 port() const { return m_port; }

private:
    QProcess m_process;
    quint16 m_port = 0;
};

// A copy of the recording test project (tests/e2e/project): the stop script
// ends the server it started, the generator succeeds or prints
// `generatorFailure` and fails, the server answers HTTP on `port`.
class Project
{
public:
    explicit Project(quint16 port, const QByteArray &generatorFailure = {});
    ~Project();

    QString root() const { return m_dir.path(); }
    QStringList calls() const;

private:
    QTemporaryDir m_dir;
};

// A tray program of our own, launched, on a manager of its own.
struct Shell
{
    explicit Shell(ServerManager::Config config);
    ~Shell();

    // Runs the launch sequence and answers the alerts that come with it.
    void launch();
    void awaitLaunchAlerts();
    QAction *entry(const QString &title) const;

    QList<QUrl> opened;
    std::unique_ptr<ServerManager> manager;
    std::unique_ptr<AppDelegate> delegate;
    AlertHand alerts;
};

ServerManager::Config configFor(quint16 port, const QString &root);

} // namespace AppTestSupport

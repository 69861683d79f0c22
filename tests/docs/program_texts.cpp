// Prints every text the program can show, made by the code the program runs,
// each followed by a line with a form feed: the guide check matches the
// guide's quotations against them, as parts of a text too (a text held whole
// in another is not printed again). Variable parts are filled with examples.

#include "app/AppIdentity.h"
#include "app/CommandLine.h"
#include "app/MenuModel.h"
#include "app/OutcomeTexts.h"
#include "app/ShellTexts.h"

#include <QTextStream>

int main()
{
    using namespace ShellTexts;
    const QString address = QStringLiteral("http://127.0.0.1:8765/");
    QStringList texts{
            statusLine(true, address),
            toolTip(runningWords()),
            toolTip(stoppedLine()),
            restartingLine(),
            apiLineOffline(),
            apiLineOnline(),
            apiLineNoAnswer(),
            welcomeTitle(),
            welcomeText(),
            okButton(),
            trayMissingTitle(),
            trayMissingText(QStringLiteral("GNOME")),
            unexpectedStopTitle(),
            unexpectedStopText(1234, {}, QStringLiteral("OSError: [Errno 98] Address already in use"), true),
            quitLeavesServerTitle(),
            quitLeavesServerText({}, 42),
            OutcomeTexts::upgradeNoticeTitle({}),
            OutcomeTexts::upgradeNoticeText({{},
                                             {},
                                             {{QStringLiteral("serve.py"), QStringLiteral("serve.py.neu")}},
                                             {QStringLiteral("stop.sh")},
                                             {QStringLiteral("README.md")},
                                             {}}),
            OutcomeTexts::upgradeNoticeTitle({{}, {}, {}, {}, {}, QStringLiteral("0.2.0")}),
            OutcomeTexts::upgradeNoticeText({{}, {}, {}, {}, {}, QStringLiteral("0.2.0")}),
            OutcomeTexts::failure({RunFailure::Kind::ProgramMissing, QStringLiteral("/usr/bin/python3"), {}}),
            QString::fromUtf8(AppIdentity::nameDe), // the application menu's entry
            CommandLine::parse({QStringLiteral("harlune-kommandozentrale"), QStringLiteral("--help")}).text,
    };
    // Every operation's alert text, the port held by a python3 where it is
    // named: this project's server, and a program that is none.
    for (const bool thisProject : {true, false}) {
        for (int kind = 0; kind <= int(OperationOutcome::Kind::ScriptTimedOut); ++kind)
            texts << OutcomeTexts::message({OperationOutcome::Kind(kind),
                                            8765,
                                            1234,
                                            {},
                                            {},
                                            PortHolder{1234, QStringLiteral("python3"), thisProject, {}},
                                            false,
                                            {}});
    }
    // The status lines of a launched server that does not listen (yet).
    for (const Silence silence : {Silence::Starting, Silence::Unresponsive}) {
        ServerStatus status;
        status.silence = silence;
        status.pid = 1234;
        texts << OutcomeTexts::statusLine(status, address, 8765);
    }
    // A program that is no server of this project on the port, and another project's server.
    for (const PortHolder &stranger :
         {PortHolder{}, PortHolder{1234, QStringLiteral("python3"), false, {}},
          PortHolder{1234, QStringLiteral("python3"), false, QStringLiteral("/home/anna/Buchhaltung-2025")}}) {
        ServerStatus status;
        status.known = true;
        status.stranger = stranger;
        texts << OutcomeTexts::statusLine(status, address, 8765)
              << OutcomeTexts::message({OperationOutcome::Kind::PortBusy, 8765, {}, {}, {}, stranger, false, {}});
    }
    for (const MenuModel::Entry &entry :
         MenuModel::entries(QStringLiteral("/home/anna/.local/share/Harlune-Buchhaltung")))
        texts << entry.title;
    for (const MenuModel::Command command : {MenuModel::Command::StartServer, MenuModel::Command::StopServer,
                                             MenuModel::Command::RestartServer, MenuModel::Command::Regenerate})
        texts << MenuModel::outcome(command, true).alertTitle << MenuModel::outcome(command, false).alertTitle;
    QTextStream out(stdout);
    for (const QString &text : std::as_const(texts))
        out << text << "\n\f\n";
    return 0;
}

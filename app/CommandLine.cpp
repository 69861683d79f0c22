#include "app/CommandLine.h"

#include "app/AppIdentity.h"
#include "app/Autostart.h"
#include "platform/StartAtLogin.h"

#include <QCommandLineParser>
#include <QFile>

#include <cstdio>

namespace {

QString programName() { return QString::fromUtf8(AppIdentity::executableName); }

CommandLine::Request reject(const QString &reason)
{
    CommandLine::Request request;
    request.action = CommandLine::Action::Reject;
    request.text =
            programName() + QStringLiteral(": ") + reason + QStringLiteral(" (Hilfe: %1 --help)").arg(programName());
    return request;
}

QString dashed(const QString &optionName)
{
    return (optionName.size() == 1 ? QStringLiteral("-") : QStringLiteral("--")) + optionName;
}

// Qt writes the usage line and the heading in English and cannot name the
// program before an application object exists: both are put right here.
QString helpText(const QCommandLineParser &parser)
{
    QString options = parser.helpText().section(QLatin1Char('\n'), 1);
    options.replace(QStringLiteral("\nOptions:\n"), QStringLiteral("\nOptionen:\n"));
    return QStringLiteral("Aufruf: %1 [Optionen]\n").arg(programName()) + options;
}

QString autostartText(const Autostart::Outcome &outcome)
{
    switch (outcome.result) {
    case Autostart::Result::Enabled: return QStringLiteral("Autostart eingeschaltet: %1").arg(outcome.entryPath);
    case Autostart::Result::Disabled:
        return QStringLiteral("Autostart ausgeschaltet: %1 entfernt").arg(outcome.entryPath);
    case Autostart::Result::WasNotEnabled: return QStringLiteral("Autostart war nicht eingeschaltet");
    case Autostart::Result::Failed: break;
    }
    return QStringLiteral("%1: Autostart-Eintrag %2 nicht geändert: %3")
            .arg(programName(), outcome.entryPath, outcome.error);
}

void printLine(std::FILE *stream, const QString &text)
{
    const QByteArray bytes = (text.endsWith(QLatin1Char('\n')) ? text : text + QLatin1Char('\n')).toUtf8();
    std::fwrite(bytes.constData(), 1, size_t(bytes.size()), stream);
    std::fflush(stream);
}

} // namespace

namespace CommandLine {

QStringList arguments(int argc, char *argv[])
{
    QStringList list;
    for (int i = 0; i < argc; ++i)
        list << QFile::decodeName(argv[i]);
    return list;
}

Request parse(const QStringList &arguments)
{
    QCommandLineParser parser;
    // "-platform xcb" as Qt itself reads it, not as -p -l -a …
    parser.setSingleDashWordOptionMode(QCommandLineParser::ParseAsLongOptions);
    parser.setApplicationDescription(
            QStringLiteral("Steuert den Berichtsserver der lokalen Harlune-Buchhaltung aus dem Infobereich.\n"
                           "Ohne Optionen startet das Programm im Infobereich; läuft es schon, meldet\n"
                           "sich das laufende Programm."));
    const QCommandLineOption help({QStringLiteral("h"), QStringLiteral("help")}, QStringLiteral("Diese Hilfe zeigen"));
    const QCommandLineOption version({QStringLiteral("v"), QStringLiteral("version")},
                                     QStringLiteral("Die Version zeigen"));
    const QCommandLineOption autostart(QStringLiteral("autostart"),
                                       QStringLiteral("Bei der Anmeldung starten (on) oder nicht mehr (off)"),
                                       QStringLiteral("on|off"));
    const QCommandLineOption login(Autostart::loginOption(),
                                   QStringLiteral("Ohne Begrüßung starten, wie es der Autostart-Eintrag tut"));
    parser.addOptions({help, version, autostart, login});
    // Qt's own options (qt6options(7)), which launchers, session managers
    // and users pass to every Qt program: the application object takes
    // them from argv later.
    const auto addQtOptions = [&parser](std::initializer_list<const char *> names, bool withValue) {
        for (const char *name : names) {
            QCommandLineOption qtOption(QLatin1String(name), QString(),
                                        withValue ? QStringLiteral("value") : QString());
            qtOption.setFlags(QCommandLineOption::HiddenFromHelp);
            parser.addOption(qtOption);
        }
    };
    addQtOptions({"platform", "platformpluginpath", "platformtheme", "plugin", "display", "geometry", "session",
                  "style", "stylesheet", "qwindowgeometry", "qwindowicon", "qwindowtitle", "qmljsdebugger", "dialogs",
                  "fontengine", "name", "visual"},
                 true);
    addQtOptions({"reverse", "widgetcount", "nograb", "dograb", "sync"}, false);

    if (!parser.parse(arguments)) {
        if (!parser.unknownOptionNames().isEmpty())
            return reject(
                    QStringLiteral("unbekannte Option „%1“").arg(dashed(parser.unknownOptionNames().constFirst())));
        // The only other failure: a value-taking option came last, bare.
        return reject(QStringLiteral("„%1“ braucht einen Wert").arg(arguments.constLast()));
    }
    if (!parser.positionalArguments().isEmpty())
        return reject(QStringLiteral("unerwartetes Argument „%1“").arg(parser.positionalArguments().constFirst()));

    Request request;
    request.invokedAs = arguments.value(0);
    if (parser.isSet(help)) {
        request.action = Action::ShowHelp;
        request.text = helpText(parser);
    } else if (parser.isSet(version)) {
        request.action = Action::ShowVersion;
        request.text = programName() + QLatin1Char(' ') + QString::fromUtf8(AppIdentity::version);
    } else if (parser.isSet(autostart)) {
        const QString value = parser.value(autostart);
        if (value != QLatin1String("on") && value != QLatin1String("off"))
            return reject(QStringLiteral("--autostart kennt nur „on“ und „off“, nicht „%1“").arg(value));
        request.action = Action::Autostart;
        request.autostartOn = value == QLatin1String("on");
    } else {
        request.atLogin = parser.isSet(login);
    }
    return request;
}

int carryOut(const Request &request)
{
    switch (request.action) {
    case Action::RunTray: return 0;
    case Action::ShowHelp:
    case Action::ShowVersion: printLine(stdout, request.text); return 0;
    case Action::Reject: printLine(stderr, request.text); return usageError;
    case Action::Autostart: break;
    }
    if (!StartAtLogin::isSupported()) {
        // macOS keeps the list itself, and the user's entry there survives a
        // move of the bundle, where a file of ours would point nowhere.
        printLine(stderr,
                  QStringLiteral("%1: Den Start bei der Anmeldung richtet unter macOS das "
                                 "System ein: Systemeinstellungen → Allgemein → "
                                 "Anmeldeobjekte (bis macOS 12: Benutzer:innen & "
                                 "Gruppen → Anmeldeobjekte), dort „%2“ hinzufügen")
                          .arg(programName(), QString::fromUtf8(AppIdentity::nameDe)));
        return 1;
    }
    const QString configHome = Autostart::defaultConfigHome();
    const Autostart::Outcome outcome = request.autostartOn
            ? Autostart::enable(configHome, Autostart::installedProgram(request.invokedAs))
            : Autostart::disable(configHome);
    const bool failed = outcome.result == Autostart::Result::Failed;
    printLine(failed ? stderr : stdout, autostartText(outcome));
    return failed ? 1 : 0;
}

} // namespace CommandLine

#include "app/ShellTexts.h"

#include "platform/TrayMenu.h"

#include <QDate>
#include <QStringList>

namespace ShellTexts {

QString buttonTitle() { return QStringLiteral(" Harlune"); }

QString itemTitle()
{
    // Panels show it as a name, beside other programs' names.
    return TrayMenu::isMenuBarWithDock() ? buttonTitle() : accessibleName();
}
QString accessibleName() { return QStringLiteral("Harlune"); }
QString displayName() { return accessibleName(); }

QString toolTip(const QString &stateWords) { return accessibleName() + QStringLiteral(" – ") + stateWords; }

QString statusLineInitial() { return QStringLiteral("Status…"); }

QString statusLine(bool running, const QString &dashboardAddress)
{
    return running ? runningWords() + QStringLiteral(" auf ") + dashboardAddress : stoppedLine();
}

QString runningWords() { return QStringLiteral("Server läuft"); }
QString stoppedLine() { return QStringLiteral("Server gestoppt"); }

QString startingLine() { return QStringLiteral("Server wird gestartet …"); }
QString stoppingLine() { return QStringLiteral("Server wird gestoppt …"); }
QString restartingLine() { return QStringLiteral("Server wird neu gestartet …"); }

QString apiLineInitial() { return QStringLiteral("API: —"); }
QString apiLineOffline() { return QStringLiteral("API: offline"); }
// Fixed on purpose: the version the server reports is not shown.
QString apiLineOnline() { return QStringLiteral("API: online (v5)"); }
QString apiLineNoAnswer() { return QStringLiteral("API: Port offen, Antwort fehlt"); }

QString startEntry() { return QStringLiteral("Server starten"); }
QString stopEntry() { return QStringLiteral("Server stoppen"); }
QString restartEntry() { return QStringLiteral("Server neu starten"); }
QString regenerateEntry() { return QStringLiteral("Berichte neu generieren"); }
QString dashboardEntry() { return QStringLiteral("Dashboard im Browser"); }
QString belegeEntry() { return QStringLiteral("Belege-Upload öffnen"); }
QString logsEntry() { return QStringLiteral("Logs-Ordner öffnen"); }
QString dataEntry(const QString &projectRoot) { return QStringLiteral("Daten: ") + projectRoot; }
QString quitEntry() { return QStringLiteral("Beenden"); }

QString welcomeTitle() { return QStringLiteral("Harlune Buchhaltung läuft"); }

QString welcomeText()
{
    // The address is fixed text: it tells where the shipped server listens.
    // Without a Dock the reopen is a new start; a panel's tray shows a
    // symbol rather than the word, and where it sits depends on the desktop.
    const bool dock = TrayMenu::isMenuBarWithDock();
    return QStringList{
            QStringLiteral("Die App hat kein Hauptfenster – steuern Sie alles über:"),
            QString(),
            dock ? QStringLiteral("• Menüleiste oben rechts: „Harlune“ anklicken")
                 : QStringLiteral("• Symbol „Harlune“ im Infobereich der Kontrollleiste anklicken"),
            dock ? QStringLiteral("• Oder Dock-Symbol erneut anklicken")
                 : QStringLiteral("• Oder Harlune erneut starten: Dieser Hinweis erscheint dann wieder"),
            QString(),
            QStringLiteral("Dann: „Server starten“ → Browser öffnet http://127.0.0.1:8765/"),
    }
            .join(QLatin1Char('\n'));
}

QString okButton() { return QStringLiteral("OK"); }

QString trayMissingTitle() { return QStringLiteral("Kein Infobereich gefunden"); }

QString trayMissingText(const QString &currentDesktop)
{
    QStringList lines{
            QStringLiteral("Die Arbeitsfläche bietet keinen Infobereich (System-Tray bzw. "
                           "Statusbereich der Kontrollleiste) an. Das Symbol „Harlune“ mit "
                           "seinem Menü kann deshalb nicht erscheinen."),
            QString(),
            QStringLiteral("Harlune läuft weiter: Das Symbol erscheint von selbst, sobald eine "
                           "Kontrollleiste mit Infobereich startet. Ein erneuter Start von "
                           "Harlune zeigt diesen Hinweis wieder an; mit „Beenden“ schließen "
                           "Sie das Programm."),
    };
    // GNOME Shell has no tray of its own; without this extension it is the
    // usual reason, and installing it is all the user has to do.
    if (currentDesktop.contains(QLatin1String("GNOME"), Qt::CaseInsensitive)) {
        lines << QString()
              << QStringLiteral("Unter GNOME hilft die Erweiterung „AppIndicator and "
                                "KStatusNotifierItem Support“ (Debian-Paket "
                                "gnome-shell-extension-appindicator): Sobald sie "
                                "eingeschaltet ist, erscheint das Symbol von selbst.");
    }
    return lines.join(QLatin1Char('\n'));
}

QString unexpectedStopTitle() { return QStringLiteral("Server unerwartet beendet"); }

QString unexpectedStopText(std::optional<qint32> pid, const std::optional<QDateTime> &since, const QString &lastError,
                           bool clickOpensLogs)
{
    QStringList lines{pid ? QStringLiteral("Der Berichtsserver (PID %1) läuft nicht mehr.").arg(*pid)
                          : QStringLiteral("Der Berichtsserver läuft nicht mehr.")};
    if (since) {
        const QDateTime local = since->toLocalTime();
        lines << (local.date() == QDate::currentDate()
                          ? QStringLiteral("Er lief seit %1 Uhr.").arg(local.toString(QStringLiteral("HH:mm")))
                          : QStringLiteral("Er lief seit %1 Uhr.")
                                    .arg(local.toString(QStringLiteral("dd.MM.yyyy, HH:mm"))));
    }
    lines << (lastError.isEmpty() ? QStringLiteral("Sein Log nennt keinen Fehler.")
                                  : QStringLiteral("Letzter Fehler im Log: ") + lastError);
    if (clickOpensLogs)
        lines << QStringLiteral("Ein Klick auf diese Meldung öffnet den Logs-Ordner.");
    return lines.join(QLatin1Char('\n'));
}

QString quitLeavesServerTitle() { return QStringLiteral("Server läuft weiter"); }

QString quitLeavesServerText(const QString &stopMessage, int seconds)
{
    const QString cause = stopMessage.isEmpty()
            ? QStringLiteral("Der Server ließ sich nicht innerhalb von %1 Sekunden stoppen.").arg(seconds)
            : stopMessage;
    return cause
            + QStringLiteral("\n\nHarlune wird jetzt beendet; der Server läuft möglicherweise weiter. "
                             "Starten Sie Harlune erneut, um ihn zu sehen und zu stoppen.");
}

QString startedTitle() { return QStringLiteral("Server gestartet"); }
QString stoppedTitle() { return QStringLiteral("Server gestoppt"); }
QString restartedTitle() { return QStringLiteral("Neu gestartet"); }
QString regeneratedTitle() { return QStringLiteral("Fertig"); }
QString failureTitle() { return QStringLiteral("Fehler"); }
// A stop that did not work out is a notice, not an error.
QString stopFailureTitle() { return QStringLiteral("Hinweis"); }

} // namespace ShellTexts

// What the stop notice says and how menu labels reach the tray: plain rules
// that the desktop tests (tests/e2e) can only show for one log and one path.

#include "app/MenuModel.h"
#include "app/ShellTexts.h"
#include "app/StopNotice.h"
#include "platform/DBusMenuLabel.h"
#include "platform/DesktopNotifier.h"

#include <QTest>

using namespace Qt::StringLiterals;

class TestNoticeText : public QObject
{
    Q_OBJECT

private slots:
    void lastErrorLine_data()
    {
        QTest::addColumn<QString>("log");
        QTest::addColumn<QString>("error");
        const QString request = u"127.0.0.1 - - [07/Dec/2026 04:19:41] \"GET /api/version HTTP/1.1\" 200 -"_s;
        QTest::newRow("only requests") << request + u"\n"_s + request << QString();
        QTest::newRow("a failed request is no error of the server")
                << u"127.0.0.1 - - \"GET /Error HTTP/1.1\" 500 -\n"_s + request << QString();
        QTest::newRow("traceback, requests after it")
                << u"Traceback (most recent call last):\n  File \"serve.py\", line 3\n"
                   u"OSError: [Errno 98] Address already in use\n"_s + request
                << u"OSError: [Errno 98] Address already in use"_s;
        QTest::newRow("the last of two") << u"Fehler: Belege fehlen\nERROR bad ledger\n"_s + request
                                         << u"ERROR bad ledger"_s;
        QTest::newRow("a word that only contains it") << u"stderr ist offen"_s << QString();
    }
    void lastErrorLine()
    {
        QFETCH(QString, log);
        QFETCH(QString, error);
        QCOMPARE(StopNotice::lastErrorLine(log), error);
    }

    void stopTextSaysWhatItKnows()
    {
        // Today's start shows the time alone, an earlier one the date too.
        QCOMPARE(ShellTexts::unexpectedStopText(4711, QDateTime(QDate::currentDate(), QTime(9, 5)), u"OSError: x"_s, true),
                 u"Der Berichtsserver (PID 4711) läuft nicht mehr.\nEr lief seit 09:05 Uhr.\n"
                 u"Letzter Fehler im Log: OSError: x\nEin Klick auf diese Meldung öffnet den Logs-Ordner."_s);
        QCOMPARE(ShellTexts::unexpectedStopText({}, QDateTime(QDate(2026, 12, 6), QTime(23, 10)), {}, false),
                 u"Der Berichtsserver läuft nicht mehr.\nEr lief seit 06.12.2026, 23:10 Uhr.\n"
                 u"Sein Log nennt keinen Fehler."_s);
        QCOMPARE(DesktopNotifier::escapedForMarkup(u"<b>a & b</b>"_s), u"&lt;b&gt;a &amp; b&lt;/b&gt;"_s);
    }

    void runRecordKnowsOnlyStartsItSaw()
    {
        StopNotice::RunRecord record;
        const QDateTime launch = QDateTime::currentDateTime();
        record.observe(true, 10, launch); // there before us: since when is unknown
        QCOMPARE(record.pid(), 10);
        QVERIFY(!record.since());
        record.observe(false, {}, launch.addSecs(5));
        record.observe(true, 11, launch.addSecs(10));
        QCOMPARE(record.since(), launch.addSecs(10));
        record.observe(true, 11, launch.addSecs(15));
        QCOMPARE(record.since(), launch.addSecs(10));
    }

    // The D-Bus menu: Qt's exporter turns the first '&' into the access-key
    // marker, the tray item drops access keys; what hosts get must show the
    // title as it is ("__" is one underscore) with no key for any mix.
    void labelsForTheDBusMenu_data()
    {
        QTest::addColumn<QString>("title");
        QTest::addColumn<QString>("widget");
        QTest::addColumn<QString>("exported");
        QTest::newRow("plain") << u"Beenden"_s << u"Beenden"_s << u"Beenden"_s;
        QTest::newRow("underscores") << u"a_b_c"_s << u"a_b_c"_s << u"a__b__c"_s;
        QTest::newRow("underscore first") << u"x_mit && y"_s << u"x_mit &&&& y"_s << u"x__mit && y"_s;
        QTest::newRow("ampersand first") << u"/tmp/a & b_c"_s << u"/tmp/a && b_c"_s << u"/tmp/a & b__c"_s;
        QTest::newRow("at the ends") << u"&_x_&"_s << u"&&_x_&&"_s << u"&__x__&"_s;
        QTest::newRow("runs") << u"__&&__"_s << u"__&&&&__"_s << u"____&&____"_s;
    }
    void labelsForTheDBusMenu()
    {
        QFETCH(QString, title);
        QFETCH(QString, widget);
        QFETCH(QString, exported);
        QCOMPARE(MenuModel::actionText(title, MenuModel::TextStyle::Widget), widget);
        QString qtLabel = MenuModel::actionText(title, MenuModel::TextStyle::DBusMenu);
        if (const qsizetype first = qtLabel.indexOf(u'&'); first >= 0 && first < qtLabel.size() - 1)
            qtLabel[first] = u'_';
        QCOMPARE(DBusMenuLabel::withoutAccessKey(qtLabel), exported);
    }

    // Whatever access keys a label has, none is left, and nothing else goes.
    void accessKeysDropped_data()
    {
        QTest::addColumn<QString>("label");
        QTest::addColumn<QString>("shown");
        QTest::newRow("none") << u"Daten: /a & b__c"_s << u"Daten: /a & b__c"_s;
        QTest::newRow("first") << u"_Beenden"_s << u"Beenden"_s;
        QTest::newRow("several") << u"_a _b__c_"_s << u"a b__c"_s;
        QTest::newRow("odd run") << u"a___b"_s << u"a__b"_s;
    }
    void accessKeysDropped()
    {
        QFETCH(QString, label);
        QFETCH(QString, shown);
        QCOMPARE(DBusMenuLabel::withoutAccessKey(label), shown);
    }
};

QTEST_GUILESS_MAIN(TestNoticeText)
#include "tst_notice_text.moc"

#include "platform/mail/mcomessageparser.h"
#include "render/lenientdateparser.h"
#include "render/messagedates.h"
#include "testsupport.h"

#include <QTest>

using namespace tessaly;

namespace {
// A fixed "now" keeps the plausibility window independent of the day the tests run.
const QDateTime kNow = QDateTime(QDate(2026, 12, 6), QTime(12, 0), Qt::UTC);
} // namespace

class TestMessageDates : public QObject {
    Q_OBJECT

private Q_SLOTS:
    void lenientParser_data();
    void lenientParser();
    void plausibility();
    void repair_data();
    void repair();
};

void TestMessageDates::lenientParser_data() {
    QTest::addColumn<QString>("text");
    QTest::addColumn<QString>("expectedUtc"); // empty: no date
    QTest::newRow("rfc5322") << "Sat, 18 Jan 2014 08:16:20 +0000"
                             << "2014-01-18T08:16:20Z";
    QTest::newRow("no day name") << "18 Jan 2014 09:16:20 +0100"
                                 << "2014-01-18T08:16:20Z";
    QTest::newRow("obsolete zone") << "Fri, 21 Nov 1997 09:55:06 EST"
                                   << "1997-11-21T14:55:06Z";
    QTest::newRow("military zone") << "21 Nov 1997 09:55:06 Q"
                                   << "1997-11-21T09:55:06Z";
    QTest::newRow("two-digit year") << "Wed, 9 Jun 99 14:03 -0700"
                                    << "1999-06-09T21:03:00Z";
    QTest::newRow("two-digit year 2000s") << "1 Feb 07 00:00:00 GMT"
                                          << "2007-02-01T00:00:00Z";
    QTest::newRow("missing zone") << "Mon, 6 Jun 2005 22:21:22"
                                  << "2005-06-06T22:21:22Z";
    QTest::newRow("comment") << "Thu, 13 Feb 1969 23:32:54 -0330 (Newfoundland Time)"
                             << "1969-02-14T03:02:54Z";
    QTest::newRow("ctime") << "Wed Jun 30 21:49:08 1993"
                           << "1993-06-30T21:49:08Z";
    QTest::newRow("fraction, unsigned zone") << "Wed, 8 Jun 2011 22:23:35.882 0000"
                                             << "2011-06-08T22:23:35Z";
    QTest::newRow("month first") << "May 8, 2005 1:17 PM"
                                 << "2005-05-08T13:17:00Z";
    QTest::newRow("iso short") << "2012-12-08 00:48"
                               << "2012-12-08T00:48:00Z";
    QTest::newRow("iso zone") << "2012-12-08T00:48:10+02:00"
                              << "2012-12-07T22:48:10Z";
    QTest::newRow("received tail") << " Sat, 18 Jan 2014 08:16:20 +0000 (UTC)"
                                   << "2014-01-18T08:16:20Z";
    QTest::newRow("garbled month") << "Pn, 29 paX 2007 21:37:49 +0200"
                                   << "";
    QTest::newRow("words") << "Whenever"
                           << "";
    QTest::newRow("impossible day") << "30 Feb 2010 10:00:00 +0000"
                                    << "";
    QTest::newRow("no year") << "Mon, 6 Jun 22:21:22"
                             << "";
    QTest::newRow("empty") << ""
                           << "";
}

void TestMessageDates::lenientParser() {
    QFETCH(QString, text);
    QFETCH(QString, expectedUtc);
    const std::optional<QDateTime> parsed = parseLenientDate(text);
    if (expectedUtc.isEmpty()) {
        QVERIFY2(!parsed, qPrintable(parsed ? parsed->toString(Qt::ISODate) : QString()));
        return;
    }
    QVERIFY(parsed);
    QCOMPARE(parsed->toUTC().toString(Qt::ISODate), expectedUtc);
}

void TestMessageDates::plausibility() {
    const qint64 now = kNow.toSecsSinceEpoch();
    auto at = [](qint64 seconds) {
        return std::optional(QDateTime::fromSecsSinceEpoch(seconds, Qt::UTC));
    };
    QVERIFY(MessageDates::dateOKForEmail(at(now + 999'999'999), kNow));
    QVERIFY(MessageDates::dateOKForEmail(at(now - 1'000'000'000), kNow));
    QVERIFY(!MessageDates::dateOKForEmail(at(now + 1'000'000'001), kNow));
    QVERIFY(!MessageDates::dateOKForEmail(at(0), kNow));
    QVERIFY(!MessageDates::dateOKForEmail(at(9'999'999), kNow));
    QVERIFY(!MessageDates::dateOKForEmail(std::nullopt, kNow));
}

void TestMessageDates::repair_data() {
    QTest::addColumn<QByteArray>("headers");
    QTest::addColumn<QString>("expectedUtc"); // empty: still no usable date
    QTest::addColumn<bool>("headerChanged");
    QTest::newRow("plausible date kept")
        << QByteArray("Date: Sat, 18 Jan 2014 08:16:20 +0000\n") << "2014-01-18T08:16:20Z" << false;
    QTest::newRow("zero time stamp, delivery date")
        << QByteArray("Date: Thu, 01 Jan 1970 00:00:00 +0000\n"
                      "Delivery-date: Sat, 18 Jan 2014 08:16:20 +0000\n")
        << "1970-01-01T00:00:00Z" << false;
    QTest::newRow("date field the strict parser refuses")
        << QByteArray("Date: Saturday, 8th December 2012 00:48\n") << "2012-12-08T00:48:00Z"
        << true;
    // Only the first raw field present is tried, even when a later one would parse.
    QTest::newRow("unreadable date field wins")
        << QByteArray("Date: Whenever\nDelivery-date: Sat, 18 Jan 2014 08:16:20 +0000\n") << ""
        << false;
    QTest::newRow("delivery date") << QByteArray("Delivery-date: Sat, 18 Jan 2014 08:16:20 +0000\n")
                                   << "2014-01-18T08:16:20Z" << true;
    QTest::newRow("received") << QByteArray(
                                     "Received: from a by b; Sat, 18 Jan 2014 08:16:20 +0000\n")
                              << "2014-01-18T08:16:20Z" << true;
    QTest::newRow("forty years ahead, nothing else")
        << QByteArray("Date: Sat, 18 Jan 2066 08:16:20 +0000\n") << "2066-01-18T08:16:20Z" << false;
    QTest::newRow("nothing at all") << QByteArray("X-Other: 1\n") << "" << false;
}

void TestMessageDates::repair() {
    QFETCH(QByteArray, headers);
    QFETCH(QString, expectedUtc);
    QFETCH(bool, headerChanged);
    MCOMessageParser message(test::crlfMessage(headers + "Subject: s\n\nbody\n"));
    const std::optional<QDateTime> before = message.header().date();
    const std::optional<QDateTime> date =
        MessageDates::dateFromMailCoreHeaderAndFixTheHeaderToo(message.header(), kNow);
    if (expectedUtc.isEmpty()) {
        QVERIFY(!date);
    } else {
        QVERIFY(date);
        QCOMPARE(date->toUTC().toString(Qt::ISODate), expectedUtc);
    }
    QCOMPARE(message.header().date() != before, headerChanged);
    if (headerChanged) {
        QCOMPARE(message.header().date(), date);
    }
}

QTEST_GUILESS_MAIN(TestMessageDates)
#include "tst_messagedates.moc"

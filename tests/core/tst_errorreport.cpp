#include "ErrorReport.h"
#include "FakeDialogs.h"

#include <QTest>

#include <stdexcept>

using namespace Qt::Literals::StringLiterals;

class TestErrorReport : public QObject
{
    Q_OBJECT

private slots:
    void composeText_data()
    {
        QTest::addColumn<QString>("description");
        QTest::addColumn<QString>("module");
        QTest::addColumn<QString>("procedure");
        QTest::addColumn<int>("line");
        QTest::addColumn<QString>("expected");

        QTest::newRow("closing handler")
            << u"Object required"_s << u"Form2"_s << u"Form_QueryUnload"_s << 102
            << u"Object required\r\nin Quorvane2021/08/31.Form2.Form_QueryUnload at line 102\r\r"
               u"Please email screenshot of this message to support@brackwell.example"_s;
        QTest::newRow("empty description starts with CR LF")
            << QString() << u"IntervalSave"_s << u"SaveAll"_s << 124
            << u"\r\nin Quorvane2021/08/31.IntervalSave.SaveAll at line 124\r\r"
               u"Please email screenshot of this message to support@brackwell.example"_s;
        QTest::newRow("driver text kept with its prefixes")
            << u"[FreeTDS][SQL Server]Login failed for user 'sa'."_s << u"IntervalSave"_s << u"FileCont"_s << 1000
            << u"[FreeTDS][SQL Server]Login failed for user 'sa'.\r\nin Quorvane2021/08/31.IntervalSave.FileCont "
               u"at line 1000\r\rPlease email screenshot of this message to support@brackwell.example"_s;
    }

    void composeText()
    {
        QFETCH(QString, description);
        QFETCH(QString, module);
        QFETCH(QString, procedure);
        QFETCH(int, line);
        QFETCH(QString, expected);
        QCOMPARE(composeErrorReport(description, errorReportLocation(module, procedure), line), expected);
    }

    void procedureReportsEachFailureAndGoesOn()
    {
        FakeDialogs dialogs;
        ReportingProcedure proc(dialogs, u"Form2"_s, u"Form_Load"_s);
        QStringList ran;
        QVERIFY(proc.run(100, [&] { ran << u"100"_s; }));
        QVERIFY(!proc.run(102, [&] { throw Failure(u"first"_s); }));
        QVERIFY(proc.run(104, [&] { ran << u"104"_s; }));
        QVERIFY(!proc.run(106, [&] { throw std::runtime_error("second"); }));
        QVERIFY(proc.run(108, [&] { ran << u"108"_s; }));

        QCOMPARE(ran, (QStringList{u"100"_s, u"104"_s, u"108"_s}));
        const QStringList reports = dialogs.errorReports();
        QCOMPARE(reports.size(), 2);
        QVERIFY(reports[0].startsWith(u"first\r\nin Quorvane2021/08/31.Form2.Form_Load at line 102\r\r"_s));
        QVERIFY(reports[1].startsWith(u"second\r\nin Quorvane2021/08/31.Form2.Form_Load at line 106\r\r"_s));
        QCOMPARE(proc.failureCount(), 2);
        QCOMPARE(proc.firstFailure(), u"first"_s);
    }

    void failureInCalledProcedureCarriesCallersLine()
    {
        FakeDialogs dialogs;
        ReportingProcedure proc(dialogs, u"Form2"_s, u"Form_Load"_s);
        auto helperWithoutHandler = [] { throw Failure(u"Invalid procedure call or argument"_s, 5); };
        bool after = false;
        proc.run(114, [&] {
            helperWithoutHandler();
            after = true; // the rest of the failing statement does not run
        });
        proc.run(116, [&] { after = true; });
        QVERIFY(after);
        QCOMPARE(dialogs.errorReports().size(), 1);
        QVERIFY(dialogs.errorReports()[0].contains(u"Form2.Form_Load at line 114\r\r"_s));
    }
};

QTEST_GUILESS_MAIN(TestErrorReport)
#include "tst_errorreport.moc"

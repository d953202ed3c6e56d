#include "FakeClock.h"
#include "FakeDialogs.h"
#include "IntervalSave.h"
#include "MemoryDatabase.h"
#include "ScriptText.h"
#include "Views.h"

#include <QFile>
#include <QTemporaryDir>
#include <QTest>

using namespace Qt::Literals::StringLiterals;

// Long values (max types, text, ntext, image, xml) come from the driver in pieces and go into the script as they
// come: the script text of every value that can be held is the same as when it is read whole.

Q_DECLARE_METATYPE(FieldValue)

namespace {

using Kind = FieldValue::Kind;

FieldValue text(const QString& value)
{
    return FieldValue::ofText(value);
}

/** The text cut into pieces of `size` characters (one empty piece for empty text). */
QList<FieldValue> textPieces(const QString& value, qsizetype size)
{
    QList<FieldValue> pieces;
    for (qsizetype at = 0; at < value.size() || pieces.isEmpty(); at += size)
        pieces.append(text(value.mid(at, size)));
    return pieces;
}

QByteArray written(const QList<FieldValue>& pieces, qsizetype holdChars)
{
    ScriptBuffer out;
    ScriptText::LongValueWriter writer(out, holdChars);
    for (const FieldValue& piece : pieces)
        writer.add(piece);
    writer.finish();
    return out.toByteArray();
}

struct Dump
{
    QByteArray script;
    QStringList reports;
};

/** One dump of the database; the script it wrote. */
Dump dumpOf(MemoryDatabase& db)
{
    QTemporaryDir dir;
    FakeDialogs dialogs;
    FakeClock clock;
    FixedDumpSource source(u"HOST"_s, u"Sales"_s, dir.path());
    PlainStatusFrame status;
    IntervalSave save(BackupContext{db, dialogs, clock, source, {}, dir.filePath(u"backups.log"_s), {}, {}});
    save.SaveAll(u"Driver={SQL Server};"_s, status);
    QFile file(save.lastOutputPath());
    return {file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray(), dialogs.errorReports()};
}

} // namespace

class TestLongValues : public QObject
{
    Q_OBJECT

private slots:
    void heldValuesAreWrittenAsWhole_data()
    {
        QTest::addColumn<FieldValue>("value");
        QTest::newRow("empty text") << text(QString());
        QTest::newRow("apostrophes") << text(u"Baker's 'best'"_s);
        QTest::newRow("Windows-1252 text") << text(u"caf\u00e9 \u20ac"_s);
        QTest::newRow("text beyond Windows-1252") << text(u"\u03a9mega \U0001F600"_s);
        QTest::newRow("backslash before line breaks") << text(u"C:\\dir\\\r\nnext\\\nlast"_s);
        QTest::newRow("xml") << FieldValue::ofText(u"<a b='1'>x</a>"_s, Kind::Text);
        QTest::newRow("bytes") << FieldValue::ofBytes(QByteArray("\x00\x01\xfe\xff ab", 8));
        QTest::newRow("no bytes") << FieldValue::ofBytes(QByteArray());
        QTest::newRow("NULL") << FieldValue::null();
    }

    void heldValuesAreWrittenAsWhole()
    {
        QFETCH(FieldValue, value);
        const QByteArray whole = ScriptText::valueText(value);
        for (const qsizetype size : {1, 2, 3, 7, 1000}) {
            QList<FieldValue> pieces;
            if (value.isNull()) {
                pieces = {value};
            } else if (value.kind == Kind::Binary) {
                for (qsizetype at = 0; at < value.bytes.size() || pieces.isEmpty(); at += size)
                    pieces.append(FieldValue::ofBytes(value.bytes.mid(at, size)));
            } else {
                pieces = textPieces(value.text, size);
            }
            // Bytes are never held: at any size they are written as they come.
            QCOMPARE(written(pieces, ScriptText::LongValueWriter::HoldChars), whole);
            if (value.kind == Kind::Binary)
                QCOMPARE(written(pieces, 0), whole);
        }
    }

    void longTextIsWrittenAsItComes_data()
    {
        QTest::addColumn<QList<FieldValue>>("pieces");
        QTest::addColumn<QByteArray>("expected");
        QTest::newRow("plain") << textPieces(u"abcdefghij"_s, 3) << QByteArray("CONVERT(nvarchar(max), N'abcdefghij')");
        QTest::newRow("apostrophes doubled")
            << textPieces(u"it's 'quoted'"_s, 4) << QByteArray("CONVERT(nvarchar(max), N'it''s ''quoted''')");
        QTest::newRow("backslash before line breaks, across pieces")
            << QList<FieldValue>{text(u"abcde\\"_s), text(u"\r\nfg\\\nh"_s)}
            << QByteArray("CONVERT(nvarchar(max), N'abcde\\') + N'\r\nfg\\' + N'\nh'");
        QTest::newRow("backslash not before a line break")
            << textPieces(u"a\\b\\\\c\r\n"_s, 2) << QByteArray("CONVERT(nvarchar(max), N'a\\b\\\\c\r\n')");
        QTest::newRow("surrogate pair split between pieces")
            << QList<FieldValue>{text(u"abcde"_s + QChar(0xD83D)), text(QString(QChar(0xDE00)) + u"x"_s)}
            << QByteArray("CONVERT(nvarchar(max), N'abcde\xF0\x9F\x98\x80x')");
        QTest::newRow("characters of every range")
            << textPieces(u"\u00e9\u20ac\u03a9 text"_s, 2)
            << QByteArray("CONVERT(nvarchar(max), N'\xC3\xA9\xE2\x82\xAC\xCE\xA9 text')");
    }

    void longTextIsWrittenAsItComes()
    {
        QFETCH(QList<FieldValue>, pieces);
        QFETCH(QByteArray, expected);
        QCOMPARE(written(pieces, 4), expected);
    }

    void dumpReadsLongColumnsInPiecesWithTheSameScript()
    {
        MemoryDatabase db;
        auto& table = db.addTable(u"Docs"_s,
                                  {{u"Id"_s, u"int"_s, {}, 10, 0},
                                   {u"Body"_s, u"nvarchar"_s, -1, {}, {}},
                                   {u"Blob"_s, u"varbinary"_s, -1, {}, {}},
                                   {u"Note"_s, u"varchar"_s, 20, {}, {}},
                                   {u"Old"_s, u"text"_s, 2147483647, {}, {}},
                                   {u"Pic"_s, u"image"_s, 2147483647, {}, {}}});
        const auto id = [](int n) { return FieldValue::ofText(QString::number(n), Kind::Integer); };
        table.rows.push_back({id(1), text(u"Baker's \u03a9 a\\\r\nb"_s), FieldValue::ofBytes("\x01\x02\xff"),
                              text(u"short"_s), text(u"old 'text'"_s), FieldValue::ofBytes(QByteArray(70, 'z'))});
        table.rows.push_back({id(2), FieldValue::null(), FieldValue::null(), FieldValue::null(), FieldValue::null(),
                              FieldValue::null()});
        table.rows.push_back({id(3), text(QString()), FieldValue::ofBytes(QByteArray()), text(QString()),
                              text(QString()), FieldValue::ofBytes(QByteArray())});
        const Dump whole = dumpOf(db);
        QCOMPARE(whole.reports, QStringList());
        QVERIFY(whole.script.contains("INSERT INTO [Docs] VALUES('1', CONVERT(nvarchar(max), N'Baker''s"));
        for (const qsizetype size : {1, 5, 64}) {
            db.pieceSize = size;
            const Dump pieces = dumpOf(db);
            QCOMPARE(pieces.reports, QStringList());
            QCOMPARE(pieces.script, whole.script);
        }
    }

    void dumpWritesAValueTooLongToHold()
    {
        // 24 MiB of bytes and 3 M characters of text, generated piece by piece: nothing holds either whole.
        constexpr qint64 BlobPieces = 24 * 16;
        constexpr qsizetype PieceBytes = 64 * 1024;
        constexpr qint64 TextPieces = 300;
        MemoryDatabase db;
        auto& table = db.addTable(u"Big"_s,
                                  {{u"Id"_s, u"int"_s, {}, 10, 0},
                                   {u"Blob"_s, u"varbinary"_s, -1, {}, {}},
                                   {u"Body"_s, u"varchar"_s, -1, {}, {}}});
        table.rows.push_back({FieldValue::ofText(u"1"_s, Kind::Integer), FieldValue(), FieldValue()});
        table.longValues = [&](qint64, int column, qint64 piece, FieldValue& out) {
            if (column == 1) {
                out = FieldValue::ofBytes(QByteArray(PieceBytes, char(piece % 256)));
                return piece < BlobPieces;
            }
            out = text(u"line's "_s.repeated(1428) + u"\\\r\n"_s); // 10,000 characters a piece
            return piece < TextPieces;
        };
        const Dump dump = dumpOf(db);
        QCOMPARE(dump.reports, QStringList());
        const QByteArray prefix = "INSERT INTO [Big] VALUES('1', 0x000000";
        const qsizetype at = dump.script.indexOf(prefix);
        QVERIFY(at >= 0);
        const qsizetype hexStart = at + prefix.size() - 6;
        const qsizetype hexEnd = dump.script.indexOf(", ", hexStart);
        QCOMPARE(hexEnd - hexStart, 2 * BlobPieces * PieceBytes);
        QCOMPARE(dump.script.mid(hexStart + 2 * PieceBytes, 4), QByteArray("0101"));
        const QByteArray body = dump.script.mid(hexEnd + 2, dump.script.indexOf(");\r\n", hexEnd) - hexEnd - 2);
        QVERIFY(body.startsWith("CONVERT(nvarchar(max), N'line''s line''s "));
        QCOMPARE(body.count("line''s "), 1428 * TextPieces);
        QCOMPARE(body.count("\\' + N'\r\n"), TextPieces - 1);
        QVERIFY(body.endsWith("\\' + N'\r\n'"));
    }
};

QTEST_GUILESS_MAIN(TestLongValues)
#include "tst_longvalues.moc"

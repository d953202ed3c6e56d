// The script's text from its bytes: UTF-8 in pieces of any size, and a script in the system's ANSI code page read in
// that code page from its first byte that is not UTF-8.
#include "ScriptTextDecoder.h"

#include <QStringDecoder>
#include <QTest>

using namespace Qt::Literals::StringLiterals;

namespace {

/** The decoder's text of `bytes` fed in pieces of `piece` bytes. */
QString decodeInPieces(const QByteArray& bytes, qsizetype piece, bool* system = nullptr)
{
    ScriptTextDecoder decoder;
    QString text;
    for (qsizetype at = 0; at < bytes.size(); at += piece)
        text += decoder.decode(QByteArrayView(bytes).sliced(at, qMin(piece, bytes.size() - at)));
    if (system)
        *system = decoder.usesSystemCodePage();
    return text;
}

QString inSystemCodePage(const QByteArray& bytes)
{
    QStringDecoder system(QStringConverter::System);
    return system.decode(bytes);
}

/** True where the system's code page is UTF-8 itself (Linux): bytes that are not UTF-8 become replacements there. */
bool systemIsUtf8()
{
    return inSystemCodePage(QByteArray("\xc3\xa9")) == u"\u00e9"_s;
}

} // namespace

class TestScriptTextDecoder : public QObject
{
    Q_OBJECT

private slots:
    void utf8InAnyPiecesIsReadAsUtf8_data()
    {
        QTest::addColumn<QByteArray>("bytes");
        QTest::addColumn<QString>("text");
        QTest::newRow("ascii") << QByteArray("INSERT INTO [T] VALUES('a')\r\n") << u"INSERT INTO [T] VALUES('a')\r\n"_s;
        QTest::newRow("two bytes") << QByteArray("N'caf\xc3\xa9'") << u"N'café'"_s;
        QTest::newRow("three bytes") << QByteArray("N'\xe8\xb2\xa9\xe5\xa3\xb2'") << u"N'販売'"_s;
        QTest::newRow("four bytes") << QByteArray("N'\xf0\x9f\x98\x80'") << u"N'😀'"_s;
        QTest::newRow("byte-order mark") << QByteArray("\xef\xbb\xbfGO\r\n") << u"GO\r\n"_s;
    }

    void utf8InAnyPiecesIsReadAsUtf8()
    {
        QFETCH(QByteArray, bytes);
        QFETCH(QString, text);
        for (qsizetype piece : {qsizetype(1), qsizetype(2), qsizetype(3), bytes.size()}) {
            bool system = true;
            QCOMPARE(decodeInPieces(bytes, piece, &system), text);
            QVERIFY(!system);
        }
    }

    void notUtf8IsReadInTheSystemCodePageFromThereOn_data()
    {
        QTest::addColumn<QByteArray>("bytes");
        QTest::addColumn<qsizetype>("validPrefix");
        // Windows-1252's é, then more text.
        QTest::newRow("ansi letter") << QByteArray("N'caf\xe9 cr\xe8me'") << qsizetype(5);
        QTest::newRow("ansi after utf8 pieces") << QByteArray("N'\xc3\xa9' N'\xe9'") << qsizetype(8);
        QTest::newRow("overlong") << QByteArray("a\xc0\xaf") << qsizetype(1);
        QTest::newRow("surrogate") << QByteArray("ab\xed\xa0\x80") << qsizetype(2);
        QTest::newRow("cut by a later byte") << QByteArray("x\xe2\x82z") << qsizetype(1);
    }

    void notUtf8IsReadInTheSystemCodePageFromThereOn()
    {
        QFETCH(QByteArray, bytes);
        QFETCH(qsizetype, validPrefix);
        const QString prefix = QString::fromUtf8(bytes.first(validPrefix));
        for (qsizetype piece : {qsizetype(1), qsizetype(4), bytes.size()}) {
            bool system = false;
            const QString text = decodeInPieces(bytes, piece, &system);
            QVERIFY(system);
            if (systemIsUtf8()) {
                // How many replacements a cut sequence gives is the UTF-8 decoder's business.
                QVERIFY2(text.startsWith(prefix) && text.contains(QChar::ReplacementCharacter), qPrintable(text));
            } else {
                // A code page of one byte per character (Windows-1252 and the like): the same whatever the pieces.
                QCOMPARE(text, prefix + inSystemCodePage(bytes.sliced(validPrefix)));
            }
        }
    }
};

QTEST_GUILESS_MAIN(TestScriptTextDecoder)
#include "tst_scripttextdecoder.moc"

#pragma once

// What the end-to-end tests share: one dump through a real connection into a throwaway folder, and reading values
// back for comparison. Header-only: the tests that include it link the backup library themselves.

#include "DataAccess.h"
#include "FakeClock.h"
#include "FakeDialogs.h"
#include "IntervalSave.h"
#include "TestFiles.h"
#include "Views.h"

#include <QFile>
#include <QList>
#include <QTemporaryDir>

/** One dump through the real driver into a throwaway folder, with its log there too. */
struct DumpHarness
{
    DumpHarness(ConnectionFactory& f, const QString& serverName, const QString& databaseName)
        : factory(f)
        , source(serverName, databaseName, QString())
    {
        source.folder = dir.path();
    }

    bool dump(const QString& connectionString)
    {
        IntervalSave engine(BackupContext{factory,
                                          dialogs,
                                          *engineClock,
                                          source,
                                          [this] { ++pumps; },
                                          dir.filePath(QStringLiteral("backups.log")),
                                          {},
                                          {}});
        const bool ok = engine.SaveAll(connectionString, status);
        outputPath = engine.lastOutputPath();
        return ok;
    }
    QByteArray output() const { return readBytes(outputPath); }
    QString log() const { return QString::fromUtf8(readBytes(dir.filePath(QStringLiteral("backups.log")))); }

    ConnectionFactory& factory;
    QTemporaryDir dir;
    FakeDialogs dialogs;
    FakeClock clock;
    const Clock* engineClock = &clock;
    FixedDumpSource source;
    PlainStatusFrame status;
    int pumps = 0;
    QString outputPath;
};

/** Why two values differ ("" when they are the same in every part the engine reads). */
inline QString difference(const FieldValue& a, const FieldValue& b)
{
    const auto hex = [](const QByteArray& bytes) { return QString::fromLatin1("0x" + bytes.toHex().toUpper()); };
    if (a.kind != b.kind)
        return QStringLiteral("kind %1 against %2").arg(int(a.kind)).arg(int(b.kind));
    if (a.text != b.text)
        return QStringLiteral("text '%1' against '%2'").arg(a.text.left(60), b.text.left(60));
    if (a.bytes != b.bytes)
        return QStringLiteral("bytes %1 against %2").arg(hex(a.bytes.left(30)), hex(b.bytes.left(30)));
    if (a.number != b.number || a.singlePrecision != b.singlePrecision)
        return QStringLiteral("number %1 (%2) against %3 (%4)")
            .arg(a.number, 0, 'g', 17)
            .arg(a.singlePrecision)
            .arg(b.number, 0, 'g', 17)
            .arg(b.singlePrecision);
    return QString();
}

/** Every row of the result, each value copied (copies must outlive the block they were read from). */
inline QList<QList<FieldValue>> readAll(RecordSet& rs, int columns)
{
    QList<QList<FieldValue>> rows;
    for (; !rs.Eof(); rs.MoveNext()) {
        QList<FieldValue> row;
        for (int i = 0; i < columns; ++i)
            row.append(rs.Fields(i));
        rows.append(row);
    }
    return rows;
}

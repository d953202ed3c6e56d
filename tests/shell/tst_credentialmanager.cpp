// The Credential Manager keyring against the system's own credential store (Wine's in the Windows tier): a password
// stored, read back as typed, replaced, and gone once removed, each connection under a credential of its own.
#include "CredentialManagerKeyring.h"

#include <QTest>

#include <windows.h>

#include <wincred.h>

using namespace Qt::Literals::StringLiterals;

namespace {

/** Whether the system holds a generic credential of that target name, asked past the keyring class. */
bool credentialExists(const QString& target)
{
    PCREDENTIALW credential = nullptr;
    if (!CredReadW(target.toStdWString().c_str(), CRED_TYPE_GENERIC, 0, &credential))
        return false;
    CredFree(credential);
    return true;
}

} // namespace

class TestCredentialManager : public QObject
{
    Q_OBJECT

private slots:
    void storesReadsReplacesAndRemoves()
    {
        CredentialManagerKeyring keyring;
        // Unique per run, so that a run that died half-way leaves nothing the next one trips over.
        const KeyringEntry entry{u"tst-%1\\sql;x"_s.arg(GetCurrentProcessId()), u"sa"_s, u"Sales"_s};
        const KeyringEntry other{entry.Server, entry.UserName, u"Sales2"_s};
        const QString target = CredentialManagerKeyring::targetName(entry);
        QCOMPARE(target, u"Tessaline/"_s + entry.key());

        QCOMPARE(keyring.read(entry).status, KeyringResult::Status::NotFound);
        // Characters outside Latin-1 and the key's own separators come back exactly.
        const QString password = u"p\u00e4ss;w\u00f6rd=\u4e2d\U0001F511 "_s;
        const KeyringResult written = keyring.write(entry, password);
        QVERIFY2(written.ok(), qPrintable(written.error));
        QVERIFY(credentialExists(target));
        const KeyringResult read = keyring.read(entry);
        QVERIFY2(read.ok(), qPrintable(read.error));
        QCOMPARE(read.password, password);
        QCOMPARE(keyring.read(other).status, KeyringResult::Status::NotFound);

        QVERIFY(keyring.write(entry, u"second"_s).ok());
        QCOMPARE(keyring.read(entry).password, u"second"_s);

        const KeyringResult removed = keyring.remove(entry);
        QVERIFY2(removed.ok(), qPrintable(removed.error));
        QVERIFY(!credentialExists(target));
        QCOMPARE(keyring.read(entry).status, KeyringResult::Status::NotFound);
        // Removing what is not there is no error.
        QVERIFY(keyring.remove(entry).status != KeyringResult::Status::Unreachable);
    }
};

QTEST_GUILESS_MAIN(TestCredentialManager)

#include "tst_credentialmanager.moc"

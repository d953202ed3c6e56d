// The settings file: any content is read without a crash, and a value stored over it reads back as stored.
#include "Failure.h"
#include "Settings.h"
#include "SettingsStore.h"

#include <QDir>
#include <QFile>
#include <QTemporaryDir>

#include <cstddef>
#include <cstdint>
#include <cstdlib>

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    static QTemporaryDir root;
    const QString folder = root.filePath(QStringLiteral("Brackwell"));
    QDir().mkpath(folder);
    QFile file(folder + QStringLiteral("/Brackwell.ini"));
    if (!file.open(QIODevice::WriteOnly | QIODevice::Truncate))
        std::abort();
    file.write(reinterpret_cast<const char*>(data), qint64(size));
    file.close();

    SettingsStore store(root.path());
    for (const QString& key : {SettingKeys::MSServer, SettingKeys::MSPassword, SettingKeys::Path,
                               SettingKeys::KeepBackups, SettingKeys::RestoreFile})
        (void)store.get(key, QStringLiteral("default"));

    // A value of the input's own text, stored and read back by a new store; a file that does not read as settings
    // is refused with words that say so, and stays as it was.
    const QString value = QString::fromUtf8(reinterpret_cast<const char*>(data), qsizetype(size));
    try {
        store.save(SettingKeys::RestoreFile, value);
    } catch (const Failure& failure) {
        QFile again(file.fileName());
        if (!failure.description().contains(QStringLiteral("is damaged")) || !again.open(QIODevice::ReadOnly)
            || again.readAll() != QByteArray(reinterpret_cast<const char*>(data), qsizetype(size)))
            std::abort();
        return 0;
    }
    if (SettingsStore(root.path()).get(SettingKeys::RestoreFile) != value)
        std::abort();
    return 0;
}

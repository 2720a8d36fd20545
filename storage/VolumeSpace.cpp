#include "storage/VolumeSpace.h"

#include <QFile>
#include <QStorageInfo>
#include <QString>
#include <QtNumeric>

#include <sys/statvfs.h>

#include <limits>

namespace talvorine {

VolumeSpace volumeSpaceOf(const QStorageInfo& volume, const QString& directory)
{
    if (volume.isValid())
        return {volume.bytesTotal(), volume.bytesAvailable()};
    struct statvfs fileSystem {};
    if (::statvfs(QFile::encodeName(directory).constData(), &fileSystem) != 0)
        return {};
    // As Qt counts them: blocks of the fragment size, the free ones those an unprivileged
    // user may take.
    const auto bytes = [&](fsblkcnt_t blocks) {
        constexpr quint64 largest = std::numeric_limits<qint64>::max();
        quint64 product = 0;
        return qMulOverflow(quint64(blocks), quint64(fileSystem.f_frsize), &product)
                || product > largest
            ? qint64(largest)
            : qint64(product);
    };
    return {bytes(fileSystem.f_blocks), bytes(fileSystem.f_bavail)};
}

QStorageInfo placedVolumeOf(const QString& directory)
{
    QStorageInfo volume(directory);
    volume.refresh();
    return volume;
}

VolumeSpace measureVolumeOf(const QString& directory)
{
    return volumeSpaceOf(placedVolumeOf(directory), directory);
}

} // namespace talvorine

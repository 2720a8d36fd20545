#pragma once

#include <QtGlobal>

class QStorageInfo;
class QString;

namespace talvorine {

// The size of a directory's volume and the bytes free on it. Qt places the directory on a
// mounted volume; in a root that is no mount point (a chroot, some containers) it cannot, and
// the directory's own file system is asked instead: a disk with room must not be taken for a
// full one, nor a full one for a disk with room. 0 and 0 only when neither can tell.
struct VolumeSpace {
    qint64 total = 0;
    qint64 available = 0;
};
VolumeSpace volumeSpaceOf(const QStorageInfo& volume, const QString& directory);
// Where Qt places the directory, refreshed; invalid where it cannot.
QStorageInfo placedVolumeOf(const QString& directory);
// The volume holding the directory, measured afresh.
VolumeSpace measureVolumeOf(const QString& directory);

} // namespace talvorine

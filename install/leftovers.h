#pragma once

// What runs leave in the client folder beside a release's files, and when it goes: the old
// copy of a file kept while it is replaced, the copy of one of the updater's running files set
// aside so that a new one could take its name, a copy cut short on its way in, and the
// staging of releases no longer wanted.

#include <QString>

class EventSlices;

// The old copy of target kept until its new copy is in place.
QString backupName(const QString &target);
// The running file that stood at target, set aside; never put back, only removed.
QString asideName(const QString &target);

// Brings target's leftovers to rest: an old copy without its file is the only copy and goes
// back under its name, otherwise it goes; a set-aside copy and a copy cut short go.
void settleLeftovers(const QString &target);

// Removes the set-aside copies beside the updater's own running files in appDir, as soon as
// nothing runs from them: early in every run.
void removeAsideCopies(const QString &appDir);

// Removes everything under the staging root but the folders of versionFolder itself.
void removeOtherStaging(const QString &appDir, const QString &versionFolder, EventSlices &slices);

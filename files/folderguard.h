#pragma once

// The guard of the client folder: everything the updater writes, moves or deletes lies below
// the client folder and is reached without passing through a link (a symbolic link, a
// junction or any other reparse point), so nothing a prepared folder holds can steer a write
// elsewhere.

#include <QString>

class EventSlices;

// The first existing component of path below root (root itself not counted) that is a link,
// or empty when there is none. path must lie below root.
QString linkOnPath(const QString &root, const QString &path);

// The error text for a client path that passes through a link.
QString linkRefusal(const QString &relativePath);

// Creates folder below root as real folders only: anything that stands in the way (a link, a
// file) is removed first, a link as a link. For the updater's own folders only.
bool makeOwnFolder(const QString &root, const QString &folder);

// Removes path below root and all below it. Links are removed as links and never entered; when
// a component above path is a link, that link goes instead. For the updater's own folders.
void removeTree(const QString &root, const QString &path, EventSlices *slices = nullptr);

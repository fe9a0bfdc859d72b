#pragma once

// The guard of the client folder: everything the updater writes, moves or deletes lies below
// the client folder, reached through no link but the folder links the player made to keep
// part of the game elsewhere, so nothing a prepared folder holds can steer a write to another
// place or into the updater's own files. Its own folders are reached through no link at all.

#include <QString>

class EventSlices;

// The first existing component of path below root (root itself not counted) that is a link,
// or empty when there is none. path must lie below root.
QString linkOnPath(const QString &root, const QString &path);

// The first component of path below root that a write into the client folder must not pass:
// path itself when it is a link, or a link on the way that is not a folder link leading out
// of the client folder (a link to a file, a link into the client folder or above it, a link
// to nothing). Empty when the way is free. The player's folder links, to another disk say,
// are passed and written through in place.
QString refusedLinkOn(const QString &root, const QString &path);

// Where path lies once every link on its way is resolved, also when path itself does not
// exist yet.
QString realLocation(const QString &path);

// The error text for a client path that passes through a link.
QString linkRefusal(const QString &relativePath);

// The error text for a release file where the client folder holds a folder that is not empty.
QString folderRefusal(const QString &relativePath);

// The error text for a client path that is a Windows short name of another entry.
QString shortNameRefusal(const QString &relativePath);

// Creates folder below root as real folders only: anything that stands in the way (a link, a
// file) is removed first, a link as a link. For the updater's own folders only.
bool makeOwnFolder(const QString &root, const QString &folder);

// Removes path below root and all below it. Links are removed as links and never entered; when
// a component above path is a link, that link goes instead. For the updater's own folders.
void removeTree(const QString &root, const QString &path, EventSlices *slices = nullptr);

#pragma once

// What the updater needs from the file system beyond what Qt offers: it must see a link
// (a symbolic link, a junction, a mount point) as a link and never follow it where it writes,
// keep a rename from silently becoming a copy, read without waiting on what is not a file,
// and push written data to the disk. How it names and knows a file is in fileidentity.h.
// One implementation per platform: filesystem_posix.cpp and filesystem_win.cpp.

#include <QString>
#include <QStringList>

#include <QIODevice>

class QByteArray;
class QFile;
class QFileDevice;

namespace fsys {

enum class EntryKind
{
    Missing,
    File,   // a regular file
    Folder, // a real folder
    Link,   // symbolic link, junction or mount point: never followed. Reparse points that
            // name no other place (cloud-synced or deduplicated entries) are files and folders.
    Other   // a device, pipe or socket
};

// The kind of the entry itself; a link is reported as Link whatever it points at.
EntryKind entryKind(const QString &path);

// Removes the link itself, be it a file link, a folder link or a junction, never what it
// points at. False when path is not a link or cannot be removed.
bool removeLink(const QString &path);

// Removes the file or link at path itself, also when it is marked read-only. Folders fail.
bool removeFile(const QString &path, QString *error = nullptr);

// Renames a file or folder within one volume. Never replaces an existing target and never
// falls back to copying: it fails when the target exists, when the rename would cross
// volumes, or when the file is held open without sharing (Windows). error gets the
// system's text.
bool renameEntry(const QString &from, const QString &to, QString *error = nullptr);

// Reads a file that must be a regular file of at most limit bytes. Never blocks: a pipe or a
// device at path fails at once, as does anything larger than limit. Links are followed.
// error gets a reason the player may read.
bool readRegularFile(const QString &path, qint64 limit, QByteArray *content,
                     QString *error = nullptr);

// True when path itself (not followed) is a regular file with no other name: no link, no hard
// link.
bool isSoleFile(const QString &path);

// Opens a file the updater keeps for itself, never through a second name: when path is not a
// regular file with a single name (a link, a hard link, a pipe or a device), that entry is
// removed and a new file made in its place. mode is ReadWrite (the content is kept),
// WriteOnly (emptied) or WriteOnly | Append. A folder at path fails. error gets the system's
// text.
bool openOwnFile(QFile *file, QIODevice::OpenMode mode, QString *error = nullptr);

// Bytes the current user may still write on the volume that holds path; -1 when unknown.
qint64 freeBytes(const QString &path);

// Asks the system to start writing file's data to the disk now, without waiting for it, so
// that a later syncFiles finds little left to do. Where there is no such request, nothing.
void startWriteback(QFileDevice &file);
// For a file written from start to end: starts writing [from, from + length) to the disk and
// waits until what came before from is written, so the disk works along with the writer and
// the final sync finds little left. Where there is no such request, nothing.
void writeBehind(QFileDevice &file, qint64 from, qint64 length);

// Pushes the written content of these files down to the disk, as cheaply as the platform
// allows for many files at once (one file system sync on Linux). Blocks: keep it off the GUI
// thread. error gets the system's text.
bool syncFiles(const QStringList &paths, QString *error = nullptr);

} // namespace fsys

#pragma once

// What the updater needs from the file system beyond what Qt offers: it must see a link
// (a symbolic link, a junction or any other reparse point) as a link and never follow it
// where it writes, know a file by its identity rather than its name, keep a rename from
// silently becoming a copy, and push written data to the disk. One implementation per
// platform: filesystem_posix.cpp and filesystem_win.cpp.

#include <QString>
#include <QStringList>

class QFileDevice;

namespace fsys {

enum class EntryKind
{
    Missing,
    File,   // a regular file
    Folder, // a real folder
    Link,   // symbolic link, junction or other reparse point: never followed
    Other   // a device, pipe or socket
};

// The kind of the entry itself; a link is reported as Link whatever it points at.
EntryKind entryKind(const QString &path);

// Removes the link itself, be it a file link, a folder link or a junction, never what it
// points at. False when path is not a link or cannot be removed.
bool removeLink(const QString &path);

// True when both paths lead to the same file on disk: links resolved, and on Windows letter
// case and 8.3 short names seen through (volume serial number and file index; on POSIX,
// device and inode). False when either cannot be opened.
bool sameFile(const QString &a, const QString &b);

// Renames a file or folder within one volume. Never replaces an existing target and never
// falls back to copying: it fails when the target exists, when the rename would cross
// volumes, or when the file is held open without sharing (Windows). error gets the
// system's text.
bool renameEntry(const QString &from, const QString &to, QString *error = nullptr);

// Asks the system to start writing file's data to the disk now, without waiting for it, so
// that a later syncFiles finds little left to do. Where there is no such request, nothing.
void startWriteback(QFileDevice &file);

// Pushes the written content of these files down to the disk, as cheaply as the platform
// allows for many files at once (one file system sync on Linux). Blocks: keep it off the GUI
// thread. error gets the system's text.
bool syncFiles(const QStringList &paths, QString *error = nullptr);

} // namespace fsys

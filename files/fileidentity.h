#pragma once

// How the file system names and knows a file: the place a path leads to once its links are
// resolved, a file's identity whatever name reaches it, and the names that stand for others
// (letter case and short names on Windows). One implementation per platform:
// fileidentity_posix.cpp and fileidentity_win.cpp.

#include <QByteArray>
#include <QString>

namespace fsys {

// The path with every link on it resolved, as the system names it (long names and the stored
// letter case on Windows); empty when nothing is there.
QString realPath(const QString &path);

// The identity of the file behind path (links followed): equal for two names of one file,
// hard links included. Empty when it cannot be opened.
QByteArray fileKey(const QString &path);

// The form in which the file system tells two names apart: folded case on Windows, the name
// itself elsewhere.
QString nameKey(const QString &path);

// True when the last component of path is a Windows short (8.3) name standing for an entry
// with another name, or, where nothing stands yet, has the form of one. Never true elsewhere.
bool isShortNameAlias(const QString &path);

} // namespace fsys

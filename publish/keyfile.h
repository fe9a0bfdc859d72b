#pragma once

// A new file that only its owner may read, for a private signing key. One implementation per
// platform: keyfile_posix.cpp (mode 0600) and keyfile_win.cpp (a protected ACL that grants the
// current user alone, with nothing inherited from the folder).

class QFile;
class QString;

// Creates file's path and opens it for writing. Fails, changing nothing, when anything stands
// at that name, a link included. error gets the system's text.
bool createOwnerOnlyFile(QFile *file, QString *error = nullptr);

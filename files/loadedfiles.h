#pragma once

// The files the running updater is made of, which the system keeps in use while it runs. One
// implementation per platform: loadedfiles_posix.cpp and loadedfiles_win.cpp.

#include <QStringList>

// Absolute paths: the executable first, then every library loaded into the process.
QStringList loadedFiles();

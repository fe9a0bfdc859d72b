#pragma once

#include "manifest/updatemanifest.h"

#include <QString>

struct StagedFile
{
    UpdateFile file;
    QString stagedPath; // absolute path of the verified copy
};

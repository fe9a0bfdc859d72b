#pragma once

// Before the first request, what each file of a release needs: nothing when the installed
// copy or a copy staged by an earlier run already holds the release, otherwise a transfer,
// possibly continuing a partial copy an earlier run left. Every file is looked at on all
// cores while the window keeps answering; nothing is written.

#include "download/resumabletransfer.h"
#include "manifest/updatemanifest.h"

#include <QList>
#include <QString>

#include <vector>

struct FilePlan
{
    enum class State
    {
        Fetch,
        InPlace, // the installed file is the release's
        Staged   // a verified copy is already in the version folder
    };
    State state = State::Fetch;
    qint64 onDisk = 0;   // InPlace, Staged: the copy's size
    PartialCopy partial; // Fetch: what may be continued
};

// One plan per file, in manifest order. versionFolder is the release's staging folder.
std::vector<FilePlan> planDownloads(const QString &appDir, const QString &versionFolder,
                                    const QList<UpdateFile> &files);

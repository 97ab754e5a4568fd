// What the file list shows of a document before anything is done to it: its
// size, its page count, and whether a password protects it. Read on a worker
// thread, never the window's: sources may sit on a slow network share.
#pragma once

#include <QString>

namespace batch {

struct DocumentFacts
{
    qint64 size = 0;
    int pages = 0;          // 0 when unknown: unreadable, or its password not yet given
    bool encrypted = false; // a password protects it (an open one, or only the owner's)
};

// Safe on any thread; `password` opens a document that needs one.
DocumentFacts readDocumentFacts(const QString& path, const QString& password = QString());

} // namespace batch

// What the window and the command line share about a batch's files: which
// files it takes, and the report of what became of them.
#pragma once

#include "protocol/request.h"

#include <QByteArray>
#include <QFileInfo>
#include <QList>
#include <QString>
#include <QStringList>

namespace batch {

// One file a batch did not take, and why.
struct Refusal
{
    QString path;
    QString reason;
};
// Appends to `listed` (canonical paths, in order) the files of `paths` that a
// batch may take; a folder stands for the files of the kind directly inside it, in natural
// order (digit runs compared as numbers). Refused: folders that cannot be
// listed, unreadable files, files that are not PDFs (by name, or by the first
// 1024 bytes), empty ones, those over 512 MB or beyond `limit` listed files,
// and files already listed, also through links or "." parts ("已在列表中").
// What a batch takes: PDFs, or, to be made PDFs, pictures (JPEG, PNG, TIFF,
// BMP, by name and by their first bytes).
enum class SourceKind
{
    Pdf,
    Picture
};
SourceKind sourceKind(const Operation& operation);
// True when the name of `info` is one of `kind`'s.
bool hasSuffix(const QFileInfo& info, SourceKind kind);
QList<Refusal> takeFiles(const QStringList& paths, QStringList& listed,
                         qsizetype limit = maxSources, SourceKind kind = SourceKind::Pdf);

// The application's local data folder joined with "tessdata", where the
// language-pack dialog installs; not created here.
QString defaultModelsFolder();
// The models folder a first run uses: the installed packs when that folder
// exists, else Debian's Tesseract data, else "tessdata" beside the program.
QString initialModelsFolder();

// True when writing `chosen` would land on `listed`: the same path in any
// letter case, through links or a linked folder, or a hard link.
bool sameFile(const QString& chosen, const QString& listed);

// One file's line of the report.
struct ReportEntry
{
    QString input;
    QString state;
    QString output;
    QString detail;
};
enum class ReportFormat
{
    Json,
    Csv, // UTF-8 with a byte-order mark, as spreadsheet programs open it as it is
};
// The report of a batch run with the settings of `request`, never its
// passwords: product, version, operation, time, settings and one item per file.
// An entry's state for scripts: ok, review, skipped, failed, stopped or waiting.
QString reportStatus(const QString& state);

QByteArray batchReport(const JobRequest& request, const QList<ReportEntry>& entries,
                       ReportFormat format = ReportFormat::Json);

} // namespace batch

#include "runner/sources.h"

#include "protocol/request.h"

#include <QDateTime>
#include <QDir>
#include <QFile>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>

#ifdef Q_OS_UNIX
#include <sys/stat.h>
#endif

using namespace Qt::StringLiterals;

namespace batch {

namespace {

bool hasPdfSuffix(const QFileInfo& info)
{
    return info.suffix().compare(u"pdf"_s, Qt::CaseInsensitive) == 0;
}

// Files of other kinds named .pdf are refused when added, not when a whole
// merge fails on them; readers accept the header anywhere in the first 1024 bytes.
bool startsLikePdf(const QString& path)
{
    QFile file(path);
    return file.open(QIODevice::ReadOnly) && file.read(1024).contains("%PDF-");
}

} // namespace

QString refusalReason(const QFileInfo& info, qsizetype listed)
{
    if (!info.isFile() || !info.isReadable())
        return u"文件不存在或无法读取"_s;
    if (!hasPdfSuffix(info))
        return u"不是 PDF 文件"_s;
    if (info.size() < 1)
        return u"文件为空"_s;
    if (info.size() > maxSourceBytes)
        return u"超过 512 MB"_s;
    if (!startsLikePdf(info.absoluteFilePath()))
        return u"不是 PDF 文件"_s;
    if (listed >= maxSources)
        return u"超过单批 200 份上限"_s;
    return QString();
}

QStringList expandFolders(const QStringList& paths)
{
    QStringList candidates;
    for (const QString& path : paths) {
        const QFileInfo info(path);
        if (!info.isDir()) {
            candidates.append(path);
            continue;
        }
        const QFileInfoList entries =
            QDir(path).entryInfoList(QDir::Files | QDir::Readable, QDir::Name);
        for (const QFileInfo& entry : entries) {
            if (hasPdfSuffix(entry))
                candidates.append(entry.absoluteFilePath());
        }
    }
    return candidates;
}

// One file reached through "." parts or links is one entry; where the file
// system ignores letter case, so does the key. Folding case on Linux would
// silently drop a.pdf when A.pdf, a different file, is already listed.
QString identityKey(const QString& canonicalPath)
{
#if defined(Q_OS_WIN) || defined(Q_OS_MACOS)
    return canonicalPath.toCaseFolded();
#else
    return canonicalPath;
#endif
}

namespace {

// Where writing `path` would land: links followed, and for a file that does
// not exist yet, its canonical folder with its name.
QString landingPath(const QString& path)
{
    QFileInfo info(path);
    for (int hops = 0; info.isSymLink() && hops < 40; ++hops)
        info = QFileInfo(info.symLinkTarget());
    if (info.exists())
        return info.canonicalFilePath();
    const QString folder = QFileInfo(info.absolutePath()).canonicalFilePath();
    return folder.isEmpty() ? info.absoluteFilePath() : folder + u'/' + info.fileName();
}

} // namespace

bool sameFile(const QString& chosen, const QString& listed)
{
    if (listed.isEmpty())
        return false;
    if (QFileInfo(chosen).absoluteFilePath().compare(listed, Qt::CaseInsensitive) == 0 ||
        landingPath(chosen).compare(landingPath(listed), Qt::CaseInsensitive) == 0)
        return true;
#ifdef Q_OS_UNIX
    struct stat a
    {};
    struct stat b
    {};
    return ::stat(QFile::encodeName(chosen).constData(), &a) == 0 &&
           ::stat(QFile::encodeName(listed).constData(), &b) == 0 && a.st_dev == b.st_dev &&
           a.st_ino == b.st_ino;
#else
    return false;
#endif
}

QByteArray batchReport(const QString& operationId, const QList<ReportEntry>& entries)
{
    QJsonArray items;
    for (const ReportEntry& entry : entries) {
        items.append(QJsonObject{{u"input"_s, entry.input},
                                 {u"state"_s, entry.state},
                                 {u"output"_s, entry.output},
                                 {u"detail"_s, entry.detail}});
    }
    const QJsonObject report{
        {u"product"_s, u"QuorvinPDFBatch"_s},
        {u"version"_s, u"0.1.0"_s},
        {u"operation"_s, operationId},
        {u"createdAt"_s, QDateTime::currentDateTimeUtc().toString(Qt::ISODate)},
        {u"items"_s, items}};
    return QJsonDocument(report).toJson(QJsonDocument::Indented);
}

} // namespace batch

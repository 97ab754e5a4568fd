#include "runner/sources.h"

#include "engine/platformfs.h"
#include "protocol/request.h"

#include <QCoreApplication>
#include <QDateTime>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QSet>
#include <QStandardPaths>

#include <algorithm>

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

// Why `info` cannot join a batch that lists `listed` files already, or "".
QString refusalReason(const QFileInfo& info, qsizetype listed, qsizetype limit)
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
    if (listed >= limit)
        return u"超过单批 200 份上限"_s;
    return QString();
}

// Digit runs compared as numbers, the rest without regard to letter case, as
// file managers sort. Our own: QCollator's numeric mode depends on how Qt was
// built and on the locale, and the C locale ignores it.
int naturalCompare(const QString& a, const QString& b)
{
    qsizetype i = 0;
    qsizetype j = 0;
    while (i < a.size() && j < b.size()) {
        if (a.at(i).isDigit() && b.at(j).isDigit()) {
            const qsizetype startA = i;
            const qsizetype startB = j;
            while (i < a.size() && a.at(i).isDigit())
                ++i;
            while (j < b.size() && b.at(j).isDigit())
                ++j;
            // Leading zeros do not count; then the longer run is the larger number.
            QStringView runA = QStringView(a).mid(startA, i - startA);
            QStringView runB = QStringView(b).mid(startB, j - startB);
            while (runA.size() > 1 && runA.front() == u'0')
                runA = runA.mid(1);
            while (runB.size() > 1 && runB.front() == u'0')
                runB = runB.mid(1);
            if (runA.size() != runB.size())
                return runA.size() < runB.size() ? -1 : 1;
            const int digits = runA.compare(runB);
            if (digits != 0)
                return digits;
            continue;
        }
        const int letters = QString::compare(a.at(i), b.at(j), Qt::CaseInsensitive);
        if (letters != 0)
            return letters;
        ++i;
        ++j;
    }
    return (a.size() - i > 0) - (b.size() - j > 0);
}

// The paths given, with each folder replaced by the PDFs directly inside it in
// the order a file manager shows (s2 before s10). A folder that cannot be
// listed is refused; files inside that cannot be read are kept, to be refused
// by name.
QStringList expandFolders(const QStringList& paths, QList<Refusal>& refused)
{
    QStringList candidates;
    for (const QString& path : paths) {
        const QFileInfo info(path);
        if (!info.isDir()) {
            candidates.append(path);
            continue;
        }
        if (!info.isReadable() || !info.isExecutable()) {
            refused.append({path, u"文件夹无法读取"_s});
            continue;
        }
        QStringList names;
        for (const QFileInfo& entry : QDir(path).entryInfoList(QDir::Files, QDir::NoSort)) {
            if (hasPdfSuffix(entry))
                names.append(entry.fileName());
        }
        std::sort(names.begin(), names.end(), [](const QString& a, const QString& b) {
            const int order = naturalCompare(a, b);
            return order != 0 ? order < 0 : a < b;
        });
        for (const QString& name : std::as_const(names))
            candidates.append(QDir(path).absoluteFilePath(name));
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

} // namespace

QList<Refusal> takeFiles(const QStringList& paths, QStringList& listed, qsizetype limit)
{
    QSet<QString> keys;
    for (const QString& path : std::as_const(listed)) {
        const QString canonical = QFileInfo(path).canonicalFilePath();
        keys.insert(identityKey(canonical.isEmpty() ? path : canonical));
    }
    QList<Refusal> refused;
    for (const QString& candidate : expandFolders(paths, refused)) {
        const QFileInfo info(candidate);
        const QString canonical = info.canonicalFilePath();
        // A path that does not exist has no canonical form; it is refused below.
        const QString key = identityKey(canonical.isEmpty() ? info.absoluteFilePath() : canonical);
        const QString reason = !canonical.isEmpty() && keys.contains(key)
                                   ? u"已在列表中"_s
                                   : refusalReason(info, listed.size(), limit);
        if (!reason.isEmpty()) {
            refused.append({candidate, reason});
            continue;
        }
        keys.insert(key);
        // Named as the user named it: a link's result takes the link's name.
        listed.append(info.absoluteFilePath());
    }
    return refused;
}

QString defaultModelsFolder()
{
    return QDir(QStandardPaths::writableLocation(QStandardPaths::AppLocalDataLocation))
        .filePath(u"tessdata"_s);
}

QString initialModelsFolder()
{
    const QString own = defaultModelsFolder();
    if (QFileInfo(own).isDir())
        return own;
    // Debian installs Tesseract's own data folder; it plays the part of the
    // "tessdata" folder that a Windows installation keeps beside the executable.
    const QString system = u"/usr/share/tesseract-ocr/5/tessdata"_s;
    if (QFileInfo(system).isDir())
        return system;
    return QDir(QCoreApplication::applicationDirPath()).filePath(u"tessdata"_s);
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
    return sameEntry(chosen, listed);
}

} // namespace batch

#include "testsupport.h"

#include <QCryptographicHash>
#include <QDir>
#include <QFile>

namespace testsupport {

QByteArray sha256File(const QString& path)
{
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly))
        return QByteArray();
    QCryptographicHash hash(QCryptographicHash::Sha256);
    hash.addData(&file);
    return hash.result();
}

void SourceGuard::add(const QString& path)
{
    m_hashes.insert(path, sha256File(path));
}

bool SourceGuard::unchanged() const
{
    for (auto it = m_hashes.cbegin(); it != m_hashes.cend(); ++it) {
        if (it.value().isEmpty() || sha256File(it.key()) != it.value())
            return false;
    }
    return true;
}

QStringList folderEntries(const QString& folder)
{
    return QDir(folder).entryList(
        QDir::AllEntries | QDir::Hidden | QDir::System | QDir::NoDotAndDotDot, QDir::Name);
}

} // namespace testsupport

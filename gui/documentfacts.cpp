#include "gui/documentfacts.h"

#include <QFileInfo>

#include <poppler-qt6.h>

#include <memory>

namespace batch {

DocumentFacts readDocumentFacts(const QString& path, const QString& password)
{
    // A wrong or missing password is what the lock says; the library's own
    // complaint would only clutter the console.
    static const bool quiet = [] {
        Poppler::setDebugErrorFunction([](const QString&, const QVariant&) {}, QVariant());
        return true;
    }();
    Q_UNUSED(quiet);
    DocumentFacts facts;
    facts.size = QFileInfo(path).size();
    const QByteArray secret = password.toUtf8();
    const std::unique_ptr<Poppler::Document> document =
        Poppler::Document::load(path, secret, secret);
    if (!document)
        return facts;
    facts.encrypted = document->isEncrypted() || document->isLocked();
    if (!document->isLocked())
        facts.pages = document->numPages();
    return facts;
}

} // namespace batch

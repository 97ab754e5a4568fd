// The OCR language-pack dialog: three packs with their state, verified HTTPS
// download, import of local files, and the text-layer font. Nothing it does
// ever leaves a damaged model in the models folder.
#pragma once

#include "gui/languagepacks/languagepacks.h"

#include <QDialog>
#include <QList>
#include <QUrl>

#include <functional>
#include <memory>

class QLabel;
class QNetworkAccessManager;
class QNetworkReply;
class QProgressBar;
class QPushButton;
class QTemporaryFile;

namespace batch {

// A pack file, downloaded or imported, is at most 64 MiB.
inline constexpr qint64 maxPackBytes = 67108864;

struct LanguagePack
{
    QString code;
    QString name;
    QString sha256;
    QLabel* statusLabel = nullptr;
    QPushButton* downloadButton = nullptr;
    QPushButton* importButton = nullptr;
};

// Makes sure "pdf.ttf" is in the default models folder; an existing non-empty
// file is never rewritten.
bool installBundledFont();

// Verifies `sourcePath` by loading it with Tesseract under the name
// code + ".traineddata" in a scratch folder, then commits it into
// `targetFolder` in one step. On failure `error` holds the message and the
// folder is as it was.
bool verifyAndInstallPack(const QString& sourcePath, const QString& code,
                          const QString& targetFolder, QString& error);

class LanguageDialog : public QDialog
{
    Q_OBJECT
public:
    // `downloadBase` ends in "downloads/ocr/4.1.0/"; users always get the built-in one.
    explicit LanguageDialog(QWidget* parent = nullptr,
                            const QUrl& downloadBase = defaultDownloadBase());
    ~LanguageDialog() override;

    static QUrl defaultDownloadBase();

    // The models folder the window uses now, say Debian's: its packs count as
    // available, and are taken over when the user switches to these packs.
    void setFolderInUse(const QString& folder);

    // Test hooks for the file dialog and the desktop's browser.
    using FileChooser = std::function<QString(QWidget*, const QString&, const QString&)>;
    void setFileChooser(FileChooser chooser) { m_chooseFile = std::move(chooser); }
    void setUrlOpener(std::function<void(const QUrl&)> opener) { m_openUrl = std::move(opener); }

public slots:
    void reject() override;

private:
    friend class TestLanguagePacks;

    void refreshPackState();
    void startDownload(int index);
    void onDownloadReadyRead();
    void onDownloadProgress(qint64 received, qint64 total);
    void onDownloadFinished();
    void cancelDownload();
    void importPack(int index);
    void useThesePacks();
    // True when the window reads its models from another folder than the one
    // packs are installed in: an installed pack waits for "使用这些语言包".
    bool packsWaitToBeUsed() const;
    // What an installed pack's message adds while it waits.
    QString stillNeeded() const;

    QList<LanguagePack> m_packs;
    QNetworkAccessManager* m_network = nullptr;
    QNetworkReply* m_reply = nullptr;
    std::unique_ptr<QTemporaryFile> m_downloadFile;
    QLabel* m_statusLabel = nullptr;
    QProgressBar* m_progressBar = nullptr;
    QPushButton* m_cancelButton = nullptr;
    QPushButton* m_useButton = nullptr;
    int m_activeIndex = -1;
    bool m_cancelRequested = false;
    QString m_downloadError;
    QString m_folderInUse;

    QUrl m_downloadBase;
    FileChooser m_chooseFile;
    std::function<void(const QUrl&)> m_openUrl;
};

} // namespace batch

// One job as both processes describe it: what the worker reads from a request
// line and what a front end (the window, the command line) asks for.
//
// Parsing never refuses: a member that is missing or of the wrong type takes
// its default, and the values are checked later by the job frame, each check
// with its own message and in its fixed order.
#pragma once

#include <QJsonObject>
#include <QList>
#include <QString>
#include <QStringList>

#include <optional>

namespace batch {

struct Operation;

// One part of a page range such as "1-3,5": pages `first` to `last`, 1-based.
struct PageSpan
{
    static constexpr int toTheEnd = -1; // "5-": the last page of the document
    int first = 0;
    int last = 0;
    QString written; // the part as typed, for a message about it
};
// The parts of a page range as written, before any document is known; an
// empty text has none (all pages). Parts are "5", "2-4", "5-" and "-3", with
// spaces anywhere around them, separated by commas; full-width digits, the
// full-width and ideographic commas and the usual dashes and tildes count as
// their ASCII forms. The window checks this before it starts;
// the job also checks the pages against the document.
struct PageSpans
{
    QList<PageSpan> spans; // the parts before the first wrong one
    bool tooLong = false;
    std::optional<QString> badPart; // the first part that is not a range
    bool ok() const { return !tooLong && !badPart; }
};
PageSpans parsePageSpans(const QString& text);
// The window's message for a range parsePageSpans refused; "" when it is fine.
QString pageRangeSyntaxMessage(const PageSpans& parsed);

// Limits both processes enforce, each where its message belongs.
inline constexpr int maxSources = 200;                // per batch, and per merge
inline constexpr qint64 maxSourceBytes = 536870912;   // per source file
inline constexpr int maxPages = 100000;               // per document, and per job
inline constexpr qsizetype maxNewPasswordBytes = 127; // UTF-8

// What is wrong with a pattern for result names, in words a user can act on;
// empty when nothing is.
QString outputNameProblem(const QString& pattern);
// The pattern filled in; `pattern` "" gives "{name}-{op}".
QString expandOutputName(const QString& pattern, const QString& name, const QString& op,
                         int sequence);

// What is wrong with a new open password, in words a user can act on; empty
// when nothing is. `confirmation` is compared when it is given.
QString newPasswordProblem(const QString& password,
                           const std::optional<QString>& confirmation = std::nullopt);
// Memory a recognition lane takes, measured: about 200 MiB.
inline constexpr qint64 laneBytes = 200LL * 1024 * 1024;

// Recognition lanes the machine has room for: one per core this process may
// run on (CPU affinity followed), fewer when half of the memory available now
// does not hold that many lanes. At least 1.
int laneRoom();
// The lanes this process may use: the room, at most what a batch runner
// granted it through QPB_LANES (or QPB_OCR_LANES, which older runners and
// workers started by hand set).
int grantedLanes();

// "ocrLanguage", "ocrDpi", "ocrModels", "ocrSkipText", "ocrOutput".
struct OcrRequest
{
    QString language = QStringLiteral("chi_sim+eng");
    int dpi = 300;
    QString models;
    bool skipText = true; // keep pages that already carry text
    // "pdf" (searchable PDF), "docx" (editable Word document) or "rebuilt"
    // (a PDF rebuilt from the recognised paragraphs).
    QString output = QStringLiteral("pdf");
};

struct JobRequest
{
    const Operation* operation = nullptr; // "operation"; null when unknown
    QStringList inputs;                   // "inputs"; non-string elements read as ""
    QString output;                       // "output": the output folder
    QString password;                     // "password": the sources' password, owner's or open
    QStringList passwords; // "passwords": each input's own, "" where `password` applies
    QString pages;         // "pages": a page range, "" for all pages
    int group = 1;         // "group": pages per part of a split
    // "splitMode": where a split's parts end: "pages" (by `group` or after
    // `pages`), "bookmarks" (at each bookmark of `level`), "size" (written
    // parts of at most `maxSize` bytes) or "blank" (at separator pages, kept
    // with `keepSeparators`, found below `blankThreshold` percent of ink).
    QString splitMode = QStringLiteral("pages");
    int level = 1;                 // "level"
    qint64 maxSize = 0;            // "maxSize"
    bool keepSeparators = false;   // "keepSeparators"
    double blankThreshold = 0.015; // "blankThreshold": per cent of the page
    // Pages as pictures: "imageFormat" png, jpg or tif, "imageDpi" 72 to
    // 600, "imageQuality" (JPEG) 1 to 100, "imageGrey".
    // Pictures to PDF: "oneFile" the name of the one PDF of all of them in
    // list order, "" for a PDF of each; "fitA4" pages of A4; "recognize" the
    // result's text recognised with the `ocr` settings.
    QString oneFile;
    bool fitA4 = false;
    bool recognize = false;
    // Page numbers, Bates numbers and watermarks ("stamp"); any may be left
    // out. Numbers: "numberFormat" with {n} and {total} ("" for none) at
    // "numberPosition" (top|bottom-left|center|right), "numberMargin" mm
    // from the edges, counting from "firstNumber" after "skipFirst" pages.
    QString numberFormat;
    QString numberPosition = QStringLiteral("bottom-center");
    double numberMargin = 10;
    int firstNumber = 1;
    int skipFirst = 0;
    double fontSize = 10; // "fontSize": numbers' points
    // Bates: "batesPrefix", "batesDigits" (0 for none), "batesStart", this
    // file's first; the front end continues it across the batch.
    QString batesPrefix;
    int batesDigits = 0;
    qint64 batesStart = 1;
    // Watermark: "watermarkText", "watermarkImage" (a PNG or JPEG), either
    // or both, with "watermarkSize" points, "watermarkAngle" degrees,
    // "watermarkOpacity", "watermarkColor" (#rrggbb), "watermarkTiled",
    // "watermarkBehind" the page's content, and the image's "watermarkScale"
    // (share of the page's width) and "watermarkImagePosition".
    QString watermarkText;
    QString watermarkImage;
    double watermarkSize = 60;
    double watermarkAngle = 45;
    double watermarkOpacity = 0.3;
    QString watermarkColor = QStringLiteral("#808080");
    bool watermarkTiled = false;
    bool watermarkBehind = false;
    double watermarkScale = 0.25;
    QString watermarkImagePosition = QStringLiteral("bottom-right");
    QString imageFormat = QStringLiteral("png");
    int imageDpi = 150;
    int imageQuality = 90;
    bool imageGrey = false;
    int degrees = 90;    // "degrees": clockwise turn of a rotation
    QString newPassword; // "newPassword": open password of an encryption or a merge
    OcrRequest ocr;
    QString compressLevel = QStringLiteral("standard"); // "compressLevel": high, standard, small
    qint64 targetSize = 0; // "targetSize": bytes a compressed result should fit in, 0 for none
    // "outputName": how results are named, "" for "{name}-{op}": {name} the
    // source's name, {op} the operation's short name, {n} `sequence`. A
    // merge's is its file name as it is (placeholders allowed).
    QString outputName;
    int sequence = 1; // "sequence": the file's place in the batch, from 1

    QString passwordFor(qsizetype input) const
    {
        const QString own = passwords.value(input);
        return own.isEmpty() ? password : own;
    }
};

// Whether the request's inputs make one result together (a merge, pictures
// into one PDF) rather than one each.
bool oneJobForAll(const JobRequest& request);

JobRequest parseRequest(const QJsonObject& object);
// Every member, so that the worker reads back exactly this request.
QJsonObject toJson(const JobRequest& request);

} // namespace batch

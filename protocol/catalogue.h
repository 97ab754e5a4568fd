// The fixed table of the operations shared by the GUI and the worker.
#pragma once

#include <QString>

#include <array>

namespace batch {

// What a job does; the job frame dispatches on this, never on the id text.
enum class OperationKind
{
    Merge,
    Split,
    Extract,
    Rotate,
    Stamp,
    Ocr,
    Optimize,
    Compress,
    Encrypt,
    Decrypt,
    ImagesToPdf,
    PdfToImages
};

struct Operation
{
    OperationKind kind;
    QString id;          // wire identifier, ASCII lower case
    QString title;       // navigation entry and settings heading
    QString description; // one sentence under the title
    QString icon;        // ":/batch/" + icon + ".svg"
    QString shortName;   // appended to output names as "-" + shortName
};

// The whole table in navigation order. Created once, never changed or freed.
const std::array<Operation, 12>& operations();

// Exact, case-sensitive match on id; nullptr when there is none.
const Operation* findOperation(const QString& id);

} // namespace batch

// The JSON lines exchanged between the GUI and a worker process.
//
// A member that is missing or of the wrong type reads as the caller's default;
// every line is compact JSON with keys in ascending order, UTF-8, ended by LF.
#pragma once

#include <QByteArray>
#include <QJsonObject>
#include <QString>

#include <optional>
#include <QStringList>

#include <exception>
#include <functional>
#include <stdexcept>

namespace batch {

// Ends the current job: the text is the user-facing message, carried as UTF-8.
[[noreturn]] void fail(const QString& message);
// Ends the current job without a result because the file needs nothing done
// (a password removed from a file that has none): not a failure.
class NothingToDo : public std::runtime_error
{
public:
    using std::runtime_error::runtime_error;
};
[[noreturn]] void skip(const QString& reason);
// A library's failure: `sentence` says in Chinese what went wrong, the
// library's own text follows on the next line for diagnosis.
[[noreturn]] void failExplained(const QString& sentence, const std::exception& error);
// The same message as text.
QString explained(const QString& sentence, const std::exception& error);
// A PDF library's account of damage, as a Chinese reason a user can act on;
// a general one for what it does not recognise.
QString damageReason(const QString& libraryText);
// What a message says to the user: its first line. The lines after it are
// detail for diagnosis, shown only where details are asked for.
QString userLine(const QString& message);

// `message`, when not empty, says what the job is doing now.
using ProgressCallback = std::function<void(int completed, int total, const QString& message)>;

inline constexpr qint64 maxRequestLineBytes = 1048576;

QString stringMember(const QJsonObject& object, const QString& key,
                     const QString& fallback = QString());
// Integral numbers within the 32-bit range only; anything else is the fallback.
int intMember(const QJsonObject& object, const QString& key, int fallback);
bool boolMember(const QJsonObject& object, const QString& key, bool fallback);
// Elements that are not strings read as "".
QStringList stringListMember(const QJsonObject& object, const QString& key);

// `review` false: the note only informs (an optimisation's saving), and the
// result is a plain success; the member "review" is then written as false.
QJsonObject successResult(const QString& output, int files, const QString& note,
                          bool review = true);
QJsonObject failureResult(const QString& error);
// {"ok":false,"skipped":true,"error":reason}: nothing written, nothing wrong.
QJsonObject skippedResult(const QString& reason);
// {"completed","ocrProgress","total"}, and "message" when it is not empty.
QJsonObject progressObject(int completed, int total, const QString& message = QString());

// A size as people type it: a number with B, KB, MB or GB (any case, spaces
// allowed; 1 KB = 1024 bytes, as the program shows sizes), or plain bytes.
// Empty for anything else, and for more than 1 TB.
std::optional<qint64> parseByteSize(const QString& text);

// A file size as the program shows it: "512 字节", "796 KB", "12.3 MB", "1.5 GB"
// (units of 1024).
QString formatSize(qint64 bytes);

// Compact JSON plus one line feed.
QByteArray toLine(const QJsonObject& object);

// Parses one line; false for anything but a JSON object.
bool parseObjectLine(const QByteArray& line, QJsonObject& object);

} // namespace batch

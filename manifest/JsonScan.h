#pragma once

// JSON text read without building it. The manifest's text cut drops entries that the parser
// never examines, and a document is JSON only when those entries are too; here they are checked
// exactly as QJsonDocument::fromJson checks them, leniencies included, so that the cut never
// changes which documents are refused.

#include <QByteArrayView>

#include <cstddef>

namespace talvorine::JsonScan {

// QJsonDocument::fromJson refuses a document nested deeper than this.
inline constexpr std::size_t maximumNesting = 1024;

// The index just past the string whose opening quote is at i - 1; -1 when the string is
// unclosed or Qt's parser would refuse it.
qsizetype stringEnd(QByteArrayView text, qsizetype i);

// The rest of an array, read from just after a comma between two of its entries.
struct ArrayRest {
    qsizetype close = -1; // the array's closing bracket; -1 when Qt's parser would refuse the rest
    qsizetype entries = 0;
};

// depth: the brackets open around the array's entries, the array's own included.
ArrayRest skipArrayRest(QByteArrayView text, qsizetype i, std::size_t depth);

} // namespace talvorine::JsonScan

#pragma once

// Digests for the storage benchmarks' made-up objects: 64 lowercase hexadecimal digits from a
// seeded engine, so every run plans the same cache.

#include <QString>

#include <random>

namespace talvorine::bench {

inline QString randomDigest(std::mt19937_64& engine)
{
    static const char hex[] = "0123456789abcdef";
    QString text(64, QLatin1Char('0'));
    for (QChar& c : text)
        c = QLatin1Char(hex[engine() % 16]);
    return text;
}

} // namespace talvorine::bench

#include "manifest/JsonScan.h"

#include <vector>

namespace talvorine::JsonScan {

namespace {

// Qt's parser takes no other white space: a vertical tab, a form feed or a NUL is refused.
bool space(char c)
{
    return c == ' ' || c == '\t' || c == '\n' || c == '\r';
}

bool digit(char c)
{
    return c >= '0' && c <= '9';
}

bool hexDigit(char c)
{
    return digit(c) || (c >= 'a' && c <= 'f') || (c >= 'A' && c <= 'F');
}

// Qt's parser reads a number as an optional minus, one zero or a run of digits, a point with
// digits and an exponent with a sign and digits, every part optional ("1." and ".5" pass), and
// keeps it when it converts to a double: a value beyond the double range, or one so small it
// underflows to zero, refuses the document. A number that ends the text refuses it too.
qsizetype numberEnd(QByteArrayView text, qsizetype i)
{
    const qsizetype start = i;
    const auto digits = [&] {
        const qsizetype from = i;
        while (i < text.size() && digit(text[i]))
            ++i;
        return i - from;
    };
    if (i < text.size() && text[i] == '-')
        ++i;
    qsizetype whole = 1;
    if (i < text.size() && text[i] == '0')
        ++i;
    else
        whole = digits();
    const bool point = i < text.size() && text[i] == '.';
    if (point) {
        ++i;
        digits();
    }
    const bool exponent = i < text.size() && (text[i] == 'e' || text[i] == 'E');
    if (exponent) {
        ++i;
        if (i < text.size() && (text[i] == '+' || text[i] == '-'))
            ++i;
        digits();
    }
    if (i >= text.size())
        return -1;
    // A short integer always converts; the conversion is for the rest.
    if (!point && !exponent && whole > 0 && whole <= 15)
        return i;
    bool converts = false;
    static_cast<void>(text.sliced(start, i - start).toDouble(&converts));
    return converts ? i : -1;
}

// Qt's parser reads a value that starts with t, f or n as that literal, spelt out in full.
qsizetype literalEnd(QByteArrayView text, qsizetype i)
{
    const QByteArrayView word = text[i] == 't' ? "true" : text[i] == 'f' ? "false" : "null";
    return text.sliced(i).startsWith(word) ? i + word.size() : -1;
}

} // namespace

qsizetype stringEnd(QByteArrayView text, qsizetype i)
{
    // Qt's parser refuses a string that is not UTF-8 (overlong forms, surrogates, code points
    // past U+10FFFF) but takes control characters and NULs in it as they are.
    qsizetype plain = i;
    bool ascii = true;
    for (; i < text.size(); ++i) {
        const char c = text[i];
        if (c != '"' && c != '\\') {
            ascii = ascii && static_cast<unsigned char>(c) < 0x80;
            continue;
        }
        if (!ascii && !text.sliced(plain, i - plain).isValidUtf8())
            return -1;
        if (c == '"')
            return i + 1;
        // After a backslash Qt takes any one byte as itself ("\a" is "a", a byte past ASCII
        // included); only "\u" wants exactly four hexadecimal digits.
        if (++i >= text.size())
            return -1;
        if (text[i] == 'u') {
            for (int k = 0; k < 4; ++k) {
                if (++i >= text.size() || !hexDigit(text[i]))
                    return -1;
            }
        }
        plain = i + 1;
        ascii = true;
    }
    return -1;
}

ArrayRest skipArrayRest(QByteArrayView text, qsizetype i, std::size_t depth)
{
    enum class Want { value, valueOrClose, key, keyOrClose, colon, commaOrClose };
    // The containers opened since i, innermost last: true for an object.
    std::vector<bool> open;
    ArrayRest rest;
    Want want = Want::value;
    for (;; ++i) {
        while (i < text.size() && space(text[i]))
            ++i;
        if (i >= text.size())
            return {};
        const char c = text[i];
        const bool inObject = !open.empty() && open.back();
        switch (want) {
        case Want::commaOrClose:
            if (c == ',') {
                want = inObject ? Want::key : Want::value;
                if (open.empty())
                    ++rest.entries;
                continue;
            }
            if (c != (inObject ? '}' : ']'))
                return {};
            if (open.empty()) {
                rest.close = i;
                ++rest.entries;
                return rest;
            }
            open.pop_back();
            continue;
        case Want::colon:
            if (c != ':')
                return {};
            want = Want::value;
            continue;
        case Want::keyOrClose:
        case Want::key:
            if (want == Want::keyOrClose && c == '}') {
                open.pop_back();
                want = Want::commaOrClose;
                continue;
            }
            if (c != '"' || (i = stringEnd(text, i + 1)) < 0)
                return {};
            --i;
            want = Want::colon;
            continue;
        case Want::valueOrClose:
        case Want::value:
            if (want == Want::valueOrClose && c == ']') {
                open.pop_back();
                want = Want::commaOrClose;
                continue;
            }
            if (c == '[' || c == '{') {
                if (depth + open.size() >= maximumNesting)
                    return {};
                open.push_back(c == '{');
                want = c == '{' ? Want::keyOrClose : Want::valueOrClose;
                continue;
            }
            if (c == '"')
                i = stringEnd(text, i + 1);
            else if (c == 't' || c == 'f' || c == 'n')
                i = literalEnd(text, i);
            else
                i = numberEnd(text, i);
            if (i < 0)
                return {};
            --i;
            want = Want::commaOrClose;
            continue;
        }
    }
}

} // namespace talvorine::JsonScan

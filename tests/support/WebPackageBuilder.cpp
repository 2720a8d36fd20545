#include "tests/support/WebPackageBuilder.h"

#include "tests/support/TestFiles.h"

#include <zlib.h>

#include <algorithm>
#include <cstring>

namespace talvorine::test {

namespace {

constexpr qint64 blockBytes = 512;

void putField(QByteArray& header, int offset, int width, const QByteArray& value)
{
    std::memcpy(header.data() + offset, value.constData(),
                size_t(std::min<qsizetype>(width, value.size())));
}

// Octal digits filling the field but its last byte, which stays NUL.
void putOctal(QByteArray& header, int offset, int width, qint64 value)
{
    putField(header, offset, width,
             QByteArray::number(value, 8).rightJustified(width - 1, '0', true));
}

// Deflates into one gzip member as bytes arrive.
class GzipWriter {
public:
    GzipWriter()
    {
        // The fastest level: fixtures are large runs of zeros or noise, and size matters little.
        deflateInit2(&stream_, Z_BEST_SPEED, Z_DEFLATED, 15 + 16, 8, Z_DEFAULT_STRATEGY);
    }
    GzipWriter(const GzipWriter&) = delete;
    GzipWriter& operator=(const GzipWriter&) = delete;
    ~GzipWriter() { deflateEnd(&stream_); }

    void write(const char* data, qint64 size) { run(data, size, Z_NO_FLUSH); }

    void writeZeros(qint64 size)
    {
        static const QByteArray zeros(1 << 20, '\0');
        for (; size > 0; size -= zeros.size())
            write(zeros.constData(), std::min<qint64>(size, zeros.size()));
    }

    QByteArray finish()
    {
        run(nullptr, 0, Z_FINISH);
        return out_;
    }

private:
    void run(const char* data, qint64 size, int flush)
    {
        stream_.next_in = reinterpret_cast<Bytef*>(const_cast<char*>(data));
        stream_.avail_in = uInt(size);
        char buffer[65536];
        int result = Z_OK;
        do {
            stream_.next_out = reinterpret_cast<Bytef*>(buffer);
            stream_.avail_out = sizeof buffer;
            result = deflate(&stream_, flush);
            out_.append(buffer, qsizetype(sizeof buffer - stream_.avail_out));
        } while (stream_.avail_out == 0 || (flush == Z_FINISH && result != Z_STREAM_END));
    }

    z_stream stream_{};
    QByteArray out_;
};

// Writes the archive to any sink with write(data, size) and writeZeros(size).
template <typename Sink>
void writeTar(const QList<TarEntry>& entries, Sink& sink)
{
    for (const TarEntry& entry : entries) {
        const QByteArray header = tarHeader(entry);
        sink.write(header.constData(), header.size());
        if (!entry.data.isEmpty())
            sink.write(entry.data.constData(), entry.data.size());
        else
            sink.writeZeros(entry.zeroBytes);
        sink.writeZeros((blockBytes - entry.contentSize() % blockBytes) % blockBytes);
    }
    sink.writeZeros(2 * blockBytes);
}

struct ByteSink {
    QByteArray bytes;
    void write(const char* data, qint64 size) { bytes.append(data, qsizetype(size)); }
    void writeZeros(qint64 size) { bytes.append(qsizetype(size), '\0'); }
};

} // namespace

WebPackageBuilder& WebPackageBuilder::file(const QString& path, const QByteArray& data, int mode)
{
    TarEntry item;
    item.name = path.toUtf8();
    item.mode = mode;
    item.data = data;
    return entry(item);
}

WebPackageBuilder& WebPackageBuilder::zeroFile(const QString& path, qint64 size)
{
    TarEntry item;
    item.name = path.toUtf8();
    item.zeroBytes = size;
    return entry(item);
}

WebPackageBuilder& WebPackageBuilder::directory(const QString& path, int mode)
{
    TarEntry item;
    item.name = path.toUtf8() + '/';
    item.type = '5';
    item.mode = mode;
    return entry(item);
}

WebPackageBuilder& WebPackageBuilder::entry(const TarEntry& entry)
{
    entries_.append(entry);
    return *this;
}

QByteArray WebPackageBuilder::tar() const
{
    ByteSink sink;
    writeTar(entries_, sink);
    return sink.bytes;
}

QByteArray WebPackageBuilder::package() const
{
    GzipWriter writer;
    writeTar(entries_, writer);
    return writer.finish();
}

QByteArray paxRecord(const QByteArray& key, const QByteArray& value)
{
    const QByteArray body = ' ' + key + '=' + value + '\n';
    // The length counts its own digits.
    qsizetype length = body.size() + 1;
    while (QByteArray::number(length).size() + body.size() > length)
        ++length;
    return QByteArray::number(length) + body;
}

QByteArray tarHeader(const TarEntry& entry)
{
    QByteArray header(blockBytes, '\0');
    QByteArray name = entry.name;
    if (name.size() > 100) {
        // The longest prefix of at most 155 bytes that ends before a "/" leaving a name that fits.
        const qsizetype split = name.lastIndexOf('/', 155);
        if (split <= 0 || name.size() - split - 1 > 100)
            qFatal("a ustar header cannot hold the name %s", name.constData());
        putField(header, 345, 155, name.left(split));
        name = name.mid(split + 1);
    }
    putField(header, 0, 100, name);
    putOctal(header, 100, 8, entry.mode);
    putOctal(header, 108, 8, 0);
    putOctal(header, 116, 8, 0);
    putOctal(header, 124, 12, entry.declaredSize >= 0 ? entry.declaredSize : entry.contentSize());
    putOctal(header, 136, 12, 1700000000);
    header[156] = entry.type;
    putField(header, 157, 100, entry.linkName);
    switch (entry.magic) {
    case TarEntry::Magic::Ustar:
        putField(header, 257, 8, QByteArray("ustar\0" "00", 8));
        break;
    case TarEntry::Magic::Gnu:
        putField(header, 257, 8, QByteArray("ustar  \0", 8));
        break;
    case TarEntry::Magic::OldTar:
        break;
    }
    if (entry.magic != TarEntry::Magic::OldTar) {
        putOctal(header, 329, 8, 0); // device numbers
        putOctal(header, 337, 8, 0);
    }
    std::memset(header.data() + 148, ' ', 8);
    unsigned checksum = 0;
    for (const char c : std::as_const(header))
        checksum += static_cast<unsigned char>(c);
    putField(header, 148, 8, QByteArray::number(checksum, 8).rightJustified(6, '0') + '\0' + ' ');
    return header;
}

QByteArray gzip(const QByteArray& bytes, qint64 zeroTail)
{
    GzipWriter writer;
    writer.write(bytes.constData(), bytes.size());
    writer.writeZeros(zeroTail);
    return writer.finish();
}

ApplicationPackageDescriptor descriptorOf(const QByteArray& package, const QString& entrypoint,
                                          qint64 expandedBytes, qint32 fileCount)
{
    ApplicationPackageDescriptor descriptor;
    descriptor.releaseId = QStringLiteral("rel_test");
    descriptor.sha256 = testfiles::sha(package);
    descriptor.compressedBytes = package.size();
    descriptor.expandedBytes = expandedBytes;
    descriptor.fileCount = fileCount;
    descriptor.entrypoint = entrypoint;
    return descriptor;
}

} // namespace talvorine::test

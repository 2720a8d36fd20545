#pragma once

#include <QByteArray>
#include <QList>
#include <QRgb>
#include <QSize>
#include <QString>

namespace talvorine::test {

// Media made at test time with GStreamer's test sources, so that no binary media is kept in the
// repository. Each function runs a gst-launch style description to its end and returns whether
// the file was written; `error` receives GStreamer's message on failure.

// A VP8/WebM clip of the SMPTE colour bars.
bool makeBarsClip(const QString& path, int width, int height, int frames, int fps = 30,
                  QString* error = nullptr);
// An MPEG-4/Matroska clip of a moving test pattern: cheap to encode and decode at 1080p.
bool makeMovingClip(const QString& path, int width, int height, int frames, int fps,
                    QString* error = nullptr);
// An HEVC/Matroska clip of a moving test pattern in 10-bit 4:2:0: large frames from a small file.
bool makeTenBitHevcClip(const QString& path, int width, int height, int frames,
                        QString* error = nullptr);
// A VP8/WebM clip of a white ball sweeping across a field of adClipBackground: nothing like the
// colour bars, so that a screenshot tells an ad clip from the content clip.
bool makeAdClip(const QString& path, int width, int height, int frames, QString* error = nullptr);
// A 16-bit mono WAV file of a sine tone.
bool makeToneWav(const QString& path, int milliseconds, QString* error = nullptr);
// Bytes that no demuxer accepts, under a media file name.
bool makeCorruptFile(const QString& path);

// Pictures written byte by byte where Qt has no writer for them. Animations loop for ever; frame
// i is all colours[i % colours.size()] and stays delayMs.
QByteArray animatedGif(QSize size, const QList<QRgb>& colours, int frames, int delayMs);
QByteArray animatedWebp(QSize size, const QList<QRgb>& colours, int frames, int delayMs);
// A JPEG as phones write it: its stored pixels red in their top third and blue below, with an
// EXIF orientation that tells how to turn them upright (6: a quarter clockwise).
QByteArray orientedJpeg(QSize stored, int orientation);

// The colours of the test source's SMPTE bars at the top of the picture, left to right (8-bit
// RGB; the source draws them at full level).
struct Rgb {
    int r, g, b;
};
constexpr Rgb smpteBars[7] = {{255, 255, 255}, {255, 255, 0}, {0, 255, 255}, {0, 255, 0},
                              {255, 0, 255},   {255, 0, 0},   {0, 0, 255}};

// The field of makeAdClip's clip.
constexpr Rgb adClipBackground{0xe6, 0x00, 0x7e};

} // namespace talvorine::test

#pragma once

// Every pixel measure of the status overlay and the setup (pairing) screens, from the frame size,
// so that the scene binds sizes instead of computing them. The overlay never shrinks below its
// 1080-line design; the setup screens may shrink to half of it.

namespace talvorine {

struct OverlayGeometry {
    int width = 0;
    int height = 0;
    double scale = 1.0;
    double setupScale = 1.0;
    int syncGlyphSizePx = 8;
    int safeAreaHorizontalPx = 0;
    int chipLeftPx = 0; // the same as safeAreaHorizontalPx
    int safeAreaVerticalPx = 0;
    int noticeTextSizePx = 20;
    int statusIconSizePx = 32;
    double toastTextSizePx = 26;
    double identifyTextSizePx = 26;
    int toastPaddingPx = 16;
    int identifyPaddingPx = 32;
    int splashMarkWidthPx = 0;
    int splashMarkHeightPx = 0;
    int settingsBoxPx = 0;
    double locatorTextSizePx = 96;
    double locatorLetterSpacing = 0.18;
    int setupCopyInsetPx = 160;
    int setupCopyWidthPx = 1600;
    int setupLocatorPlatePaddingPx = 20;
    double headlineTextSizePx = 40;
    double bodyTextSizePx = 26;
    double captionTextSizePx = 20;
    int listGapPx = 9;
    int majorGapPx = 26;

    // Negative sizes count as 0; a 0 frame gives the 1080-line design's measures.
    static OverlayGeometry forFrame(int width, int height);
    static double scaleFor(int width, int height);
    static double setupScaleFor(int width, int height);
    // The glyph drawn inside the status icon's box.
    static double statusIconMarkPx(int statusIconSizePx);
    // The notice sits right of the chip on the chip's row, or in the corner without a chip.
    static int noticeLeftPx(bool chipShown, int chipWidthPx, int gapPx, int leftPx);
    // The width left to the toast beside chip and notice; at least 1.
    static int toastMaxWidthPx(int frameWidthPx, int marginPx, bool chipShown, int chipWidthPx,
                               bool noticeShown, int noticeWidthPx, int gapPx);
};

} // namespace talvorine

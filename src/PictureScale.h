// PictureScale: the dialog's picture at the display's DPI.
//
// The picture (bitmap 131) is drawn for 96 DPI. A window that declares
// itself DPI-aware gets no bitmap stretching from Windows, so at 150 % its
// dialog grows while the picture would keep its pixels and shrink against
// it. The window scales the picture itself, from the one bitmap, with a
// filter that keeps its edges smooth; this half is portable and tested
// natively.
#pragma once

#include <cstdint>
#include <vector>

// The DPI the picture is drawn for.
constexpr int kPictureDpi = 96;

// nLength scaled by nTo / nFrom, rounded to the nearest pixel. The window
// scales the picture as the dialog manager scales the dialog, by the
// dialog's base unit now against its base unit at 96 DPI: font sizes come in
// whole pixels, so a dialog at 150 % grows by 1.4 or 1.55 rather than by
// 1.5, and a picture scaled by the DPI alone would stand out of the layout.
int ScaleLength(int nLength, int nTo, int nFrom);

// A length of the picture in pixels at nDpi, when only the DPI is known.
int PictureLengthForDpi(int nLength, int nDpi);

// Pixels of 32 bits (any channel order; each byte is filtered on its own),
// rows top down, no padding.
struct Pixels {
    int nWidth = 0;
    int nHeight = 0;
    std::vector<uint32_t> data;
};

// src resampled to nWidth x nHeight with a triangle filter as wide as one
// source pixel when enlarging and one target pixel when reducing: bilinear
// going up, an area average going down, so neither blocks nor moire.
Pixels ScalePixels(const Pixels& src, int nWidth, int nHeight);

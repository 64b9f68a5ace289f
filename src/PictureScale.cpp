#include "PictureScale.h"

#include <algorithm>
#include <cmath>

namespace {

// One target pixel's sources along one axis and their weights.
struct Tap {
    int nFirst = 0;
    std::vector<float> weights;
};

std::vector<Tap> Taps(int nFrom, int nTo)
{
    const double scale = static_cast<double>(nTo) / nFrom;
    const double radius = scale >= 1.0 ? 1.0 : 1.0 / scale;
    std::vector<Tap> taps(nTo);
    for (int i = 0; i < nTo; ++i) {
        // Pixel centres of target and source line up.
        const double centre = (i + 0.5) / scale - 0.5;
        int first = static_cast<int>(std::floor(centre - radius)) + 1;
        int last = static_cast<int>(std::ceil(centre + radius)) - 1;
        first = std::max(first, 0);
        last = std::min(last, nFrom - 1);
        Tap& tap = taps[i];
        tap.nFirst = first;
        double total = 0.0;
        for (int s = first; s <= last; ++s) {
            double weight = 1.0 - std::fabs(s - centre) / radius;
            tap.weights.push_back(static_cast<float>(std::max(weight, 0.0)));
            total += tap.weights.back();
        }
        if (total <= 0.0) {
            // Only at an edge beyond the last centre: take the nearest pixel.
            tap.nFirst = std::clamp(static_cast<int>(std::lround(centre)), 0, nFrom - 1);
            tap.weights.assign(1, 1.0f);
            continue;
        }
        for (float& weight : tap.weights)
            weight = static_cast<float>(weight / total);
    }
    return taps;
}

uint32_t Blend(const uint32_t* pFirst, size_t nStride, const Tap& tap)
{
    float sum[4] = {};
    for (size_t k = 0; k < tap.weights.size(); ++k) {
        uint32_t pixel = pFirst[(tap.nFirst + k) * nStride];
        for (int c = 0; c < 4; ++c)
            sum[c] += tap.weights[k] * ((pixel >> (8 * c)) & 0xFF);
    }
    uint32_t result = 0;
    for (int c = 0; c < 4; ++c) {
        long value = std::lround(sum[c]);
        result |= static_cast<uint32_t>(std::clamp(value, 0L, 255L)) << (8 * c);
    }
    return result;
}

} // namespace

int ScaleLength(int nLength, int nTo, int nFrom)
{
    if (nFrom <= 0 || nTo <= 0)
        return nLength;
    return static_cast<int>((static_cast<long long>(nLength) * nTo + nFrom / 2) / nFrom);
}

int PictureLengthForDpi(int nLength, int nDpi)
{
    return ScaleLength(nLength, nDpi, kPictureDpi);
}

Pixels ScalePixels(const Pixels& src, int nWidth, int nHeight)
{
    Pixels out;
    if (src.nWidth <= 0 || src.nHeight <= 0 || nWidth <= 0 || nHeight <= 0)
        return out;
    // Rows first, into an intermediate of the new width, then columns.
    const std::vector<Tap> across = Taps(src.nWidth, nWidth);
    std::vector<uint32_t> wide(static_cast<size_t>(nWidth) * src.nHeight);
    for (int y = 0; y < src.nHeight; ++y) {
        const uint32_t* row = &src.data[static_cast<size_t>(y) * src.nWidth];
        for (int x = 0; x < nWidth; ++x)
            wide[static_cast<size_t>(y) * nWidth + x] = Blend(row, 1, across[x]);
    }
    const std::vector<Tap> down = Taps(src.nHeight, nHeight);
    out.nWidth = nWidth;
    out.nHeight = nHeight;
    out.data.resize(static_cast<size_t>(nWidth) * nHeight);
    for (int y = 0; y < nHeight; ++y) {
        for (int x = 0; x < nWidth; ++x)
            out.data[static_cast<size_t>(y) * nWidth + x] = Blend(&wide[x], nWidth, down[y]);
    }
    return out;
}

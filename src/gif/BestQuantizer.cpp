// SPDX-License-Identifier: GPL-3.0-or-later
#include "gif/BestQuantizer.h"

#include <algorithm>
#include <cmath>
#include <numeric>

namespace {

constexpr int kGrid = 65; // the histogram's 64 steps per axis plus a zero border

inline size_t At(int r, int g, int b) {
    return (static_cast<size_t>(r) * kGrid + static_cast<size_t>(g)) * kGrid +
           static_cast<size_t>(b);
}

// The cumulative moments of the histogram: each entry sums every cell at or
// below it on all three axes, so any box's sums are eight look-ups.
struct TMoments {
    std::vector<double> W, R, G, B, Q; // weight, channel sums, weighted squares
    TMoments()
        : W(size_t(kGrid) * kGrid * kGrid), R(W.size()), G(W.size()), B(W.size()), Q(W.size()) {}
};

// A box of histogram cells: lower bounds exclusive, upper inclusive (1..64).
struct TBox {
    int Lo[3] = {0, 0, 0}, Hi[3] = {64, 64, 64};
    int Cells() const { return (Hi[0] - Lo[0]) * (Hi[1] - Lo[1]) * (Hi[2] - Lo[2]); }
};

double Volume(const TBox& b, const std::vector<double>& m) {
    return m[At(b.Hi[0], b.Hi[1], b.Hi[2])] - m[At(b.Hi[0], b.Hi[1], b.Lo[2])] -
           m[At(b.Hi[0], b.Lo[1], b.Hi[2])] + m[At(b.Hi[0], b.Lo[1], b.Lo[2])] -
           m[At(b.Lo[0], b.Hi[1], b.Hi[2])] + m[At(b.Lo[0], b.Hi[1], b.Lo[2])] +
           m[At(b.Lo[0], b.Lo[1], b.Hi[2])] - m[At(b.Lo[0], b.Lo[1], b.Lo[2])];
}

struct TSums {
    double W = 0, C[3] = {0, 0, 0};
};

TSums BoxSums(const TBox& b, const TMoments& m) {
    return {Volume(b, m.W), {Volume(b, m.R), Volume(b, m.G), Volume(b, m.B)}};
}

// Sum over the channels of weight * sum^2 / count: the larger, the smaller
// the spread of the box around its mean.
double Spread(const TSums& s) {
    if (s.W <= 0) return 0;
    double v = 0;
    for (int c = 0; c < 3; ++c)
        v += TBestQuantizer::kWeight[c] * s.C[c] * s.C[c];
    return v / s.W;
}

double Variance(const TBox& b, const TMoments& m) {
    if (b.Cells() <= 1) return 0;
    return Volume(b, m.Q) - Spread(BoxSums(b, m));
}

// The best cut of a box: the axis and position that leave the two halves
// with the smallest summed variance. False when no cut leaves both halves
// with pixels.
bool Cut(TBox& box, TBox& other, const TMoments& m) {
    const TSums whole = BoxSums(box, m);
    double best = -1;
    int bestAxis = -1, bestAt = 0;
    for (int axis = 0; axis < 3; ++axis) {
        for (int at = box.Lo[axis] + 1; at < box.Hi[axis]; ++at) {
            TBox half = box;
            half.Hi[axis] = at;
            const TSums low = BoxSums(half, m);
            if (low.W <= 0) continue;
            TSums high{whole.W - low.W,
                       {whole.C[0] - low.C[0], whole.C[1] - low.C[1], whole.C[2] - low.C[2]}};
            if (high.W <= 0) break;
            const double score = Spread(low) + Spread(high);
            if (score > best) {
                best = score;
                bestAxis = axis;
                bestAt = at;
            }
        }
    }
    if (bestAxis < 0) return false;
    other = box;
    box.Hi[bestAxis] = bestAt;
    other.Lo[bestAxis] = bestAt;
    return true;
}

// A colour in the weighted space: each channel times the square root of its
// weight, so plain squared distances there are the weighted ones.
struct TSamplePoint {
    float X[3];
    float Weight;
};

inline float Distance(const float* a, const float* b) {
    const float d0 = a[0] - b[0], d1 = a[1] - b[1], d2 = a[2] - b[2];
    return d0 * d0 + d1 * d1 + d2 * d2;
}

} // namespace

TBestQuantizer::TBestQuantizer(int maxColors, int minAlpha)
    : FMaxColors(std::clamp(maxColors, 1, 256)), FMinAlpha(std::clamp(minAlpha, 1, 255)),
      FCells(size_t(1) << (3 * kBits)), FExact(size_t(1) << kExactBits, 0),
      FExactWeight(FExact.size(), 0) {}

void TBestQuantizer::AddExact(uint32_t colour, uint32_t weight) {
    const uint32_t key = colour | 0x01000000u;
    if (key == FExact[FLastSlot]) {
        FExactWeight[FLastSlot] += weight;
        return;
    }
    size_t i = (key * 2654435761u) >> (32 - kExactBits);
    while (FExact[i] != 0 && FExact[i] != key)
        i = (i + 1) & (FExact.size() - 1);
    if (FExact[i] == 0) {
        if (FExactCount == kMaxExact) {
            // A photograph: its histogram cells serve as the points.
            FExactOverflow = true;
            FExact = {};
            FExactWeight = {};
            FExactList = {};
            return;
        }
        FExact[i] = key;
        // The first colours in the order they came, for a palette of them.
        if (FExactList.size() <= static_cast<size_t>(FMaxColors)) FExactList.push_back(colour);
        ++FExactCount;
    }
    FExactWeight[i] += weight;
    FLastSlot = i;
}

void TBestQuantizer::AddRow(const uint8_t* pixels, int pixelBytes, int width,
                            const uint8_t* alpha) {
    constexpr int drop = 8 - kBits;
    for (int x = 0; x < width; ++x, pixels += pixelBytes) {
        uint32_t weight = 255;
        if (alpha) {
            if (alpha[x] < FMinAlpha) continue;
            weight = alpha[x];
        }
        const uint32_t r = pixels[2], g = pixels[1], b = pixels[0];
        if (!FExactOverflow) AddExact((r << 16) | (g << 8) | b, weight);
        TCell& cell = FCells[((r >> drop) << (2 * kBits)) | ((g >> drop) << kBits) | (b >> drop)];
        cell.Weight += weight;
        cell.Sum[0] += r * weight;
        cell.Sum[1] += g * weight;
        cell.Sum[2] += b * weight;
        FTotalWeight += weight;
    }
}

TPalette TBestQuantizer::ExactColors() const {
    TPalette p;
    p.SetCount(static_cast<int>(FExactList.size()));
    for (size_t i = 0; i < FExactList.size(); ++i) {
        const uint32_t c = FExactList[i];
        p.Set(static_cast<int>(i), static_cast<uint8_t>(c >> 16), static_cast<uint8_t>(c >> 8),
              static_cast<uint8_t>(c));
    }
    return p;
}

std::vector<std::array<double, 3>> TBestQuantizer::CutBoxes(int n) const {
    TMoments m;
    for (int r = 1; r < kGrid; ++r)
        for (int g = 1; g < kGrid; ++g)
            for (int b = 1; b < kGrid; ++b) {
                const TCell& cell = FCells[(size_t(r - 1) << (2 * kBits)) |
                                           (size_t(g - 1) << kBits) | size_t(b - 1)];
                if (cell.Weight == 0) continue;
                const size_t i = At(r, g, b);
                const double w = static_cast<double>(cell.Weight);
                double q = 0;
                for (int c = 0; c < 3; ++c) {
                    const double s = static_cast<double>(cell.Sum[c]);
                    q += kWeight[c] * s * s;
                }
                m.W[i] = w;
                m.R[i] = static_cast<double>(cell.Sum[0]);
                m.G[i] = static_cast<double>(cell.Sum[1]);
                m.B[i] = static_cast<double>(cell.Sum[2]);
                // Each cell counts as its mean repeated: the spread inside a
                // cell is the same whichever box it lands in.
                m.Q[i] = q / w;
            }
    // Running sums along each axis in turn make the moments cumulative.
    for (std::vector<double>* v : {&m.W, &m.R, &m.G, &m.B, &m.Q}) {
        std::vector<double>& a = *v;
        for (int r = 1; r < kGrid; ++r)
            for (int g = 1; g < kGrid; ++g)
                for (int b = 1; b < kGrid; ++b)
                    a[At(r, g, b)] += a[At(r, g, b - 1)];
        for (int r = 1; r < kGrid; ++r)
            for (int g = 1; g < kGrid; ++g)
                for (int b = 1; b < kGrid; ++b)
                    a[At(r, g, b)] += a[At(r, g - 1, b)];
        for (int r = 1; r < kGrid; ++r)
            for (int g = 1; g < kGrid; ++g)
                for (int b = 1; b < kGrid; ++b)
                    a[At(r, g, b)] += a[At(r - 1, g, b)];
    }

    std::vector<TBox> boxes(1);
    std::vector<double> variance(1, Variance(boxes[0], m));
    while (static_cast<int>(boxes.size()) < n) {
        // The box whose pixels are spread the most is cut next.
        const size_t next = static_cast<size_t>(std::max_element(variance.begin(), variance.end()) -
                                                variance.begin());
        if (variance[next] <= 0) break;
        TBox other;
        if (!Cut(boxes[next], other, m)) {
            variance[next] = 0;
            continue;
        }
        boxes.push_back(other);
        variance[next] = Variance(boxes[next], m);
        variance.push_back(Variance(other, m));
    }
    std::vector<std::array<double, 3>> means;
    for (const TBox& b : boxes) {
        const TSums s = BoxSums(b, m);
        if (s.W > 0) means.push_back({s.C[0] / s.W, s.C[1] / s.W, s.C[2] / s.W});
    }
    return means;
}

void TBestQuantizer::Refine(std::vector<std::array<double, 3>>& means) const {
    float scale[3];
    for (int c = 0; c < 3; ++c)
        scale[c] = static_cast<float>(std::sqrt(kWeight[c]));
    // The points: the picture's own colours while there are not too many of
    // them, else the occupied histogram cells at their means (every pixel of
    // a cell lies within two steps of its mean).
    std::vector<TSamplePoint> points;
    auto addPoint = [&](const double* rgb, double weight) {
        TSamplePoint p;
        for (int c = 0; c < 3; ++c)
            p.X[c] = static_cast<float>(rgb[c]) * scale[c];
        p.Weight = static_cast<float>(weight);
        points.push_back(p);
    };
    if (!FExactOverflow) {
        for (size_t i = 0; i < FExact.size(); ++i)
            if (FExact[i]) {
                const double rgb[3] = {double((FExact[i] >> 16) & 255),
                                       double((FExact[i] >> 8) & 255), double(FExact[i] & 255)};
                addPoint(rgb, static_cast<double>(FExactWeight[i]));
            }
    } else {
        for (const TCell& cell : FCells)
            if (cell.Weight) {
                const double w = static_cast<double>(cell.Weight);
                const double rgb[3] = {double(cell.Sum[0]) / w, double(cell.Sum[1]) / w,
                                       double(cell.Sum[2]) / w};
                addPoint(rgb, w);
            }
    }
    std::vector<std::array<float, 3>> centre(means.size());
    for (size_t j = 0; j < means.size(); ++j)
        for (int c = 0; c < 3; ++c)
            centre[j][c] = static_cast<float>(means[j][c]) * scale[c];

    std::vector<uint32_t> owner(points.size(), 0);
    bool first = true;
    std::vector<uint32_t> order, rank;
    std::vector<double> sum, error;
    std::vector<float> farDist;
    std::vector<uint32_t> farPoint;
    // One k-means step: every point to its nearest centre, every centre to
    // the mean of its points. Returns how many points changed centre; keeps
    // each centre's summed error and its farthest point.
    auto step = [&]() {
        const size_t k = centre.size();
        // Centres sorted by green (the heaviest axis): the search for a
        // point's nearest centre walks out from its last one and stops where
        // the green distance alone exceeds the best found.
        order.resize(k);
        rank.resize(k);
        std::iota(order.begin(), order.end(), 0u);
        std::sort(order.begin(), order.end(),
                  [&](uint32_t a, uint32_t b) { return centre[a][1] < centre[b][1]; });
        for (size_t j = 0; j < k; ++j)
            rank[order[j]] = static_cast<uint32_t>(j);
        sum.assign(k * 4, 0.0);
        error.assign(k, 0.0);
        farDist.assign(k, 0.0f);
        farPoint.assign(k, 0);
        size_t moved = 0;
        for (size_t i = 0; i < points.size(); ++i) {
            const TSamplePoint& p = points[i];
            size_t start =
                first ? static_cast<size_t>(std::lower_bound(order.begin(), order.end(), p.X[1],
                                                             [&](uint32_t a, float g) {
                                                                 return centre[a][1] < g;
                                                             }) -
                                            order.begin())
                      : rank[owner[i]];
            if (start >= k) start = k - 1;
            uint32_t best = order[start];
            float bestDist = Distance(p.X, centre[best].data());
            for (size_t j = start + 1; j < k; ++j) {
                const float* c = centre[order[j]].data();
                const float dg = c[1] - p.X[1];
                if (dg * dg >= bestDist) break;
                const float d = Distance(p.X, c);
                if (d < bestDist) bestDist = d, best = order[j];
            }
            for (size_t j = start; j-- > 0;) {
                const float* c = centre[order[j]].data();
                const float dg = p.X[1] - c[1];
                if (dg * dg >= bestDist) break;
                const float d = Distance(p.X, c);
                if (d < bestDist) bestDist = d, best = order[j];
            }
            if (first || best != owner[i]) ++moved;
            owner[i] = best;
            double* s = &sum[best * 4];
            s[0] += double(p.X[0]) * p.Weight;
            s[1] += double(p.X[1]) * p.Weight;
            s[2] += double(p.X[2]) * p.Weight;
            s[3] += p.Weight;
            error[best] += double(bestDist) * p.Weight;
            if (bestDist > farDist[best]) farDist[best] = bestDist, farPoint[best] = uint32_t(i);
        }
        first = false;
        for (size_t j = 0; j < k; ++j) {
            const double* s = &sum[j * 4];
            if (s[3] > 0)
                for (int c = 0; c < 3; ++c)
                    centre[j][c] = static_cast<float>(s[c] / s[3]);
        }
        return moved;
    };

    // Fewer centres than entries (the colours crowd into a few histogram
    // cells, as in a nearly grey picture): the clusters with the largest
    // error give their farthest points as new centres until none is missing.
    const size_t wanted = std::min(static_cast<size_t>(FMaxColors), points.size());
    while (centre.size() < wanted) {
        step();
        std::vector<uint32_t> split;
        for (size_t j = 0; j < centre.size(); ++j)
            if (farDist[j] > 0) split.push_back(static_cast<uint32_t>(j));
        if (split.empty()) break;
        std::sort(split.begin(), split.end(),
                  [&](uint32_t a, uint32_t b) { return error[a] > error[b]; });
        const size_t add = std::min(split.size(), wanted - centre.size());
        for (size_t n = 0; n < add; ++n) {
            const TSamplePoint& p = points[farPoint[split[n]]];
            centre.push_back({p.X[0], p.X[1], p.X[2]});
        }
        first = true; // the new centres have no rank among the old owners
    }
    for (int pass = 0; pass < kKMeansPasses; ++pass) {
        const size_t k = centre.size();
        if (step() == 0) break;
        // A centre nobody chose moves to the point worst served.
        for (size_t j = 0; j < k; ++j)
            if (sum[j * 4 + 3] <= 0) {
                const size_t worst = static_cast<size_t>(
                    std::max_element(error.begin(), error.end()) - error.begin());
                if (farDist[worst] <= 0) break;
                const TSamplePoint& p = points[farPoint[worst]];
                centre[j] = {p.X[0], p.X[1], p.X[2]};
                farDist[worst] = 0;
                error[worst] = 0;
            }
    }
    means.resize(centre.size());
    for (size_t j = 0; j < centre.size(); ++j)
        for (int c = 0; c < 3; ++c)
            means[j][c] = centre[j][c] / scale[c];
}

TPalette TBestQuantizer::Colors() const {
    if (!FExactOverflow && FExactCount <= static_cast<size_t>(FMaxColors)) {
        TPalette exact = ExactColors();
        if (exact.Count() == 0) exact.SetCount(1); // nothing counted: black
        return exact;
    }
    std::vector<std::array<double, 3>> means = CutBoxes(FMaxColors);
    Refine(means);
    // Rounded to bytes; two means that round alike keep one entry.
    std::vector<uint32_t> colours;
    for (const auto& m : means) {
        uint32_t c = 0;
        for (int i = 0; i < 3; ++i)
            c = (c << 8) | static_cast<uint32_t>(std::clamp(std::lround(m[i]), 0L, 255L));
        if (std::find(colours.begin(), colours.end(), c) == colours.end()) colours.push_back(c);
    }
    TPalette p;
    p.SetCount(static_cast<int>(colours.size()));
    for (size_t i = 0; i < colours.size(); ++i)
        p.Set(static_cast<int>(i), static_cast<uint8_t>(colours[i] >> 16),
              static_cast<uint8_t>(colours[i] >> 8), static_cast<uint8_t>(colours[i]));
    return p;
}

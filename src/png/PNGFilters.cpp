#include "png/PNGFilters.h"

#include "png/PNGChunks.h"

#include <cstring>
#include <utility>

size_t CountRunsOfFive(const uint8_t* p, size_t len) {
    if (len < 5) return 0;
    // Branch-free so that the compiler can vectorise it: this runs over every
    // candidate of every row of the image.
    size_t count = 0;
    for (size_t k = 4; k < len; ++k) {
        unsigned e =
            static_cast<unsigned>(p[k] == p[k - 1]) & static_cast<unsigned>(p[k] == p[k - 2]) &
            static_cast<unsigned>(p[k] == p[k - 3]) & static_cast<unsigned>(p[k] == p[k - 4]);
        count += e;
    }
    return count;
}

void FilterRow(TFilterType type, const uint8_t* raw, const uint8_t* prior, uint8_t* out, size_t len,
               size_t bpp) {
    const size_t head = bpp < len ? bpp : len;
    switch (type) {
    case ftNone:
        std::memcpy(out, raw, len);
        break;
    case ftSub:
        std::memcpy(out, raw, head);
        for (size_t i = head; i < len; ++i)
            out[i] = static_cast<uint8_t>(raw[i] - raw[i - bpp]);
        break;
    case ftUp:
        for (size_t i = 0; i < len; ++i)
            out[i] = static_cast<uint8_t>(raw[i] - prior[i]);
        break;
    case ftAverage:
        for (size_t i = 0; i < head; ++i)
            out[i] = static_cast<uint8_t>(raw[i] - (prior[i] >> 1));
        for (size_t i = head; i < len; ++i)
            out[i] = static_cast<uint8_t>(raw[i] - ((raw[i - bpp] + prior[i]) >> 1));
        break;
    case ftPaeth:
        // With left and upper-left zero the predictor is the byte above.
        for (size_t i = 0; i < head; ++i)
            out[i] = static_cast<uint8_t>(raw[i] - prior[i]);
        for (size_t i = head; i < len; ++i) {
            // The predictor without branches (vectorisable): pa = |b - c|,
            // pb = |a - c|, pc = |a + b - 2c|, ties to left, then above.
            int a = raw[i - bpp], b = prior[i], c = prior[i - bpp];
            int pa = b - c, pb = a - c;
            int pc = pa + pb;
            pa = pa < 0 ? -pa : pa;
            pb = pb < 0 ? -pb : pb;
            pc = pc < 0 ? -pc : pc;
            int pred = (pa <= pb && pa <= pc) ? a : (pb <= pc ? b : c);
            out[i] = static_cast<uint8_t>(raw[i] - pred);
        }
        break;
    }
}

void UnfilterRow(uint8_t type, uint8_t* row, const uint8_t* prior, size_t len, size_t bpp) {
    const size_t head = bpp < len ? bpp : len;
    switch (type) {
    case ftNone:
        break;
    case ftSub:
        for (size_t i = head; i < len; ++i)
            row[i] = static_cast<uint8_t>(row[i] + row[i - bpp]);
        break;
    case ftUp:
        for (size_t i = 0; i < len; ++i)
            row[i] = static_cast<uint8_t>(row[i] + prior[i]);
        break;
    case ftAverage:
        for (size_t i = 0; i < head; ++i)
            row[i] = static_cast<uint8_t>(row[i] + (prior[i] >> 1));
        for (size_t i = head; i < len; ++i)
            row[i] = static_cast<uint8_t>(row[i] + ((row[i - bpp] + prior[i]) >> 1));
        break;
    case ftPaeth:
        for (size_t i = 0; i < head; ++i)
            row[i] = static_cast<uint8_t>(row[i] + prior[i]);
        for (size_t i = head; i < len; ++i) {
            int a = row[i - bpp], b = prior[i], c = prior[i - bpp];
            int pa = b - c, pb = a - c;
            int pc = pa + pb;
            pa = pa < 0 ? -pa : pa;
            pb = pb < 0 ? -pb : pb;
            pc = pc < 0 ? -pc : pc;
            int pred = (pa <= pb && pa <= pc) ? a : (pb <= pc ? b : c);
            row[i] = static_cast<uint8_t>(row[i] + pred);
        }
        break;
    default:
        RaisePNGError(PNGMessages::UnknownFilter);
    }
}

TPNGRowFilter::TPNGRowFilter(size_t rowLength, size_t bpp, TFilterSet filters)
    : FLength(rowLength), FBpp(bpp < 1 ? 1 : bpp),
      FFilters(static_cast<TFilterSet>(filters | fsNone)), FRaw(rowLength + 1, 0),
      FPrior(rowLength + 1, 0) {
    for (int t = ftSub; t <= ftPaeth; ++t)
        if (FFilters & (1 << t)) FOut[t].assign(rowLength + 1, static_cast<uint8_t>(t));
}

TFilterType TPNGRowFilter::Choose(const size_t counts[5], TFilterSet filters) {
    filters |= fsNone;
    TFilterType best = ftNone;
    size_t bestCount = 0;
    // A later candidate must beat the best so far strictly; a count of 0 never wins.
    for (int t = ftNone; t <= ftPaeth; ++t)
        if ((filters & (1 << t)) && counts[t] > bestCount) {
            best = static_cast<TFilterType>(t);
            bestCount = counts[t];
        }
    return best;
}

const uint8_t* TPNGRowFilter::Next() {
    const uint8_t* raw = FRaw.data() + 1;
    const uint8_t* prior = FPrior.data() + 1;
    TFilterType chosen = ftNone;
    if (FFilters != fsNone && FLength >= 5) {
        size_t counts[5] = {CountRunsOfFive(raw, FLength), 0, 0, 0, 0};
        for (int t = ftSub; t <= ftPaeth; ++t)
            if (FFilters & (1 << t)) {
                FilterRow(static_cast<TFilterType>(t), raw, prior, FOut[t].data() + 1, FLength,
                          FBpp);
                counts[t] = CountRunsOfFive(FOut[t].data() + 1, FLength);
            }
        chosen = Choose(counts, FFilters);
    }
    // The raw row becomes the prior row of the next; the old prior buffer takes the next raw row.
    std::swap(FRaw, FPrior);
    if (chosen == ftNone) {
        FPrior[0] = ftNone;
        return FPrior.data();
    }
    return FOut[chosen].data();
}

// Makes the front end's artwork and its stand-in carried archive, as files
// for the resource compiler:
//   qxtool.ico     icon group: 48, 32 and 16 pixels, each in 16 colours,
//                  256 colours and 32-bit colour with alpha
//   banner.bmp     352 x 99 pixels, 256 colours
//   hand.cur       hand cursor, 32 x 32, 16 colours, hot spot (12, 1)
//   empty.qxa      an archive with an empty file list (896 list sectors,
//                  primary 16,384 and extended 204,800 sectors)
// Usage: make_assets OUTDIR
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

namespace {

struct RGBA {
    uint8_t r, g, b, a;
};

using Bytes = std::vector<uint8_t>;

void put16(Bytes &b, unsigned v) {
    b.push_back(uint8_t(v));
    b.push_back(uint8_t(v >> 8));
}
void put32(Bytes &b, uint32_t v) {
    for (int i = 0; i < 4; ++i)
        b.push_back(uint8_t(v >> (8 * i)));
}

bool write_file(const std::string &path, const Bytes &data) {
    FILE *f = std::fopen(path.c_str(), "wb");
    if (f == nullptr) {
        std::fprintf(stderr, "make_assets: can't write to file %s\n", path.c_str());
        return false;
    }
    bool ok = std::fwrite(data.data(), 1, data.size(), f) == data.size();
    ok = (std::fclose(f) == 0) && ok;
    if (!ok)
        std::fprintf(stderr, "make_assets: file write fails: %s\n", path.c_str());
    return ok;
}

// --- palettes -----------------------------------------------------------------
std::vector<RGBA> palette16() {
    static const uint32_t vga[16] = {0x000000, 0x800000, 0x008000, 0x808000, 0x000080, 0x800080,
                                     0x008080, 0xC0C0C0, 0x808080, 0xFF0000, 0x00FF00, 0xFFFF00,
                                     0x0000FF, 0xFF00FF, 0x00FFFF, 0xFFFFFF};
    std::vector<RGBA> p;
    for (uint32_t c : vga)
        p.push_back({uint8_t(c >> 16), uint8_t(c >> 8), uint8_t(c), 255});
    return p;
}

// A 6 x 6 x 6 colour cube and a ramp of 40 greys.
std::vector<RGBA> palette256() {
    std::vector<RGBA> p;
    for (int r = 0; r < 6; ++r)
        for (int g = 0; g < 6; ++g)
            for (int b = 0; b < 6; ++b)
                p.push_back({uint8_t(r * 51), uint8_t(g * 51), uint8_t(b * 51), 255});
    for (int i = 0; i < 40; ++i) {
        uint8_t v = uint8_t(i * 255 / 39);
        p.push_back({v, v, v, 255});
    }
    return p;
}

uint8_t nearest(const std::vector<RGBA> &pal, RGBA c) {
    int best = 0;
    long bestd = -1;
    for (size_t i = 0; i < pal.size(); ++i) {
        long dr = long(pal[i].r) - c.r, dg = long(pal[i].g) - c.g, db = long(pal[i].b) - c.b;
        long d = dr * dr * 3 + dg * dg * 4 + db * db * 2;
        if (bestd < 0 || d < bestd) {
            bestd = d;
            best = int(i);
        }
    }
    return uint8_t(best);
}

// --- drawing ------------------------------------------------------------------
// The emblem: a USB stick with a start triangle on its body, in a unit
// square. Returns the colour at (x, y) or alpha 0 outside.
RGBA emblem(double x, double y) {
    auto in = [](double v, double lo, double hi) { return v >= lo && v < hi; };
    // Connector holes, connector, body (rounded), triangle.
    if (in(y, 0.12, 0.20) && (in(x, 0.40, 0.47) || in(x, 0.53, 0.60)))
        return {40, 40, 48, 255};
    if (in(x, 0.33, 0.67) && in(y, 0.04, 0.30)) {
        uint8_t v = uint8_t(170 + 60 * (x - 0.33) / 0.34);
        return {v, v, uint8_t(v + 10 > 255 ? 255 : v + 10), 255};
    }
    const double l = 0.20, r = 0.80, t = 0.28, b = 0.97, rad = 0.10;
    if (in(x, l, r) && in(y, t, b)) {
        double cx = x < l + rad ? l + rad : (x > r - rad ? r - rad : x);
        double cy = y < t + rad ? t + rad : (y > b - rad ? b - rad : y);
        if ((x - cx) * (x - cx) + (y - cy) * (y - cy) > rad * rad)
            return {0, 0, 0, 0};
        // Start triangle pointing right.
        double u = (y - 0.48) / 0.34;  // 0..1 down the triangle's height
        if (in(u, 0.0, 1.0)) {
            double half = 0.5 - std::fabs(u - 0.5);
            if (in(x, 0.40, 0.40 + half * 0.52))
                return {255, 214, 0, 255};
        }
        bool edge = x < l + 0.035 || x > r - 0.035 || y > b - 0.035 || y < t + 0.035;
        if (edge)
            return {10, 40, 120, 255};
        uint8_t shade = uint8_t(150 + 80 * (1.0 - (y - t) / (b - t)));
        return {20, uint8_t(shade / 2), shade, 255};
    }
    return {0, 0, 0, 0};
}

// The emblem at n x n pixels, 4 x 4 samples a pixel.
std::vector<RGBA> render_emblem(int n) {
    std::vector<RGBA> px(size_t(n) * n);
    for (int y = 0; y < n; ++y)
        for (int x = 0; x < n; ++x) {
            double r = 0, g = 0, b = 0, a = 0;
            for (int sy = 0; sy < 4; ++sy)
                for (int sx = 0; sx < 4; ++sx) {
                    RGBA c = emblem((x + (sx + 0.5) / 4) / n, (y + (sy + 0.5) / 4) / n);
                    r += c.r * c.a;
                    g += c.g * c.a;
                    b += c.b * c.a;
                    a += c.a;
                }
            RGBA &p = px[size_t(y) * n + x];
            if (a > 0) {
                p.r = uint8_t(r / a);
                p.g = uint8_t(g / a);
                p.b = uint8_t(b / a);
            } else {
                p.r = p.g = p.b = 0;
            }
            p.a = uint8_t(a / 16);
        }
    return px;
}

// --- icon and cursor images ---------------------------------------------------
// One image of an icon or cursor file: a bitmap header of twice the height,
// the palette, the colour rows and the transparency mask, bottom-up.
Bytes icon_image(const std::vector<RGBA> &px, int w, int h, int bpp) {
    Bytes b;
    put32(b, 40);
    put32(b, uint32_t(w));
    put32(b, uint32_t(h * 2));
    put16(b, 1);
    put16(b, unsigned(bpp));
    put32(b, 0);
    const int xorStride = ((w * bpp + 31) / 32) * 4;
    const int andStride = ((w + 31) / 32) * 4;
    put32(b, uint32_t((xorStride + andStride) * h));
    put32(b, 0);
    put32(b, 0);
    put32(b, 0);
    put32(b, 0);
    std::vector<RGBA> pal;
    if (bpp == 4)
        pal = palette16();
    else if (bpp == 8)
        pal = palette256();
    for (const RGBA &c : pal) {
        b.push_back(c.b);
        b.push_back(c.g);
        b.push_back(c.r);
        b.push_back(0);
    }
    for (int y = h - 1; y >= 0; --y) {
        Bytes row(size_t(xorStride), 0);
        for (int x = 0; x < w; ++x) {
            RGBA c = px[size_t(y) * w + x];
            if (bpp == 32) {
                row[size_t(x) * 4 + 0] = c.b;
                row[size_t(x) * 4 + 1] = c.g;
                row[size_t(x) * 4 + 2] = c.r;
                row[size_t(x) * 4 + 3] = c.a;
                continue;
            }
            uint8_t idx = c.a >= 128 ? nearest(pal, c) : 0;
            if (bpp == 8)
                row[size_t(x)] = idx;
            else
                row[size_t(x) / 2] |= uint8_t(x % 2 == 0 ? idx << 4 : idx);
        }
        b.insert(b.end(), row.begin(), row.end());
    }
    for (int y = h - 1; y >= 0; --y) {
        Bytes row(size_t(andStride), 0);
        for (int x = 0; x < w; ++x)
            if (px[size_t(y) * w + x].a < 128)
                row[size_t(x) / 8] |= uint8_t(0x80 >> (x % 8));
        b.insert(b.end(), row.begin(), row.end());
    }
    return b;
}

struct DirImage {
    int w, h, bpp;
    int hotX, hotY;  // cursors only
    Bytes data;
};

// An icon (type 1) or cursor (type 2) file of the given images.
Bytes icon_file(int type, const std::vector<DirImage> &imgs) {
    Bytes b;
    put16(b, 0);
    put16(b, unsigned(type));
    put16(b, unsigned(imgs.size()));
    uint32_t offset = uint32_t(6 + 16 * imgs.size());
    for (const DirImage &im : imgs) {
        b.push_back(uint8_t(im.w));
        b.push_back(uint8_t(im.h));
        b.push_back(uint8_t(im.bpp == 4 ? 16 : 0));
        b.push_back(0);
        if (type == 1) {
            put16(b, 1);
            put16(b, unsigned(im.bpp));
        } else {
            put16(b, unsigned(im.hotX));
            put16(b, unsigned(im.hotY));
        }
        put32(b, uint32_t(im.data.size()));
        put32(b, offset);
        offset += uint32_t(im.data.size());
    }
    for (const DirImage &im : imgs)
        b.insert(b.end(), im.data.begin(), im.data.end());
    return b;
}

Bytes make_icon() {
    std::vector<DirImage> imgs;
    for (int n : {48, 32, 16}) {
        std::vector<RGBA> px = render_emblem(n);
        for (int bpp : {4, 8, 32})
            imgs.push_back({n, n, bpp, 0, 0, icon_image(px, n, n, bpp)});
    }
    return icon_file(1, imgs);
}

// A pointing hand; the tip of the index finger is the hot spot (12, 1).
// 'X' outline, '.' fill, ' ' transparent.
const char *const HandRows[] = {
    "            XX",
    "           X..X",
    "           X..X",
    "           X..X",
    "           X..X",
    "           X..XXX",
    "           X..X..XXX",
    "           X..X..X..XX",
    "        XX X..X..X..X.X",
    "       X..XX........X..X",
    "       X...X...........X",
    "        X..............X",
    "         X.............X",
    "         X............X",
    "          X...........X",
    "          X..........X",
    "           X.........X",
    "           X.........X",
    "           XXXXXXXXXXX",
};

Bytes make_cursor() {
    const int n = 32;
    std::vector<RGBA> px(size_t(n) * n, RGBA{0, 0, 0, 0});
    int rows = int(sizeof(HandRows) / sizeof(HandRows[0]));
    for (int y = 0; y < rows; ++y)
        for (int x = 0; HandRows[y][x] != '\0' && x < n; ++x) {
            char c = HandRows[y][x];
            if (c == 'X')
                px[size_t(y) * n + x] = {0, 0, 0, 255};
            else if (c == '.')
                px[size_t(y) * n + x] = {255, 255, 255, 255};
        }
    return icon_file(2, {{n, n, 4, 12, 1, icon_image(px, n, n, 4)}});
}

// --- banner -------------------------------------------------------------------
// 5 x 7 capitals for the banner's words.
struct Glyph {
    char c;
    const char *rows[7];
};
const Glyph Font[] = {
    {'A', {".XXX.", "X...X", "X...X", "XXXXX", "X...X", "X...X", "X...X"}},
    {'B', {"XXXX.", "X...X", "X...X", "XXXX.", "X...X", "X...X", "XXXX."}},
    {'E', {"XXXXX", "X....", "X....", "XXXX.", "X....", "X....", "XXXXX"}},
    {'I', {"XXXXX", "..X..", "..X..", "..X..", "..X..", "..X..", "XXXXX"}},
    {'K', {"X...X", "X..X.", "X.X..", "XX...", "X.X..", "X..X.", "X...X"}},
    {'M', {"X...X", "XX.XX", "X.X.X", "X.X.X", "X...X", "X...X", "X...X"}},
    {'N', {"X...X", "XX..X", "X.X.X", "X..XX", "X...X", "X...X", "X...X"}},
    {'O', {".XXX.", "X...X", "X...X", "X...X", "X...X", "X...X", ".XXX."}},
    {'R', {"XXXX.", "X...X", "X...X", "XXXX.", "X.X..", "X..X.", "X...X"}},
    {'S', {".XXXX", "X....", "X....", ".XXX.", "....X", "....X", "XXXX."}},
    {'T', {"XXXXX", "..X..", "..X..", "..X..", "..X..", "..X..", "..X.."}},
    {'U', {"X...X", "X...X", "X...X", "X...X", "X...X", "X...X", ".XXX."}},
    {'V', {"X...X", "X...X", "X...X", "X...X", "X...X", ".X.X.", "..X.."}},
};

void draw_text(std::vector<RGBA> &px, int w, int h, int x0, int y0, int scale, const char *text,
               RGBA colour) {
    for (int i = 0; text[i] != '\0'; ++i, x0 += 6 * scale) {
        const Glyph *g = nullptr;
        for (const Glyph &f : Font)
            if (f.c == text[i])
                g = &f;
        if (g == nullptr)
            continue;
        for (int gy = 0; gy < 7; ++gy)
            for (int gx = 0; gx < 5; ++gx) {
                if (g->rows[gy][gx] != 'X')
                    continue;
                for (int sy = 0; sy < scale; ++sy)
                    for (int sx = 0; sx < scale; ++sx) {
                        int x = x0 + gx * scale + sx, y = y0 + gy * scale + sy;
                        if (x >= 0 && x < w && y >= 0 && y < h)
                            px[size_t(y) * w + x] = colour;
                    }
            }
    }
}

Bytes make_banner() {
    const int w = 352, h = 99;
    std::vector<RGBA> px(size_t(w) * h);
    for (int y = 0; y < h; ++y)
        for (int x = 0; x < w; ++x) {
            double t = double(x) / (w - 1);
            px[size_t(y) * w + x] = {uint8_t(0 + 0 * t), uint8_t(51 + 102 * t),
                                     uint8_t(153 + 51 * t), 255};
        }
    // The emblem on the left, blended onto the background.
    const int n = 80, ex = 10, ey = 10;
    std::vector<RGBA> em = render_emblem(n);
    for (int y = 0; y < n; ++y)
        for (int x = 0; x < n; ++x) {
            RGBA c = em[size_t(y) * n + x];
            RGBA &d = px[size_t(y + ey) * w + x + ex];
            d.r = uint8_t((c.r * c.a + d.r * (255 - c.a)) / 255);
            d.g = uint8_t((c.g * c.a + d.g * (255 - c.a)) / 255);
            d.b = uint8_t((c.b * c.a + d.b * (255 - c.a)) / 255);
        }
    draw_text(px, w, h, 104, 16, 5, "KORVANI", {255, 255, 255, 255});
    draw_text(px, w, h, 106, 64, 2, "USB BOOT MAKER", {255, 255, 0, 255});

    // The colour cube, and 40 steps of the background's gradient in place
    // of the grey ramp, so the gradient shows no broad bands.
    std::vector<RGBA> pal = palette256();
    for (int i = 0; i < 40; ++i)
        pal[216 + i] = {0, uint8_t(51 + 102 * i / 39), uint8_t(153 + 51 * i / 39), 255};
    const uint32_t rowBytes = uint32_t((w + 3) / 4 * 4);
    const uint32_t pixelOfs = 14 + 40 + 256 * 4;
    Bytes b;
    b.push_back('B');
    b.push_back('M');
    put32(b, pixelOfs + rowBytes * h);
    put32(b, 0);
    put32(b, pixelOfs);
    put32(b, 40);
    put32(b, uint32_t(w));
    put32(b, uint32_t(h));
    put16(b, 1);
    put16(b, 8);
    put32(b, 0);
    put32(b, rowBytes * h);
    put32(b, 2835);
    put32(b, 2835);
    put32(b, 256);
    put32(b, 0);
    for (const RGBA &c : pal) {
        b.push_back(c.b);
        b.push_back(c.g);
        b.push_back(c.r);
        b.push_back(0);
    }
    for (int y = h - 1; y >= 0; --y) {
        Bytes row(rowBytes, 0);
        for (int x = 0; x < w; ++x)
            row[size_t(x)] = nearest(pal, px[size_t(y) * w + x]);
        b.insert(b.end(), row.begin(), row.end());
    }
    return b;
}

// --- the stand-in carried archive ----------------------------------------------
// Header sector ("QXAR", version 1.6, one list sector in use, 896 list
// sectors, primary and extended data sizes), then 896 marked list sectors of
// zeros: 510 data bytes and the sector's own number as its mark.
Bytes make_empty_archive() {
    const unsigned listSectors = 896;
    Bytes b(size_t(listSectors + 1) * 512, 0);
    std::memcpy(b.data(), "QXAR", 4);
    b[4] = 1;
    b[5] = 6;
    b[6] = 1;
    b[8] = uint8_t(listSectors);
    b[9] = uint8_t(listSectors >> 8);
    const uint32_t pri = 16384, ext = 204800;
    b[10] = uint8_t(pri);
    b[11] = uint8_t(pri >> 8);
    for (int i = 0; i < 4; ++i)
        b[12 + i] = uint8_t(ext >> (8 * i));
    for (unsigned s = 1; s <= listSectors; ++s) {
        b[size_t(s) * 512 + 510] = uint8_t(s);
        b[size_t(s) * 512 + 511] = uint8_t(s >> 8);
    }
    return b;
}

}  // namespace

int main(int argc, char **argv) {
    if (argc != 2) {
        std::fprintf(stderr, "usage: make_assets OUTDIR\n");
        return 1;
    }
    const std::string dir = argv[1];
    bool ok = write_file(dir + "/qxtool.ico", make_icon()) &&
              write_file(dir + "/banner.bmp", make_banner()) &&
              write_file(dir + "/hand.cur", make_cursor()) &&
              write_file(dir + "/empty.qxa", make_empty_archive());
    return ok ? 0 : 1;
}

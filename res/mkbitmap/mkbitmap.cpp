// mkbitmap OUTPUT.bmp
// Writes the control's toolbox bitmap: 16 x 15 pixels, 4 bits per pixel, standard
// 16-colour palette. The picture is kept below as text, one hex digit (palette index)
// per pixel, rows from the top, so that it can be read and edited as it looks.
// Pure C++: the file is assembled byte by byte, little-endian.
#include <cstdint>
#include <cstdio>
#include <string>
#include <vector>

namespace {

constexpr int kWidth = 16;
constexpr int kHeight = 15;

// "COM" in black (index 0) on white (index 15).
const char* const kRows[kHeight] = {
    "ffffffffffffffff",
    "ffffffffffffffff",
    "ffffffffffffffff",
    "ffffffffffffffff",
    "000fff000ff00f00",
    "0f00f00f00f00000",
    "0ffff00f00f00000",
    "0ffff00f00f00f00",
    "0f00f00f00f00f00",
    "000fff000ff00f00",
    "ffffffffffffffff",
    "ffffffffffffffff",
    "ffffffffffffffff",
    "ffffffffffffffff",
    "ffffffffffffffff",
};

// The standard 16-colour palette as 0xRRGGBB.
const uint32_t kPalette[16] = {
    0x000000, 0x800000, 0x008000, 0x808000, 0x000080, 0x800080, 0x008080, 0xC0C0C0,
    0x808080, 0xFF0000, 0x00FF00, 0xFFFF00, 0x0000FF, 0xFF00FF, 0x00FFFF, 0xFFFFFF,
};

void Put16(std::vector<uint8_t>& out, uint32_t v) {
    out.push_back(static_cast<uint8_t>(v));
    out.push_back(static_cast<uint8_t>(v >> 8));
}
void Put32(std::vector<uint8_t>& out, uint32_t v) {
    Put16(out, v & 0xFFFF);
    Put16(out, v >> 16);
}

int HexDigit(char c) {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    return -1;
}

// Pixel rows padded to 4 bytes, bottom row first as the format stores them.
bool PackPixels(std::vector<uint8_t>& out) {
    const int rowBytes = ((kWidth * 4 + 31) / 32) * 4;
    for (int y = kHeight - 1; y >= 0; --y) {
        const std::string row = kRows[y];
        if (row.size() != kWidth) return false;
        for (int x = 0; x < kWidth; x += 2) {
            const int hi = HexDigit(row[x]), lo = HexDigit(row[x + 1]);
            if (hi < 0 || lo < 0) return false;
            out.push_back(static_cast<uint8_t>(hi << 4 | lo));
        }
        for (int pad = kWidth / 2; pad < rowBytes; ++pad) out.push_back(0);
    }
    return true;
}

}  // namespace

int main(int argc, char** argv) {
    if (argc != 2) {
        std::fprintf(stderr, "usage: mkbitmap OUTPUT.bmp\n");
        return 2;
    }
    std::vector<uint8_t> pixels;
    if (!PackPixels(pixels)) {
        std::fprintf(stderr, "mkbitmap: malformed pixel table\n");
        return 1;
    }
    const uint32_t headerSize = 14, infoSize = 40, paletteSize = 16 * 4;
    const uint32_t offBits = headerSize + infoSize + paletteSize;
    std::vector<uint8_t> file;
    // BITMAPFILEHEADER
    file.push_back('B');
    file.push_back('M');
    Put32(file, offBits + static_cast<uint32_t>(pixels.size()));
    Put32(file, 0);  // reserved
    Put32(file, offBits);
    // BITMAPINFOHEADER
    Put32(file, infoSize);
    Put32(file, kWidth);
    Put32(file, kHeight);  // positive: bottom-up rows
    Put16(file, 1);        // planes
    Put16(file, 4);        // bits per pixel
    Put32(file, 0);        // BI_RGB
    Put32(file, static_cast<uint32_t>(pixels.size()));
    Put32(file, 0);  // horizontal resolution: unspecified
    Put32(file, 0);  // vertical resolution: unspecified
    Put32(file, 16); // colours used
    Put32(file, 0);  // all colours important
    for (uint32_t rgb : kPalette) Put32(file, rgb);  // RGBQUAD: blue, green, red, 0 in memory
    file.insert(file.end(), pixels.begin(), pixels.end());

    FILE* f = std::fopen(argv[1], "wb");
    if (!f) {
        std::perror(argv[1]);
        return 1;
    }
    const bool ok = std::fwrite(file.data(), 1, file.size(), f) == file.size();
    if (std::fclose(f) != 0 || !ok) {
        std::fprintf(stderr, "mkbitmap: cannot write %s\n", argv[1]);
        std::remove(argv[1]);
        return 1;
    }
    return 0;
}

#include "commands/Screenshot.h"

#include <cmath>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <random>

#include "tests/support/TestSupport.h"

using namespace qz;

namespace {

class Screenshot : public qztest::PlatformTest {};

TPicture Noise(int w, int h, uint32_t seed, bool webColours = false) {
    TPicture p(w, h);
    std::mt19937 rng(seed);
    for (auto& b : p.pixels) b = webColours ? static_cast<uint8_t>(rng() % 6 * 51) : static_cast<uint8_t>(rng());
    return p;
}

// A picture with large even areas and edges, as desktops are.
TPicture Desktop(int w, int h) {
    TPicture p(w, h);
    for (int y = 0; y < h; ++y)
        for (int x = 0; x < w; ++x) {
            uint8_t* px = p.Row(y) + x * 3;
            px[0] = static_cast<uint8_t>(y < h / 10 ? 200 : (x / 40) * 13);
            px[1] = static_cast<uint8_t>(y < h / 10 ? 120 : 180 - (y / 30) * 5);
            px[2] = static_cast<uint8_t>((x ^ y) & 0x10 ? 250 : 30);
        }
    return p;
}

// Decodes an image with an independent decoder: its format, size, and RGB bytes.
struct Decoded {
    std::string format;
    int width = 0, height = 0;
    std::vector<uint8_t> rgb;
};
Decoded DecodeWithPillow(const std::vector<uint8_t>& file) {
    const auto dir = std::filesystem::temp_directory_path();
    const std::string tag = std::to_string(std::random_device()());
    const auto in = dir / ("qz-img-" + tag), out = dir / ("qz-img-" + tag + ".rgb"), meta = dir / ("qz-img-" + tag + ".txt");
    std::ofstream(in, std::ios::binary).write(reinterpret_cast<const char*>(file.data()), file.size());
    const std::string cmd = "/usr/bin/python3 -c \"import sys; from PIL import Image; im = Image.open(sys.argv[1]); "
                            "im.load(); open(sys.argv[3], 'w').write('%s %d %d' % (im.format, im.size[0], im.size[1])); "
                            "open(sys.argv[2], 'wb').write(im.convert('RGB').tobytes())\" " +
                            in.string() + " " + out.string() + " " + meta.string();
    Decoded d;
    if (std::system(cmd.c_str()) == 0) {
        std::ifstream(meta) >> d.format >> d.width >> d.height;
        std::ifstream o(out, std::ios::binary);
        d.rgb.assign(std::istreambuf_iterator<char>(o), std::istreambuf_iterator<char>());
    }
    std::error_code ec;
    for (const auto& p : {in, out, meta}) std::filesystem::remove(p, ec);
    return d;
}

std::vector<uint8_t> Rgb(const TPicture& p) {
    std::vector<uint8_t> rgb(p.pixels.size());
    for (size_t i = 0; i < rgb.size(); i += 3) {
        rgb[i] = p.pixels[i + 2];
        rgb[i + 1] = p.pixels[i + 1];
        rgb[i + 2] = p.pixels[i];
    }
    return rgb;
}

TEST_F(Screenshot, ScaledSizeKeepsTheAspectAndNeverEnlarges) {
    struct Case {
        int sw, sh, w, h, ew, eh;
    } cases[] = {
        {1920, 1080, 800, 800, 800, 450},    // f = 800/1920
        {1920, 1080, 1000, 300, 533, 300},   // f = 300/1080
        {1920, 1080, 1920, 1080, 1920, 1080},
        {1920, 1080, 4000, 4000, 1920, 1080},  // at least as large: full size
        {1920, 1080, 1920, 4000, 1920, 1080},
        {3840, 1080, 1920, 1080, 1920, 540},   // two monitors side by side
        {5, 2, 2, 2, 2, 1},                    // 0.8 rounds to 1; 2.0 stays
        {3, 3, 1, 1, 1, 1},
    };
    for (const auto& c : cases) {
        const auto s = TScreenshot::ScaledSize(c.sw, c.sh, c.w, c.h);
        EXPECT_EQ(s.width, c.ew) << c.sw << "x" << c.sh << " into " << c.w << "x" << c.h;
        EXPECT_EQ(s.height, c.eh) << c.sw << "x" << c.sh << " into " << c.w << "x" << c.h;
    }
    // Exact halves go to the even neighbour: 5 * 0.5 = 2.5 -> 2, 7 * 0.5 = 3.5 -> 4.
    EXPECT_EQ(TScreenshot::ScaledSize(5, 10, 100, 5).width, 2);
    EXPECT_EQ(TScreenshot::ScaledSize(7, 10, 100, 5).width, 4);
}

TEST_F(Screenshot, MulDivRoundsHalvesAwayFromZero) {
    EXPECT_EQ(MulDiv(3, 1, 2), 2);
    EXPECT_EQ(MulDiv(-3, 1, 2), -2);
    EXPECT_EQ(MulDiv(5, 65536, 3), 109227);
    EXPECT_EQ(MulDiv(1919, 65536, 800), 157204);
    EXPECT_EQ(MulDiv(7, 7, 0), -1);
}

// The formula evaluated directly for one destination pixel, in wide arithmetic.
uint8_t Reference(const TPicture& s, int dw, int dh, int x, int y, int ch) {
    auto muldiv = [](int64_t a, int64_t b, int64_t c) { return static_cast<int64_t>(std::llround(static_cast<long double>(a) * b / c)); };
    const int64_t xStep = muldiv(s.width - 1, 65536, dw), yStep = muldiv(s.height - 1, 65536, dh);
    const int64_t xP = x * xStep, yP = y * yStep;
    const int64_t r1 = yP >> 16, r2 = std::min<int64_t>(r1 + 1, s.height - 1);
    const int64_t z2 = (yP & 0xFFFF) + 1, iz2 = 65536 - (yP & 0xFFFF);
    const int64_t t = xP >> 16, t1 = std::min<int64_t>(t + 1, s.width - 1), z = xP & 0xFFFF;
    const int64_t w2 = muldiv(z, iz2, 65536), w1 = iz2 - w2, w4 = muldiv(z, z2, 65536), w3 = z2 - w4;
    EXPECT_EQ(w1 + w2 + w3 + w4, 65537);
    auto px = [&](int64_t row, int64_t col) { return int64_t{s.Row(static_cast<int>(row))[col * 3 + ch]}; };
    return static_cast<uint8_t>((px(r1, t) * w1 + px(r1, t1) * w2 + px(r2, t) * w3 + px(r2, t1) * w4) >> 16);
}

TEST_F(Screenshot, ResamplingFollowsTheFormulaPixelForPixel) {
    struct Case {
        int sw, sh, dw, dh;
    } cases[] = {{17, 11, 9, 6}, {64, 48, 40, 30}, {1, 9, 1, 4}, {33, 2, 7, 2}, {100, 50, 99, 49}};
    for (const auto& c : cases) {
        const TPicture src = Noise(c.sw, c.sh, static_cast<uint32_t>(c.sw * 31 + c.sh));
        const TPicture dst = TScreenshot::Resample(src, c.dw, c.dh);
        ASSERT_EQ(dst.width, c.dw);
        ASSERT_EQ(dst.height, c.dh);
        int wrong = 0;
        for (int y = 0; y < c.dh; ++y)
            for (int x = 0; x < c.dw; ++x)
                for (int ch = 0; ch < 3; ++ch)
                    if (dst.Row(y)[x * 3 + ch] != Reference(src, c.dw, c.dh, x, y, ch)) ++wrong;
        EXPECT_EQ(wrong, 0) << c.sw << "x" << c.sh << " -> " << c.dw << "x" << c.dh;
    }
    // An even picture stays even, white included: the weights' extra 1 never overflows a channel.
    TPicture white(50, 40);
    std::fill(white.pixels.begin(), white.pixels.end(), 255);
    const TPicture small = TScreenshot::Resample(white, 13, 11);
    EXPECT_TRUE(std::all_of(small.pixels.begin(), small.pixels.end(), [](uint8_t b) { return b == 255; }));
    // Fewer than two rows, or no columns: refused.
    EXPECT_THROW(TScreenshot::Resample(white, 10, 1), std::runtime_error);
    EXPECT_THROW(TScreenshot::Resample(white, 0, 10), std::runtime_error);
}

TEST_F(Screenshot, TheCaptionDarkensItsCornerAndIsWrittenInWhite) {
    TPicture p(200, 120);
    std::fill(p.pixels.begin(), p.pixels.end(), 100);
    TScreenshot::StampCaption(p, "AB");  // the fake font: 22 x 23
    auto at = [&](int x, int y) { return p.Row(y)[x * 3]; };
    // Columns 200-22-25 = 153 to 200-15 = 185, rows 57 to 23+62 = 85, all inclusive.
    EXPECT_EQ(at(153, 57), 50);
    EXPECT_EQ(at(185, 85), 50);
    EXPECT_EQ(at(152, 57), 100);
    EXPECT_EQ(at(186, 57), 100);
    EXPECT_EQ(at(153, 56), 100);
    EXPECT_EQ(at(153, 86), 100);
    // The text starts at column 200-22-20 = 158, row 60.
    EXPECT_EQ(at(158 + 5, 64), 255);
    EXPECT_EQ(at(158 + 11 + 5, 70), 255);

    TPicture unmarked = p;
    TScreenshot::StampCaption(unmarked, "");
    EXPECT_EQ(unmarked.pixels, p.pixels);

    // A caption wider than the picture, on a picture shorter than its band, stays inside it.
    TPicture tiny(40, 70);
    TScreenshot::StampCaption(tiny, std::string(30, 'x'));
    EXPECT_EQ(tiny.width, 40);
}

TEST_F(Screenshot, PngDecodesToTheSamePixels) {
    if (qztest::kHostIsWindows) GTEST_SKIP() << "the independent decoder runs on the host";
    for (const TPicture& p : {Desktop(320, 200), Noise(37, 19, 5), Noise(1, 1, 6)}) {
        const auto png = TScreenshot::EncodePng(p);
        const Decoded d = DecodeWithPillow(png);
        EXPECT_EQ(d.format, "PNG");
        EXPECT_EQ(d.width, p.width);
        EXPECT_EQ(d.height, p.height);
        EXPECT_TRUE(d.rgb == Rgb(p)) << p.width << "x" << p.height;
    }
}

TEST_F(Screenshot, GifHoldsTheWebPaletteAndDecodesIndependently) {
    if (qztest::kHostIsWindows) GTEST_SKIP() << "the independent decoder runs on the host";
    // Colours of the palette come back exact: no error to spread. A noisy
    // picture fills the code table many times over.
    for (const TPicture& p : {Noise(300, 200, 7, true), Noise(1, 1, 8, true), Noise(63, 64, 9, true)}) {
        const Decoded d = DecodeWithPillow(TScreenshot::EncodeGif(p));
        EXPECT_EQ(d.format, "GIF");
        EXPECT_EQ(d.width, p.width);
        EXPECT_EQ(d.height, p.height);
        EXPECT_TRUE(d.rgb == Rgb(p)) << p.width << "x" << p.height;
    }
    // Other colours are dithered: every pixel on the palette, the average kept.
    TPicture grey(64, 64);
    std::fill(grey.pixels.begin(), grey.pixels.end(), 128);
    const Decoded d = DecodeWithPillow(TScreenshot::EncodeGif(grey));
    ASSERT_EQ(d.rgb.size(), grey.pixels.size());
    double sum = 0;
    for (uint8_t b : d.rgb) {
        EXPECT_EQ(b % 51, 0);
        sum += b;
    }
    EXPECT_NEAR(sum / d.rgb.size(), 128.0, 2.0);
}

TEST_F(Screenshot, TheServerVersionChoosesTheFormatAsText) {
    W().desktop = Desktop(1920, 1080);
    struct Case {
        const char* version;
        bool png;
    } cases[] = {{"2.2", true}, {"2.3", true}, {"2.5", true}, {"2.1", false}, {"2.10", false}, {"", false}};
    for (const auto& c : cases) {
        const auto image = TScreenshot::GetScreenShot(800, 800, "", c.version);
        ASSERT_GT(image.size(), 30u);
        if (c.png) {
            EXPECT_EQ(std::string(image.begin() + 1, image.begin() + 4), "PNG") << c.version;
            // IHDR: width and height big-endian at 16 and 20.
            EXPECT_EQ((image[18] << 8) | image[19], 800);
            EXPECT_EQ((image[22] << 8) | image[23], 450);
        } else {
            EXPECT_EQ(std::string(image.begin(), image.begin() + 6), "GIF89a") << c.version;
            EXPECT_EQ(image[6] | (image[7] << 8), 800);
            EXPECT_EQ(image[8] | (image[9] << 8), 450);
        }
    }
    EXPECT_TRUE(log->Has("Size " + std::to_string(TScreenshot::GetScreenShot(800, 800, "", "2.2").size())));
}

TEST_F(Screenshot, TheCaptionIsStampedBeforeScalingAndFailuresRaise) {
    W().desktop = TPicture(400, 200);
    std::fill(W().desktop.pixels.begin(), W().desktop.pixels.end(), 200);
    const auto plain = TScreenshot::GetScreenShot(200, 200, "", "2.2");
    const auto stamped = TScreenshot::GetScreenShot(200, 200, "Exam", "2.2");
    EXPECT_NE(plain, stamped);
    if (!qztest::kHostIsWindows) {
        const Decoded d = DecodeWithPillow(stamped);
        ASSERT_EQ(d.width, 200);
        ASSERT_EQ(d.height, 100);
        // The band of the full-size picture (rows 57..85) lands at rows ~28..42, halved to 100.
        EXPECT_EQ(d.rgb[(35 * 200 + 190) * 3], 100);
        EXPECT_EQ(d.rgb[(10 * 200 + 190) * 3], 200);
    }
    EXPECT_THROW(TScreenshot::GetScreenShot(0, 0, "", "2.2"), std::exception);
    EXPECT_THROW(TScreenshot::GetScreenShot(800, 1, "", "2.2"), std::exception);
    W().captureFails = true;
    EXPECT_THROW(TScreenshot::GetScreenShot(800, 800, "", "2.2"), std::exception);
}

}  // namespace

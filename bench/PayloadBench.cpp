// The payload commands' own work, beside programs we didn't write doing the
// same: a 1920x1080 picture scaled to 800x450 and encoded as PNG at level 3
// (beside Pillow on the same pixels at the same level), and the log archive
// of about 10 MB of log text (beside Info-ZIP's zip -9 on the same files).
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <random>
#include <string>

#include "bench/BenchSupport.h"
#include "commands/LogArchive.h"
#include "commands/Screenshot.h"
#include "common/Utils.h"
#include "platform/fake/FakeWorld.h"

using namespace qz;
namespace fs = std::filesystem;

namespace {

// A desktop as labs have them: a task bar, windows with flat areas, text-like detail and a photo.
TPicture Desktop() {
    TPicture p(1920, 1080);
    std::mt19937 rng(7);
    for (int y = 0; y < p.height; ++y) {
        uint8_t* row = p.Row(y);
        for (int x = 0; x < p.width; ++x) {
            uint8_t* px = row + x * 3;
            if (y > 1040) {  // task bar
                px[0] = 60, px[1] = 40, px[2] = 30;
            } else if (x > 200 && x < 1100 && y > 100 && y < 800) {  // a document window
                const bool text = (y % 18) < 11 && (x % 9) < 6 && (rng() % 3) != 0 && x > 240 && x < 1060;
                px[0] = px[1] = px[2] = text ? static_cast<uint8_t>(rng() % 60) : 250;
            } else if (x > 1200 && x < 1800 && y > 200 && y < 700) {  // a photo
                px[0] = static_cast<uint8_t>((x * 3 + y) / 7 + rng() % 9);
                px[1] = static_cast<uint8_t>((x + y * 2) / 9 + rng() % 9);
                px[2] = static_cast<uint8_t>((x ^ y) / 5 + rng() % 9);
            } else {  // wallpaper gradient
                px[0] = static_cast<uint8_t>(120 + y / 10), px[1] = static_cast<uint8_t>(80 + x / 30), px[2] = 40;
            }
        }
    }
    return p;
}

double Millis(const std::function<void()>& fn, int runs) { return qzbench::MeanMicros(runs, fn, 2) / 1000.0; }

// A command's wall time in ms (the mean of a few runs), process start included.
double CommandMillis(const std::string& cmd, int runs) {
    return Millis([&] {
        if (std::system(cmd.c_str()) != 0) std::fprintf(stderr, "failed: %s\n", cmd.c_str());
    }, runs);
}

void WriteLog(const fs::path& file, size_t bytes, uint32_t seed) {
    std::mt19937 rng(seed);
    std::ofstream out(file, std::ios::binary);
    static const char* lines[] = {
        "Sending the following to the server:<?xml version=\"1.0\"?><command version=\"1.0.0.1\"><name>i_am_alive</name>"
        "<active_state><logging_level>6</logging_level><lock_status>unlocked</lock_status></active_state></command>",
        "Request string - http://guard.lab:8080/korvane/guard?hostname=LAB-07&nochange=13838189",
        "Expected 7 processes",
        "We'll sleep 27777 ms.",
        "Received the following:",
        "The version was taken for C:\\Windows\\system32\\notepad.exe - Notepad|Microsoft Corporation|10.0.19041.1",
    };
    size_t written = 0;
    int ms = 0;
    while (written < bytes) {
        ms += static_cast<int>(rng() % 900);
        char stamp[40];
        std::snprintf(stamp, sizeof stamp, "[11.12.2026 %02d:%02d:%02d.%03d] ", (ms / 3600000) % 24,
                      (ms / 60000) % 60, (ms / 1000) % 60, ms % 1000);
        std::string line = std::string(stamp) + lines[rng() % 6] + " " + std::to_string(rng() % 100000) + "\r\n";
        out << line;
        written += line.size();
    }
}

}  // namespace

int main() {
    platform::fake::Reset();
    const fs::path work = fs::temp_directory_path() / ("qz-payload-bench-" + std::to_string(std::random_device()()));
    fs::create_directories(work);

    // The picture.
    const TPicture desktop = Desktop();
    TPicture scaled;
    const double resampleMs = Millis([&] { scaled = TScreenshot::Resample(desktop, 800, 450); }, 20);
    std::vector<uint8_t> png;
    const double encodeMs = Millis([&] { png = TScreenshot::EncodePng(scaled, 3); }, 20);
    {
        std::ofstream raw(work / "scaled.rgb", std::ios::binary);
        for (size_t i = 0; i < scaled.pixels.size(); i += 3) {
            const char rgb[3] = {static_cast<char>(scaled.pixels[i + 2]), static_cast<char>(scaled.pixels[i + 1]),
                                 static_cast<char>(scaled.pixels[i])};
            raw.write(rgb, 3);
        }
    }
    // Pillow times its own encoding, without the interpreter's start.
    const std::string pillow =
        "/usr/bin/python3 -c \"import io, sys, time; from PIL import Image; "
        "im = Image.frombytes('RGB', (800, 450), open(sys.argv[1], 'rb').read()); "
        "[im.save(io.BytesIO(), 'PNG', compress_level=3) for _ in range(2)]; t = time.perf_counter(); "
        "n = 20; [im.save(io.BytesIO(), 'PNG', compress_level=3) for _ in range(n)]; "
        "b = io.BytesIO(); im.save(b, 'PNG', compress_level=3); "
        "open(sys.argv[2], 'w').write('%f %d' % ((time.perf_counter() - t) * 1000 / n, len(b.getvalue())))\" " +
        (work / "scaled.rgb").string() + " " + (work / "pillow.txt").string();
    double pillowMs = 0;
    size_t pillowBytes = 0;
    if (std::system(pillow.c_str()) == 0) std::ifstream(work / "pillow.txt") >> pillowMs >> pillowBytes;

    std::printf("screenshot 1920x1080 -> 800x450\n");
    std::printf("  resampling            %8.2f ms\n", resampleMs);
    std::printf("  PNG level 3 (ours)    %8.2f ms  %8zu bytes\n", encodeMs, png.size());
    if (pillowMs > 0) {
        std::printf("  PNG level 3 (Pillow)  %8.2f ms  %8zu bytes\n", pillowMs, pillowBytes);
        std::printf("  ratio ours/Pillow     %8.2f x (time)  %.3f x (size)\n", encodeMs / pillowMs,
                    static_cast<double>(png.size()) / pillowBytes);
    }
    std::printf("  scaling and encoding  %8.2f ms\n\n", resampleMs + encodeMs);

    // The log archive.
    const std::string data = GetAgentDataFolder();
    const fs::path logs = ToFsPath(data + "Logs");
    fs::create_directories(logs);
    WriteLog(logs / "kv.log", 4u << 20, 1);
    WriteLog(logs / "kv.bak", 4u << 20, 2);
    WriteLog(logs / "KVServiceUI.log", 2u << 20, 3);
    size_t input = 0;
    for (const auto& f : fs::directory_iterator(logs)) input += fs::file_size(f.path());
    std::vector<uint8_t> zip;
    const double oursMs = Millis([&] { zip = TLogArchive::Build(data); }, 5);
    const fs::path infoZip = work / "infozip.zip";
    const std::string zipCmd = "cd '" + logs.string() + "' && rm -f '" + infoZip.string() + "' && zip -9 -q -X '" +
                               infoZip.string() + "' kv.log kv.bak KVServiceUI.log";
    const double infoZipMs = CommandMillis(zipCmd, 5);
    const size_t infoZipBytes = fs::exists(infoZip) ? fs::file_size(infoZip) : 0;
    std::printf("log archive of %.1f MB of log text\n", input / 1048576.0);
    std::printf("  ours                  %8.1f ms  %8zu bytes\n", oursMs, zip.size());
    std::printf("  zip -9 (Info-ZIP)     %8.1f ms  %8zu bytes\n", infoZipMs, infoZipBytes);
    if (infoZipMs > 0 && infoZipBytes)
        std::printf("  ratio ours/zip        %8.2f x (time)  %.4f x (size)\n", oursMs / infoZipMs,
                    static_cast<double>(zip.size()) / infoZipBytes);
    std::error_code ec;
    fs::remove_all(work, ec);
    return 0;
}

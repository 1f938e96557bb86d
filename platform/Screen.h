#pragma once
// The screen as the screenshot command reads it. CaptureDesktop raises
// SystemError; the other calls answer zero sizes when the system can't tell.
#include <cstdint>
#include <string>
#include <vector>

namespace platform::screen {

// 24-bit pixels, blue, green, red; rows top-down without padding.
struct Bitmap {
    int width = 0, height = 0;
    std::vector<uint8_t> pixels;
    Bitmap() = default;
    Bitmap(int w, int h) : width(w), height(h), pixels(static_cast<size_t>(w) * static_cast<size_t>(h) * 3) {}
    uint8_t* Row(int y) { return pixels.data() + static_cast<size_t>(y) * static_cast<size_t>(width) * 3; }
    const uint8_t* Row(int y) const { return pixels.data() + static_cast<size_t>(y) * static_cast<size_t>(width) * 3; }
};

// The largest desktop taken (all monitors together), so a request can't make
// the agent hold an unbounded picture.
constexpr int64_t MaxDesktopPixels = 64ll << 20;

// The whole virtual desktop (every monitor), copied one to one. A program on
// a window station nobody sees (a service) has it taken by the capture
// program QZScreen.exe from its own folder, on the interactive desktop.
Bitmap CaptureDesktop();
// The capture program's side: the picture of this process's desktop to the
// given output handle. False when it can't be taken or written.
bool WriteCaptureTo(void* output);

struct Size {
    int width = 0, height = 0;
};
Size PrimaryScreenSize();

// The caption's font is Arial, 20 pixels high, bold.
Size CaptionExtent(const std::string& text);
// Draws the text in white at (x, y) with a transparent background.
void DrawCaption(Bitmap& picture, const std::string& text, int x, int y);

}  // namespace platform::screen

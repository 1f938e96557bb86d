#include "platform/Errors.h"
#include "platform/Screen.h"
#include "platform/fake/FakeWorld.h"

namespace platform::screen {

using fake::Locked;

Bitmap CaptureDesktop() {
    Locked w;
    ++w->captureCount;
    if (w->captureFails || w->desktop.width <= 0 || w->desktop.height <= 0) ThrowSystemError(6);  // invalid handle
    return w->desktop;
}

// The fake has no capture program: its tests stage the desktop itself.
bool WriteCaptureTo(void*) { return false; }

Size PrimaryScreenSize() { return Locked()->primary; }

// The fake's font: every character a cell 11 pixels wide and 23 high.
Size CaptionExtent(const std::string& text) { return {static_cast<int>(text.size()) * 11, text.empty() ? 0 : 23}; }

// Each character leaves one white stroke down the middle of its cell.
void DrawCaption(Bitmap& picture, const std::string& text, int x, int y) {
    for (size_t i = 0; i < text.size(); ++i) {
        const int cx = x + static_cast<int>(i) * 11 + 5;
        for (int cy = y + 4; cy < y + 19; ++cy) {
            if (cx < 0 || cx >= picture.width || cy < 0 || cy >= picture.height) continue;
            uint8_t* p = picture.Row(cy) + static_cast<size_t>(cx) * 3;
            p[0] = p[1] = p[2] = 255;
        }
    }
}

}  // namespace platform::screen

// The thread that refreshes the front panel every 40 ms: the live picture as
// a high-contrast 113 x 64 thumbnail fit for the 1-bit LCD, the audio levels,
// the menus, and the upload to the display.
#pragma once

#include <QImage>
#include <QMutex>

#include <atomic>
#include <cstdint>

class LcdController;
class LcdGui;

struct GuiUpdaterArgs {
    QMutex* previewLock = nullptr;
    LcdGui* gui = nullptr;
    QImage* preview = nullptr;
    std::atomic<int16_t>* leftLevel = nullptr;
    std::atomic<int16_t>* rightLevel = nullptr;
    LcdController* controller = nullptr;
};

// Never returns.
void guiUpdater(GuiUpdaterArgs* args);

// The steps of one cycle, each on the working image.
QImage makeThumbnail(const QImage& preview);       // 113 x 64, fast scaling, aspect ignored
int brightnessAverage(const QImage& image);        // mean of every 64th byte; -1 when empty
void contrastStretch(QImage& image, int average);  // 2x - average, clamped, in 16-byte blocks
QImage ditherToBlackAndWhite(const QImage& image); // Qt's default 1-bit dithering, back to RGB888

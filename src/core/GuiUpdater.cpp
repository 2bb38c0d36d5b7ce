#include "core/GuiUpdater.h"

#include "panel/LcdController.h"
#include "panel/LcdGui.h"

#include <QMutexLocker>

#include <algorithm>
#include <chrono>
#include <thread>

QImage makeThumbnail(const QImage& preview) {
    return preview.scaled(113, 64, Qt::IgnoreAspectRatio, Qt::FastTransformation);
}

int brightnessAverage(const QImage& image) {
    const size_t bytes = size_t(image.bytesPerLine()) * size_t(image.height());
    if (image.isNull() || bytes == 0) return -1;
    const uint8_t* data = image.constBits();
    uint64_t sum = 0;
    size_t count = 0;
    for (size_t i = 0; i < bytes; i += 64, ++count) sum += data[i];
    return int(sum / count);
}

void contrastStretch(QImage& image, int average) {
    const size_t bytes = size_t(image.bytesPerLine()) * size_t(image.height());
    uint8_t* data = image.bits();
    // Whole 16-byte blocks only: a trailing part stays as it is.
    const size_t blocks = bytes / 16 * 16;
    for (size_t i = 0; i < blocks; ++i) {
        data[i] = uint8_t(std::clamp(2 * int(data[i]) - average, 0, 255));
    }
}

QImage ditherToBlackAndWhite(const QImage& image) {
    return image.convertToFormat(QImage::Format_Mono).convertToFormat(QImage::Format_RGB888);
}

void guiUpdater(GuiUpdaterArgs* args) {
    QImage working;
    for (;;) {
        {
            QMutexLocker guard(args->previewLock);
            working = makeThumbnail(*args->preview);
            args->gui->setAudio(args->leftLevel->load(std::memory_order_relaxed),
                                args->rightLevel->load(std::memory_order_relaxed));
        }
        const int average = brightnessAverage(working);
        if (average >= 0) contrastStretch(working, average);
        working = ditherToBlackAndWhite(working);

        args->gui->SetSDI(working);
        args->gui->drawMenus();
        args->gui->GetQImage(&working);
        if (working.width() == 256 && working.height() == 64 && working.bytesPerLine() == 768) {
            args->controller->DrawRGBBuffer(working.constBits());
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(40));
    }
}

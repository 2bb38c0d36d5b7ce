#include "capture/CaptureCard.h"

#include <cstdlib>
#include <cstring>
#include <memory>

namespace {

struct FreeDeleter {
    void operator()(const char* p) const { std::free(const_cast<char*>(p)); }
};

}  // namespace

bool isStudioModel(const char* modelName) {
    static constexpr char kStudio[] = "DeckLink Studio";
    return modelName != nullptr && std::strncmp(modelName, kStudio, sizeof kStudio - 1) == 0;
}

CaptureCard openFirstCard(IDeckLinkIterator* iterator) {
    CaptureCard card;
    DeckLinkRef<IDeckLink> device;
    if (iterator == nullptr || iterator->Next(device.put()) != S_OK || !device) {
        card.failure = "Decklink NULL\n";  // nothing can be recorded without a card
        return card;
    }
    if (device->QueryInterface(IID_IDeckLinkInput, card.input.putVoid()) != S_OK || !card.input) {
        card.input.reset();
        card.failure = "Kunde inte skaffa decklink input interface\n";
        return card;
    }
    const char* rawName = nullptr;
    if (device->GetModelName(&rawName) == S_OK) {
        // The library allocates the name with malloc; it is ours to free.
        std::unique_ptr<const char, FreeDeleter> modelName(rawName);
        card.studioOptions = isStudioModel(modelName.get());
    }
    return card;
}

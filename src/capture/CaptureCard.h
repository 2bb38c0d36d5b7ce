// The box's one capture card: its input, found through the library's
// iterator, and whether its model offers the studio options.
#pragma once

#include "capture/DeckLinkAPI.h"
#include "capture/DeckLinkRef.h"

struct CaptureCard {
    DeckLinkRef<IDeckLinkInput> input;
    bool studioOptions = false;
    // Set when there is no usable card: the message the recorder ends with.
    const char* failure = nullptr;
};

// The first device of iterator (which may be null: no library) and its input.
CaptureCard openFirstCard(IDeckLinkIterator* iterator);

// Composite input and the studio menus exist on "DeckLink Studio" models only.
bool isStudioModel(const char* modelName);

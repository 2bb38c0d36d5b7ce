// Loads the card library by name, exactly as on the box.
#include "capture/DeckLinkAPI.h"

#include <dlfcn.h>

#include <cstdio>
#include <mutex>

namespace {

std::once_flag gLoadOnce;
bool gPresent = false;
CreateIteratorFunc gCreateIterator = nullptr;
CreateAPIInformationFunc gCreateAPIInformation = nullptr;
CreateVideoConversionFunc gCreateVideoConversion = nullptr;

template <typename Func>
Func lookUp(void* library, const char* symbol) {
    dlerror();
    auto func = reinterpret_cast<Func>(dlsym(library, symbol));
    if (func == nullptr) {
        const char* error = dlerror();
        std::fprintf(stderr, "%s\n", error != nullptr ? error : symbol);
    }
    return func;
}

void InitDeckLinkAPI() {
    // The library stays loaded for the life of the process.
    void* library = dlopen("libDeckLinkAPI.so", RTLD_NOW | RTLD_GLOBAL);
    if (library == nullptr) {
        std::fprintf(stderr, "%s\n", dlerror());
        return;
    }
    gPresent = true;
    gCreateIterator = lookUp<CreateIteratorFunc>(library, "CreateDeckLinkIteratorInstance_0002");
    gCreateAPIInformation =
        lookUp<CreateAPIInformationFunc>(library, "CreateDeckLinkAPIInformationInstance_0001");
    gCreateVideoConversion =
        lookUp<CreateVideoConversionFunc>(library, "CreateVideoConversionInstance_0001");
}

}  // namespace

bool IsDeckLinkAPIPresent() {
    std::call_once(gLoadOnce, InitDeckLinkAPI);
    return gPresent;
}

IDeckLinkIterator* CreateDeckLinkIteratorInstance() {
    std::call_once(gLoadOnce, InitDeckLinkAPI);
    if (gCreateIterator == nullptr) return nullptr;
    return gCreateIterator();
}

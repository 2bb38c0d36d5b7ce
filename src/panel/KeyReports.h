// The panel's key-state input reports turned into key presses.
#pragma once

#include <cstddef>
#include <vector>

// Feeds on what each read() of the device returned. The panel reports the
// keys held down (`11 k1 k2`, 0 for none) on every change, so a press is a
// code that was not held in the report before; a release calls for nothing.
// One instance per opened device: a new one holds no keys.
class KeyReports {
public:
    // The codes of the keys that went down, in the order they appear.
    std::vector<unsigned char> feed(const unsigned char* bytes, size_t size);

private:
    unsigned char held_[2] = {0, 0};
};

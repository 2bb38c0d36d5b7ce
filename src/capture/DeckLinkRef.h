// Owner of one reference to a card object: Release on destruction.
#pragma once

#include <utility>

template <typename T>
class DeckLinkRef {
public:
    DeckLinkRef() = default;
    explicit DeckLinkRef(T* object) : object_(object) {}  // adopts a reference
    DeckLinkRef(const DeckLinkRef&) = delete;
    DeckLinkRef& operator=(const DeckLinkRef&) = delete;
    DeckLinkRef(DeckLinkRef&& other) noexcept : object_(std::exchange(other.object_, nullptr)) {}
    DeckLinkRef& operator=(DeckLinkRef&& other) noexcept {
        if (this != &other) reset(std::exchange(other.object_, nullptr));
        return *this;
    }
    ~DeckLinkRef() { reset(); }

    void reset(T* object = nullptr) {
        if (object_ != nullptr) object_->Release();
        object_ = object;
    }
    // For out-parameters: releases what is held and hands out the slot.
    T** put() {
        reset();
        return &object_;
    }
    void** putVoid() { return reinterpret_cast<void**>(put()); }

    T* get() const { return object_; }
    T* operator->() const { return object_; }
    explicit operator bool() const { return object_ != nullptr; }

private:
    T* object_ = nullptr;
};
